// The replay thread: pass after pass over the selected samples, chunk by
// chunk, each sample at its recorded gap after the one before; the latched
// state first when the replay begins after the bag's start; and the reports
// at the end of the replay.
#include <sys/prctl.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <unordered_set>
#include <vector>

#include "log/logger.h"
#include "replayer/instance_replay.h"
#include "replayer/replayer_internal.h"

namespace rnr::replayer::internal {
namespace {

// Whether the 2-byte encapsulation identifier that begins a sample names a
// representation a writer can send: CDR_BE/LE and PL_CDR_BE/LE (XCDR1,
// 0x0000..0x0003), CDR2, D_CDR2 and PL_CDR2 in both byte orders (XCDR2,
// 0x0006..0x000b). Anything else would be handed to the readers as is, and a
// reader that cannot take it holds up the writer's acknowledgements.
bool known_representation(const uint8_t* bytes, size_t size) {
  if (size < 2) {
    return true;  // too short for any header: the write refuses it
  }
  return bytes[0] == 0x00 && (bytes[1] <= 0x03 || (bytes[1] >= 0x06 && bytes[1] <= 0x0b));
}

constexpr uint64_t kLongGapNs = 3600ull * 1000000000ull;

// Writes the rows of one chunk.
void replay_chunk(rnr_replayer* replayer, const rnr::bag::SampleChunk& chunk, Playback& playback) {
  for (const rnr::bag::SampleRow& row : chunk.rows()) {
    if (is_stopped(replayer)) {
      return;
    }
    wait_while_paused(replayer, playback, true);
    if (playback.events != nullptr && !playback.events->play_before(replayer, playback, row.id)) {
      playback.events = nullptr;
    }
    ++playback.rows;

    const auto current_id = static_cast<long long>(row.id);
    // A topic id outside 32 bits names no topic of the bag.
    const auto topic_id = static_cast<int32_t>(row.topic_id);
    // A reception time that is not a non-negative integer (a bag written by
    // another tool, or damaged) cannot be paced against: read as a huge
    // unsigned number it would hold the replay in one endless wait.
    if (!row.timestamp_is_integer || row.timestamp < 0) {
      rnr_log(RNR_LOG_WARN, "Replayer Skip data with invalid timestamp (_id: %lld)", current_id);
      ++playback.invalid_time;
      continue;
    }
    auto timestamp = playback.pace_times.empty() ? static_cast<uint64_t>(row.timestamp)
                                                 : pace_time(playback, chunk, row);
    const uint8_t* bytes = row.data;
    size_t size = row.size;
    if (!known_representation(bytes, size)) {
      if (playback.unknown_topics.insert(row.topic_id).second) {
        rnr_log(RNR_LOG_WARN,
                "Replayer Skip samples of topic_id %lld whose encapsulation header is not a known "
                "representation (first: _id %lld, header %02x %02x)",
                static_cast<long long>(row.topic_id), current_id, bytes[0], bytes[1]);
      }
      ++playback.unknown_representation;
      continue;
    }

    // A sample that had to wait for its time leaves at once; late ones (the
    // first, and those whose time passed while earlier ones were written)
    // are packed together until the next wait or change of writer. A sample
    // stamped earlier than the one before (a clock stepped back during the
    // recording) is written at once, and the ones after it are paced from it.
    bool on_time = false;
    // The clock read that found a sample late is also its write time, unless
    // a flush comes between them.
    uint64_t late_at = 0;
    if (playback.prev_write_time != 0) {
      if (playback.prev_timestamp > timestamp) {
        ++playback.earlier;
      } else {
        const uint64_t gap = scaled_gap(timestamp - playback.prev_timestamp, replayer->rate.load());
        if (gap > kLongGapNs) {
          rnr_log(RNR_LOG_WARN, "Replayer Waiting %.0f s for the next sample (_id: %lld)",
                  static_cast<double>(gap) / 1e9, current_id);
        }
        const uint64_t deadline = saturating_add(playback.prev_write_time, gap);
        const uint64_t now = arch_time();
        if (now < deadline) {
          on_time = wait_for_gap(replayer, playback, deadline);
        } else {
          late_at = now;
        }
      }
    }

    auto found = row.topic_id == topic_id ? replayer->datawriter_map.find(topic_id)
                                          : replayer->datawriter_map.end();
    dds_DataWriter* writer = found == replayer->datawriter_map.end() ? nullptr : found->second;
    if (writer != playback.unsent) {
      flush_unsent(playback);
      late_at = 0;
    }
    playback.prev_write_time = late_at != 0 ? late_at : arch_time();
    dds_ReturnCode_t ret =
        playback.events != nullptr
            ? playback.events->write_sample(writer, row.id, row.topic_id, bytes, size)
            : dds_DataWriter_raw_write(writer, bytes, size);
    playback.unsent = writer;
    if (on_time) {
      flush_unsent(playback);
    }
    playback.prev_timestamp = timestamp;
    if (ret != dds_RETCODE_OK) {
      ++playback.refused;
      rnr_log(RNR_LOG_ERROR, "Replayer Cannot write data (_id: %lld, ret=%d)", current_id, ret);
    } else {
      static_cast<datawriter_info*>(dds_Entity_get_context(writer, 1))->written++;
      replayer->samples_written.fetch_add(1);
      replayer->position.store(row.timestamp, std::memory_order_release);
      rnr_log(RNR_LOG_DEBUG, "Replayer Write Data(_id=%lld, topic_id=%d)", current_id, topic_id);
    }
  }
}

// One line when not every sample of the bag could be written, saying how
// many and why; the count stays with the replayer for its owner.
void report_unwritten(rnr_replayer* replayer, const Playback& playback) {
  const uint64_t unwritten =
      playback.refused + playback.unknown_representation + playback.invalid_time;
  if (playback.earlier > 0) {
    rnr_log(RNR_LOG_WARN,
            "Replayer %llu samples were stamped earlier than the sample before them and were "
            "written at once",
            static_cast<unsigned long long>(playback.earlier));
  }
  replayer->unwritten.store(unwritten);
  if (unwritten > 0) {
    rnr_log(RNR_LOG_ERROR,
            "Replayer Could not write %llu of %llu samples: %llu refused by the writer (no "
            "writer for the topic, or no valid sample), %llu of an unknown representation, %llu "
            "without a valid timestamp",
            static_cast<unsigned long long>(unwritten),
            static_cast<unsigned long long>(playback.rows),
            static_cast<unsigned long long>(playback.refused),
            static_cast<unsigned long long>(playback.unknown_representation),
            static_cast<unsigned long long>(playback.invalid_time));
  }
}

// One line when not every instance event could be played; they count with
// the samples that could not be written.
void report_unplayed_events(rnr_replayer* replayer, const InstanceEventPlayer& events,
                            bool unreadable) {
  const uint64_t unplayed = events.unplayed() + (unreadable ? 1 : 0);
  if (unplayed == 0) {
    return;
  }
  replayer->unwritten.fetch_add(unplayed);
  rnr_log(RNR_LOG_ERROR,
          "Replayer Could not replay %llu instance events (disposes and unregisters); %llu were "
          "replayed",
          static_cast<unsigned long long>(unplayed),
          static_cast<unsigned long long>(events.played()));
}

// Names every topic whose writer never matched a reader: what it wrote
// reached nobody.
void report_unheard_topics(rnr_replayer* replayer) {
  report_refusing_subscribers(replayer);
  for (const auto& [topic_id, writer] : replayer->datawriter_map) {
    int32_t matched = 0;
    if (dds_DataWriter_get_total_matched(writer, &matched) == dds_RETCODE_OK && matched == 0) {
      const auto* info = static_cast<const datawriter_info*>(dds_Entity_get_context(writer, 1));
      rnr_log(RNR_LOG_WARN,
              "Replayer No reader matched topic(name: %s, type_name: %s): %llu samples written "
              "reached nobody",
              info->topic_name, info->type_name, static_cast<unsigned long long>(info->written));
    }
  }
}

// How long the latched state's readers may take to acknowledge it.
constexpr int64_t kLatchedAckWaitNs = 1000000000;

// Writes at once the latched state: the given samples, else the latest
// sample before the start of each latched topic that is played, oldest
// first. False when they cannot be read.
bool write_latched(rnr_replayer* replayer, rnr::bag::BagReader& reader,
                   rnr::bag::SampleChunk& chunk, std::string* error) {
  const rnr_replay_options& options = replayer->options;
  if (!options.start) {
    return true;
  }
  std::vector<int64_t> ids;
  if (options.latched_sample_ids) {
    ids = *options.latched_sample_ids;
  } else {
    std::vector<int64_t> topics;
    for (int32_t id : options.latched_topic_ids) {
      if (replayer->datawriter_map.count(id) != 0) {
        topics.push_back(id);
      }
    }
    if (!topics.empty() && !reader.latest_before(topics, *options.start, &ids, error)) {
      return false;
    }
  }
  std::unordered_set<dds_DataWriter*> latched_writers;
  // A chunk's worth of rows in memory at a time.
  for (size_t from = 0; from < ids.size() && !is_stopped(replayer);
       from += rnr::bag::BagReader::kChunkRows) {
    const size_t to = std::min(ids.size(), from + rnr::bag::BagReader::kChunkRows);
    if (!reader.read_ids({ids.begin() + static_cast<std::ptrdiff_t>(from),
                          ids.begin() + static_cast<std::ptrdiff_t>(to)},
                         &chunk, error)) {
      return false;
    }
    for (const rnr::bag::SampleRow& row : chunk.rows()) {
      auto found = replayer->datawriter_map.find(static_cast<int32_t>(row.topic_id));
      if (found == replayer->datawriter_map.end()) {
        continue;
      }
      dds_DataWriter* writer = found->second;
      dds_ReturnCode_t ret = dds_DataWriter_raw_write(writer, row.data, row.size);
      dds_DataWriter_flush(writer);
      if (ret != dds_RETCODE_OK) {
        rnr_log(RNR_LOG_ERROR, "Replayer Cannot write data (_id: %d, ret=%d)",
                static_cast<int32_t>(row.id), ret);
        continue;
      }
      static_cast<datawriter_info*>(dds_Entity_get_context(writer, 1))->written++;
      replayer->samples_written.fetch_add(1);
      latched_writers.insert(writer);
      rnr_log(RNR_LOG_DEBUG, "Replayer Write latched Data(_id=%d, topic_id=%d)",
              static_cast<int32_t>(row.id), static_cast<int32_t>(row.topic_id));
    }
  }
  // The latched state is there when the interval begins: a sample that DDS
  // has to send again (a lost datagram) is not overtaken by the interval's
  // first ones on other topics. Readers that do not acknowledge within the
  // bound do not hold the interval up longer.
  const int64_t deadline = arch_time() + kLatchedAckWaitNs;
  for (dds_DataWriter* writer : latched_writers) {
    const int64_t left = deadline - arch_time();
    if (left <= 0 || is_stopped(replayer)) {
      break;
    }
    dds_DataWriter_wait_for_acknowledgments(writer, left);
  }
  return true;
}

// Paces the replay by the bag's source timestamps, when it has them.
void use_source_timing(rnr::bag::BagReader& reader, rnr::bag::SampleSourceCursor& sources,
                       Playback& playback) {
  std::string error;
  if (!sources.open(reader.connection(), &error)) {
    rnr_log(RNR_LOG_WARN, "Replayer %s: samples are paced by their reception times", error.c_str());
  } else if (!sources.present()) {
    rnr_log(RNR_LOG_WARN,
            "Replayer The bag has no source timestamps: samples are paced by their reception "
            "times");
  } else {
    playback.sources = &sources;
  }
}

// A recording's rows come from its bags in turn, and the disposes,
// unregisters and sample sources played with a chunk are those of the bag it
// came from (they name its row ids). Moves the cursors on to bag `to`,
// playing out on the way the events left in each bag before it, also of
// bags no selected sample came from. False when a bag cannot be opened
// (logged).
bool follow_bag(rnr_replayer* replayer, Playback& playback, const rnr::bag::SampleFilter& filter,
                size_t to) {
  const RecordingSource& recording = *replayer->recording;
  if (playback.side_index == to) {
    return true;
  }
  const size_t from =
      playback.side_index == Playback::kNoBag ? recording.start_bag() : playback.side_index + 1;
  for (size_t next = from; next <= to && next < recording.bag_count(); ++next) {
    if (playback.side_index != Playback::kNoBag && playback.events != nullptr &&
        !playback.events->play_before(replayer, playback, std::numeric_limits<int64_t>::max())) {
      playback.events = nullptr;
    }
    std::string error;
    auto bag = std::make_unique<rnr::bag::BagReader>();
    if (!bag->open(recording.bag_path(next), &error)) {
      rnr_log(RNR_LOG_ERROR, "Replayer Cannot read %s (%s)", recording.bag_path(next).c_str(),
              error.c_str());
      return false;
    }
    // The cursors move to the new bag before the old one closes.
    if (playback.events != nullptr && !playback.events->open(*bag, filter, &error)) {
      rnr_log(RNR_LOG_ERROR, "Replayer %s: %s: disposes and unregisters are no longer replayed",
              recording.bag_path(next).c_str(), error.c_str());
      playback.events = nullptr;
    }
    if (playback.sources != nullptr && !playback.sources->open(bag->connection(), &error)) {
      rnr_log(RNR_LOG_ERROR, "Replayer %s: %s: samples are paced by their reception times",
              recording.bag_path(next).c_str(), error.c_str());
      playback.sources = nullptr;
    }
    playback.side_bag = std::move(bag);
    playback.side_index = next;
  }
  return true;
}

// One pass over the selected samples: chunk by chunk in _id order, each read
// in a short read transaction of its own. Returns the rows read, or -1 when a
// read failed (logged).
int64_t replay_pass(rnr_replayer* replayer, rnr::bag::BagReader& reader,
                    const rnr::bag::SampleFilter& filter, rnr::bag::SampleChunk& chunk,
                    Playback& playback, bool first_pass) {
  std::string error;
  // A recording of several bags: its latched state is in the bag it starts
  // with, and each pass reads the bags from that one on.
  RecordingSource* recording = replayer->recording.get();
  rnr::bag::BagReader* latched_from = &reader;
  if (recording != nullptr) {
    recording->rewind();
    latched_from = replayer->options.start ? recording->latched_reader(&error) : &reader;
  }
  if (latched_from == nullptr || !write_latched(replayer, *latched_from, chunk, &error)) {
    rnr_log(RNR_LOG_ERROR, "Replayer Cannot read the latched samples (%s)", error.c_str());
    return -1;
  }
  if (playback.events != nullptr) {
    playback.events->rewind();
  }
  if (recording != nullptr) {
    playback.side_index = Playback::kNoBag;  // each pass opens its bags' cursors anew
  }
  int64_t rows = 0;
  int64_t after = std::numeric_limits<int64_t>::min();
  while (!is_stopped(replayer)) {
    wait_while_paused(replayer, playback, false);
    if (!(recording != nullptr ? recording->read_chunk(filter, &chunk, &error)
                               : reader.read_chunk(filter, after, &chunk, &error))) {
      if (first_pass && rows == 0) {
        rnr_log(RNR_LOG_ERROR, "Replayer Cannot prepare database query (%s)", error.c_str());
      } else {
        rnr_log(RNR_LOG_ERROR, "Replayer Cannot read data after _id %lld (%s)",
                static_cast<long long>(after), error.c_str());
      }
      return -1;
    }
    if (chunk.empty()) {
      break;
    }
    rnr_log(RNR_LOG_DEBUG, "Replayer Read data %d ~ %d",
            static_cast<int32_t>(chunk.rows().front().id), static_cast<int32_t>(chunk.last_id()));
    rows += static_cast<int64_t>(chunk.rows().size());
    if (recording != nullptr && !follow_bag(replayer, playback, filter, recording->current_bag())) {
      return -1;
    }
    if (playback.sources != nullptr && !pace_by_source(playback, chunk, &error)) {
      rnr_log(RNR_LOG_ERROR, "Replayer Cannot read the sample sources after _id %lld (%s)",
              static_cast<long long>(after), error.c_str());
      return -1;
    }
    replay_chunk(replayer, chunk, playback);
    after = chunk.last_id();
  }
  // The events of the bags after the last one a sample came from.
  if (recording != nullptr && !is_stopped(replayer) && recording->bag_count() > 0 &&
      !follow_bag(replayer, playback, filter, recording->bag_count() - 1)) {
    return -1;
  }
  if (playback.events != nullptr &&
      !playback.events->play_before(replayer, playback, std::numeric_limits<int64_t>::max())) {
    playback.events = nullptr;
  }
  return rows;
}

}  // namespace

void report_refusing_subscribers(rnr_replayer* replayer) {
  for (const auto& [topic_id, writer] : replayer->datawriter_map) {
    auto* info = static_cast<datawriter_info*>(dds_Entity_get_context(writer, 1));
    dds_IncompatibleQosStatus status{};
    if (info == nullptr ||
        dds_DataWriter_get_offered_incompatible_qos(writer, &status) != dds_RETCODE_OK ||
        status.total_count <= info->refused_reported) {
      continue;
    }
    rnr_log(RNR_LOG_WARN,
            "Replayer topic(name: %s, type_name: %s): %d subscriber(s) refused the replay "
            "writer: offered incompatible QoS, policy %s",
            info->topic_name, info->type_name, status.total_count - info->refused_reported,
            rnr::qos::policy_name(status.last_policy_id).c_str());
    info->refused_reported = status.total_count;
  }
}

void report_failure(rnr_replayer* replayer) {
  if (replayer->on_replay_failed != nullptr) {
    replayer->on_replay_failed(replayer);
  }
}

void replay_thread_run(rnr_replayer* replayer) {
  // Timed waits of this thread end as close to their deadline as the kernel
  // allows, instead of within the default 50 us slack.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  rnr::bag::BagReader& reader = replayer->bag;
  rnr::bag::SampleFilter filter;
  filter.topic_ids.assign(replayer->options.topic_ids.begin(), replayer->options.topic_ids.end());
  filter.start = replayer->options.start;
  filter.end = replayer->options.end;

  Playback playback;
  InstanceEventPlayer events;
  {
    std::string error;
    if (events.open(reader, filter, &error)) {
      playback.events = &events;
    } else {
      rnr_log(RNR_LOG_ERROR, "Replayer %s: disposes and unregisters are not replayed",
              error.c_str());
    }
  }
  rnr::bag::SampleSourceCursor sources;
  if (replayer->options.source_timing) {
    use_source_timing(reader, sources, playback);
  }
  rnr::bag::SampleChunk chunk;
  bool failed = false;
  for (bool first = true; !is_stopped(replayer); first = false) {
    const int64_t rows = replay_pass(replayer, reader, filter, chunk, playback, first);
    failed = rows < 0;
    if (failed || is_stopped(replayer)) {
      break;
    }
    replayer->passes.fetch_add(1);
    // Looping over nothing would spin; otherwise the next pass begins at
    // once, with its first sample written without a gap.
    if (!replayer->options.loop || rows == 0) {
      break;
    }
    playback.prev_write_time = 0;
  }

  // Everything written is sent before the replay counts as finished.
  flush_unsent(playback);
  if (failed) {
    report_failure(replayer);
    return;
  }
  if (!is_stopped(replayer)) {
    report_unwritten(replayer, playback);
    report_unplayed_events(replayer, events, playback.events == nullptr);
  }
  report_unheard_topics(replayer);
  if (replayer->on_replay_finished != nullptr) {
    replayer->on_replay_finished(replayer);
  }
}

}  // namespace rnr::replayer::internal
