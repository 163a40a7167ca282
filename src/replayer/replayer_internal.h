// What only the replayer uses: its state, the per-writer info, and the steps
// its files call of each other. replayer.cpp creates and destroys the
// replayer and holds the control API (start, pause, resume, step, rate, stop),
// called by the owner's threads. writers.cpp creates the writers while the
// replayer is created and releases them when it is destroyed, on the owner's
// thread. replay_thread.cpp is the replay thread (passes, chunks, the
// latched state) and its end-of-replay reports; start calls one report before
// the thread exists. pacing.cpp holds the waits of the replay thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "bag/bag_reader.h"
#include "bag/sample_sources.h"
#include "middleware/dds_api.h"
#include "replayer/pacing.h"
#include "replayer/recording_source.h"
#include "replayer/replayer.h"
#include "types/name_field.h"

// Attached to each created writer as its context slot 1.
struct datawriter_info {
  int32_t topic_id = 0;
  char type_name[RNR_NAME_FIELD_SIZE] = {};
  char topic_name[RNR_NAME_FIELD_SIZE] = {};
  bool is_with_key = false;
  dds_DataWriter* datawriter = nullptr;
  // The publisher the writer was created in: the replayer's own, or one of
  // the topic's recorded partitions and presentation.
  dds_Publisher* publisher = nullptr;
  // Samples the replay thread wrote through the writer.
  uint64_t written = 0;
  // Subscribers that refused the writer (offered incompatible QoS) and were
  // reported.
  int32_t refused_reported = 0;
};

struct rnr_replayer {
  std::atomic<uint8_t> replay_state{REPLAY_IDLE};
  dds_DomainParticipant* participant = nullptr;
  dds_Publisher* publisher = nullptr;
  // Topic id of the bag -> the enabled writer of that topic.
  std::unordered_map<int32_t, dds_DataWriter*> datawriter_map;
  // Topic ids of the bag's topics rows seen so far during construction.
  std::unordered_set<int32_t> topic_ids_seen;
  // Publishers of topics whose recorded writers had partitions or a
  // presentation; deleted with the writers.
  std::vector<dds_Publisher*> topic_publishers;
  std::string bag_file;
  // The open bag: read by create, then by the replay thread alone.
  rnr::bag::BagReader bag;
  // With options.recording: the bags the samples come from, in turn (the
  // replay thread reads them instead of `bag`).
  std::unique_ptr<rnr::replayer::internal::RecordingSource> recording;
  std::thread replay_thread;
  rnr_replay_finished_callback on_replay_finished = nullptr;
  rnr_replay_failed_callback on_replay_failed = nullptr;
  std::condition_variable cond;
  std::mutex mutex;
  // Bumped under `mutex` by every control operation, so that a wait that
  // began before the operation ends at once and a spurious wake-up does not.
  // Atomic so that the replay thread can watch it while it spins.
  std::atomic<uint64_t> control_serial{0};
  bool thread_started = false;
  rnr_replay_options options;
  // The rate in effect; changed while playing by rnr_replayer_set_rate.
  std::atomic<double> rate{1.0};
  // Single steps asked for while paused and not yet taken.
  std::atomic<uint32_t> steps_pending{0};
  // What the replay has done so far, for a status display: samples written
  // (all topics, latched ones included) and the timestamp of the last one.
  std::atomic<uint64_t> samples_written{0};
  std::atomic<int64_t> position{0};
  // Whole passes through the selection completed (with loop).
  std::atomic<uint64_t> passes{0};
  // Samples of the bag that a replay played to its end could not write
  // (refused by the writer, of an unknown representation, without a valid
  // timestamp); set before on_replay_finished is called.
  std::atomic<uint64_t> unwritten{0};
};

static_assert(std::atomic<uint8_t>::is_always_lock_free, "the replay state is one lock-free byte");

