#include "replayer/instance_replay.h"

#include <limits>

#include "log/logger.h"
#include "replayer/replayer_internal.h"

namespace rnr::replayer::internal {
namespace {

// Whether a stored key begins with an encapsulation header a writer can send
// (as replay_thread.cpp checks a sample's).
bool known_key_representation(const std::vector<uint8_t>& key) {
  return key.size() >= 4 && key[0] == 0x00 &&
         (key[1] <= 0x03 || (key[1] >= 0x06 && key[1] <= 0x0b));
}

// Waits, as before a sample, until the recorded gap to what was written
// before has passed; false when the time had passed already.
bool pace(rnr_replayer* replayer, Playback& playback, uint64_t timestamp) {
  if (playback.prev_write_time == 0 || playback.prev_timestamp > timestamp) {
    return false;
  }
  const uint64_t gap = scaled_gap(timestamp - playback.prev_timestamp, replayer->rate.load());
  return wait_for_gap(replayer, playback, saturating_add(playback.prev_write_time, gap));
}

}  // namespace

bool topic_has_instance_events(rnr::bag::BagReader& reader, int64_t topic_id) {
  rnr::bag::SampleFilter filter;
  filter.topic_ids.push_back(topic_id);
  rnr::bag::InstanceEventCursor cursor;
  const rnr::bag::InstanceEvent* event = nullptr;
  std::string error;
  return cursor.open(reader.connection(), filter, &error) && cursor.peek(&event, &error) &&
         event != nullptr;
}

bool InstanceEventPlayer::open(rnr::bag::BagReader& reader, const rnr::bag::SampleFilter& filter,
                               std::string* error) {
  return cursor_.open(reader.connection(), filter, error);
}

bool InstanceEventPlayer::skip(const rnr::bag::InstanceEvent& event, const char* why,
                               bool failure) {
  if (failure) {
    ++unplayed_;
  } else {
    ++keyless_;
  }
  if (reported_topics_.insert(event.topic_id).second) {
    rnr_log(RNR_LOG_WARN, "Replayer Skip instance events of topic_id %lld: %s (first: _id %lld)",
            static_cast<long long>(event.topic_id), why, static_cast<long long>(event.id));
  }
  return true;
}

bool InstanceEventPlayer::play_before(rnr_replayer* replayer, Playback& playback,
                                      int64_t before_id) {
  while (!failed_ && !is_stopped(replayer)) {
    const rnr::bag::InstanceEvent* event = nullptr;
    std::string error;
    if (!cursor_.peek(&event, &error)) {
      rnr_log(RNR_LOG_ERROR, "Replayer Cannot read the instance events (%s)", error.c_str());
      failed_ = true;
      ++unplayed_;
      return false;
    }
    if (event == nullptr || event->after_data_id >= before_id) {
      return true;
    }
    const rnr::bag::InstanceEvent e = *event;
    cursor_.pop();
    const bool dispose = e.kind == "dispose";
    if (!dispose && e.kind != "unregister") {
      skip(e, "unknown kind");
      continue;
    }
    if (!e.timestamp_is_integer || e.timestamp < 0) {
      skip(e, "no valid timestamp");
      continue;
    }
    const auto topic_id = static_cast<int32_t>(e.topic_id);
    const auto found = e.topic_id == topic_id ? replayer->datawriter_map.find(topic_id)
                                              : replayer->datawriter_map.end();
    if (found == replayer->datawriter_map.end()) {
      skip(e, "no writer for the topic");
      continue;
    }
    if (e.key.empty()) {
      // A writer that went away without a word (its instances lost their
      // writer), or a sender that named the instance by key hash alone:
      // nothing to send it with. The replay's writer going away at the end
      // leaves its instances the same way.
      skip(e, "no key was recorded", false);
      continue;
    }
    if (!known_key_representation(e.key)) {
      skip(e, "the key is not a known representation");
      continue;
    }
    const bool on_time = pace(replayer, playback, static_cast<uint64_t>(e.timestamp));
    dds_DataWriter* writer = found->second;
    if (writer != playback.unsent) {
      flush_unsent(playback);
    }
    playback.prev_write_time = arch_time();
    playback.prev_timestamp = static_cast<uint64_t>(e.timestamp);
    const dds_ReturnCode_t ret =
        dispose ? dds_DataWriter_raw_dispose(writer, e.key.data(), e.key.size())
                : dds_DataWriter_raw_unregister(writer, e.key.data(), e.key.size());
    playback.unsent = writer;
    if (on_time) {
      flush_unsent(playback);
    }
    if (ret != dds_RETCODE_OK) {
      ++unplayed_;
      rnr_log(RNR_LOG_ERROR, "Replayer Cannot %s instance (event _id: %lld, ret=%d)",
              e.kind.c_str(), static_cast<long long>(e.id), ret);
      continue;
    }
    ++played_;
    rnr_log(RNR_LOG_DEBUG, "Replayer %s instance (event _id=%lld, topic_id=%d)",
            dispose ? "Dispose" : "Unregister", static_cast<long long>(e.id), topic_id);
  }
  return !failed_;
}

dds_ReturnCode_t InstanceEventPlayer::write_sample(dds_DataWriter* writer, int64_t row_id,
                                                   int64_t topic_id, const uint8_t* bytes,
                                                   size_t size) {
  const rnr::bag::InstanceEvent* event = nullptr;
  std::string error;
  if (failed_ || !cursor_.peek(&event, &error) || event == nullptr || !event->with_sample ||
      event->after_data_id != row_id || event->topic_id != topic_id ||
      (event->kind != "dispose" && event->kind != "unregister")) {
    return dds_DataWriter_raw_write(writer, bytes, size);
  }
  const bool dispose = event->kind == "dispose";
  cursor_.pop();
  const dds_ReturnCode_t ret = dispose ? dds_DataWriter_raw_write_dispose(writer, bytes, size)
                                       : dds_DataWriter_raw_write_unregister(writer, bytes, size);
  if (ret == dds_RETCODE_OK) {
    ++played_;
  } else {
    ++unplayed_;
  }
  return ret;
}

}  // namespace rnr::replayer::internal
