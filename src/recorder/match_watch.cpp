// The watch over announced writers that no reader of the recorder matched:
// each gets one warning line naming it and, when DDS reported one, the policy
// that its reader found incompatible.
#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "log/logger.h"
#include "recorder/recorder_internal.h"

namespace rnr::recorder::internal {
namespace {

// How long a writer may take to be matched after it was announced (or after
// the recording started) before it is reported, and how often writers are
// looked at.
constexpr uint64_t kMatchGraceNs = 3000000000u;
constexpr auto kWatchInterval = std::chrono::milliseconds(250);

// Whether one of the entry's readers matched the writer. Called with the
// recorder's mutex held.
bool matched_by_any(rnr_TopicInfo* entry, const rnr_WriterKey& writer) {
  uint8_t guid[16];
  std::memcpy(guid, &writer.bytes, sizeof guid);
  std::lock_guard<std::mutex> lock(entry->assignment_mutex);
  return std::any_of(entry->readers.begin(), entry->readers.end(), [&](const auto& tr) {
    return dds_DataReader_is_matched(tr->reader, guid) == dds_RETCODE_OK;
  });
}

// The policy the writer's own reader (or, failing that, any reader of the
// topic) reported incompatible last; empty when none did.
std::string incompatible_policy(rnr_TopicInfo* entry, const rnr_WriterKey& writer) {
  std::lock_guard<std::mutex> lock(entry->assignment_mutex);
  std::vector<rnr_TopicReader*> candidates;
  const auto own = entry->assignments.find(writer);
  if (own != entry->assignments.end()) {
    candidates.push_back(own->second);
  }
  for (auto& tr : entry->readers) {
    candidates.push_back(tr.get());
  }
  for (rnr_TopicReader* tr : candidates) {
    dds_IncompatibleQosStatus status{};
    if (dds_DataReader_get_requested_incompatible_qos(tr->reader, &status) == dds_RETCODE_OK &&
        status.total_count > 0) {
      return rnr::qos::policy_name(status.last_policy_id);
    }
  }
  return {};
}

// How long a pattern may bring in nothing before that is said.
constexpr uint64_t kIdlePatternNs = 10000000000u;

void watch_once(rnr_recorder* recorder, uint64_t started_ns) {
  const uint64_t now = arch_time();
  release_departed_writers(recorder, false);
  for (auto& entry : recorder->topic_list) {
    // Gaps and departed writers of topics that see no samples now; a topic
    // being captured looks at them itself.
    std::unique_lock<std::mutex> capture(entry->capture_mutex, std::try_to_lock);
    if (capture.owns_lock()) {
      check_writer_records(entry.get(), false);
    }
  }
  if (!recorder->unmatched_patterns_said && now - started_ns >= kIdlePatternNs) {
    recorder->unmatched_patterns_said = true;
    for (const auto& [type, topic] : recorder->patterns.idle()) {
      rnr_log(RNR_LOG_WARN, "Recorder Pattern{topic: %s, type: %s} has matched no topic after 10 s",
              topic.c_str(), type.c_str());
    }
  }
  for (auto& entry : recorder->topic_list) {
    auto& watched = entry->unmatched;
    for (size_t i = 0; i < watched.size();) {
      const auto& [writer, announced_ns] = watched[i];
      if (matched_by_any(entry.get(), writer)) {
        watched.erase(watched.begin() + static_cast<long>(i));
        continue;
      }
      if (now - std::max(announced_ns, started_ns) < kMatchGraceNs) {
        ++i;
        continue;
      }
      const std::string policy = incompatible_policy(entry.get(), writer);
      const dds_guid_text text = dds_guid_format(&writer.bytes);
      if (!policy.empty()) {
        rnr_log(RNR_LOG_WARN,
                "Recorder %s: writer %s matches no reader of the recorder: requested "
                "incompatible QoS, policy %s",
                entry->topic_name, text.text, policy.c_str());
      } else {
        rnr_log(RNR_LOG_WARN,
                "Recorder %s: writer %s matches no reader of the recorder: no QoS policy was "
                "reported incompatible (its type, partitions or locators may not fit)",
                entry->topic_name, text.text);
      }
      watched.erase(watched.begin() + static_cast<long>(i));
    }
  }
}

}  // namespace

void start_match_watch(rnr_recorder* recorder) {
  std::lock_guard<std::mutex> lock(recorder->mutex);
  if (recorder->watcher.joinable()) {
    return;
  }
  recorder->watcher_stop = false;
  const uint64_t started_ns = arch_time();
  try {
    recorder->watcher = std::thread([recorder, started_ns] {
      std::unique_lock<std::mutex> lock(recorder->mutex);
      while (!recorder->watcher_stop && !recorder->closing) {
        recorder->watcher_wake.wait_for(lock, kWatchInterval);
        if (recorder->watcher_stop || recorder->closing ||
            recorder->state != RNR_RECORDER_RECORDING) {
          break;
        }
        watch_once(recorder, started_ns);
      }
    });
    pthread_setname_np(recorder->watcher.native_handle(), "rnr.watch");
  } catch (const std::system_error&) {
    rnr_log(RNR_LOG_WARN, "Recorder Cannot start the thread that watches unmatched writers");
  }
}

void stop_match_watch(rnr_recorder* recorder) {
  {
    std::lock_guard<std::mutex> lock(recorder->mutex);
    recorder->watcher_stop = true;
  }
  recorder->watcher_wake.notify_all();
  if (recorder->watcher.joinable()) {
    recorder->watcher.join();
  }
}

}  // namespace rnr::recorder::internal