namespace rnr::replayer::internal {

class InstanceEventPlayer;

// What the replay thread carries from one row to the next.
struct Playback {
  // The bag's disposes and unregisters, played among the rows; null when
  // they cannot be read.
  InstanceEventPlayer* events = nullptr;
  uint64_t prev_write_time = 0;
  uint64_t prev_timestamp = 0;
  // The writer whose transmit buffer holds samples not yet sent. The writers
  // batch, and at most one of them holds samples at any time, so samples
  // leave in recorded order across topics too.
  dds_DataWriter* unsent = nullptr;
  Pacer pacer;
  // Rows read, and of them: refused by the write, skipped for an unknown
  // representation or an invalid timestamp, and written early because they
  // were stamped before the sample played before them.
  uint64_t rows = 0;
  uint64_t refused = 0;
  uint64_t unknown_representation = 0;
  uint64_t invalid_time = 0;
  uint64_t earlier = 0;
  // Topic ids whose samples of unknown representation were reported.
  std::unordered_set<int64_t> unknown_topics;
  // With source timing: the bag's sample sources, and the time each row of
  // the chunk being played is paced by (source_timing.cpp). Empty times:
  // the rows are paced by their reception times.
  rnr::bag::SampleSourceCursor* sources = nullptr;
  std::vector<int64_t> pace_times;
  // A recording of several bags: the bag whose events and sources the
  // cursors above read (they name that bag's row ids), and its index in the
  // recording. The replay thread makes its Playback before those cursors,
  // so this bag outlives their statements.
  std::unique_ptr<rnr::bag::BagReader> side_bag;
  size_t side_index = kNoBag;
  static constexpr size_t kNoBag = static_cast<size_t>(-1);
};

// --- source_timing.cpp ---

// Fills playback.pace_times for the chunk: each row's source timestamp, or
// its reception time when it has none. False (with `error`) when the sample
// sources cannot be read.
bool pace_by_source(Playback& playback, const rnr::bag::SampleChunk& chunk, std::string* error);

// The time a row of the chunk is paced by.
inline uint64_t pace_time(const Playback& playback, const rnr::bag::SampleChunk& chunk,
                          const rnr::bag::SampleRow& row) {
  const auto index = static_cast<size_t>(&row - chunk.rows().data());
  if (index < playback.pace_times.size() && playback.pace_times[index] >= 0) {
    return static_cast<uint64_t>(playback.pace_times[index]);
  }
  return static_cast<uint64_t>(row.timestamp);
}

inline bool is_paused(const rnr_replayer* replayer) {
  return replayer->replay_state.load() == REPLAY_PAUSED;
}

inline bool is_stopped(const rnr_replayer* replayer) {
  return replayer->replay_state.load() == REPLAY_STOPPED;
}

// Sends what the writers hold. Called before every wait, so no sample sits
// in a buffer while the thread waits, and at the end of the replay.
inline void flush_unsent(Playback& playback) {
  if (playback.unsent != nullptr) {
    dds_DataWriter_flush(playback.unsent);
    playback.unsent = nullptr;
  }
}

// --- writers.cpp ---

// Creates the writer of each topics row that is played and has samples,
// with the QoS its recorded writers offered. Every topic that cannot get a
// writer is logged and left without one.
void create_writers(rnr_replayer* replayer, const std::vector<rnr::bag::TopicSummary>& topics);

// Deletes every writer with its info, the publishers and the participant.
void release_entities(rnr_replayer* replayer);

// Whether the stop check set by rnr_replayer_set_stop_check says stop.
bool stop_requested();

// Whether every writer has matched at least one reader.
bool every_writer_matched(const rnr_replayer* replayer);

// --- pacing.cpp (replay thread) ---

// While paused, waits in slices of one second; resume, stop and a single step
// end the wait. Before a row (`may_step`) the step is taken, and that row is
// then written at once while the replay stays paused; before a chunk it is
// left for the chunk's first row. Only called while paused.
void wait_paused(rnr_replayer* replayer, Playback& playback, bool may_step);

inline void wait_while_paused(rnr_replayer* replayer, Playback& playback, bool may_step) {
  if (is_paused(replayer)) {
    wait_paused(replayer, playback, may_step);
  }
}

// Waits until the absolute time `deadline_ns` unless a control operation
// arrives first, or has already asked for a pause or stop: the sample is then
// written at once. False when the deadline had already passed: the sample is
// late and joins the ones still unsent.
bool wait_for_gap(rnr_replayer* replayer, Playback& playback, uint64_t deadline_ns);

// --- replay_thread.cpp ---

// The replay thread: the passes over the selection, then the reports and the
// owner's callback.
void replay_thread_run(rnr_replayer* replayer);

// One line per writer that subscribers refused since the last report
// (offered incompatible QoS), naming the policy. Called by start before the
// thread exists, and by the thread at the end.
void report_refusing_subscribers(rnr_replayer* replayer);

// The replay cannot run: tells the owner, who would otherwise wait for an end
// that never comes.
void report_failure(rnr_replayer* replayer);

}  // namespace rnr::replayer::internal
