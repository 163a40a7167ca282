// Plays a bag back onto a DDS domain: one raw DataWriter per recorded topic,
// and a thread that writes the stored samples in recorded order with the
// recorded gaps between them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// Values of rnr_replay_progress::state.
enum : uint8_t {
  REPLAY_IDLE = 0,
  REPLAY_PLAYING = 1,
  REPLAY_PAUSED = 2,
  REPLAY_STOPPED = 3,
};

struct rnr_replayer;
using rnr_replay_finished_callback = void (*)(rnr_replayer* replayer);
// Called instead when the replay cannot run: the replay thread cannot be
// started, or cannot read the bag's samples (a damaged page, a query that
// fails).
using rnr_replay_failed_callback = void (*)(rnr_replayer* replayer);

// One bag of a recording split into several (`rnr_replay_options::recording`):
// its file and the rows it leaves out, ascending ids (the repeats of samples
// an earlier bag of the recording holds). `first`: its first sample's
// timestamp, when it has samples.
struct rnr_replay_bag {
  std::string path;
  std::vector<int64_t> skipped_ids;
  std::optional<int64_t> first;
};

// What a replay plays, and how. The defaults play the whole bag once at the
// recorded speed into the recorded topic names.
struct rnr_replay_options {
  // Recorded gaps are divided by this; 0.01 to 100.
  double rate = 1.0;
  // Samples with timestamps in [start, end] (ns, absolute) only.
  std::optional<int64_t> start;
  std::optional<int64_t> end;
  // Topic ids to play; empty: every topic. Others get no writer.
  std::vector<int32_t> topic_ids;
  // Topic names to publish under another name: (recorded name, new name).
  std::vector<std::pair<std::string, std::string>> remap;
  // Start again from the beginning at the end, until stopped.
  bool loop = false;
  // Start paused: nothing is written until resume or step.
  bool paused = false;
  // Topics whose readers expect latched state (transient-local writers): with
  // `start`, the latest sample of each of them before the start is written
  // first, so that the interval begins with that state in place.
  std::vector<int32_t> latched_topic_ids;
  // When set, the samples (data row ids) written first instead, in this
  // order, such as the latest of each instance of those topics; ids of
  // topics that are not played are passed over.
  std::optional<std::vector<int64_t>> latched_sample_ids;
  // When not empty, the samples come from these bags of one recording in
  // turn, as from one bag, with the same writers throughout: the bags share
  // their topic ids, and each topic of any of them gets a writer. The bag
  // given to create is the one whose writers' QoS the writers take (the last
  // holds the whole catalogue); `start_bag` is the bag the replay (and each
  // pass) begins with and that latched_sample_ids name rows of.
  std::vector<rnr_replay_bag> recording;
  size_t start_bag = 0;
  // Pace the samples by the source timestamps their writers gave them (kept
  // in the bag's sample sources) instead of their reception times; a
  // sample without one is paced by its reception time.
  bool source_timing = false;
};

// What a replay has done so far, for a status display.
struct rnr_replay_progress {
  // Samples written (all topics, latched ones included) and the timestamp
  // (ns) of the last one.
  uint64_t samples_written = 0;
  int64_t position = 0;
  // Whole passes through the selection completed (with loop).
  uint64_t passes = 0;
  uint8_t state = REPLAY_IDLE;
  // The rate in effect.
  double rate = 1.0;
};

// A check that the creation of writers and the start-up consult between one
// writer and the next and while they wait: once it returns true (a stop signal
// came), no further writer is created and start waits no longer, so that the
// replay that follows stops at once. Process-wide; null (the default) checks
// nothing. The check may be called from any thread that creates or starts.
using rnr_replay_stop_check = bool (*)();
void rnr_replayer_set_stop_check(rnr_replay_stop_check check);

// Opens the existing bag (never creating it) and creates one enabled writer per topic that has
// samples. Null on failure (logged).
rnr_replayer* rnr_replayer_create(const char* bag_file, int32_t domain_id);
// The same with what to play and how; `options` is copied. Null options are
// the defaults.
rnr_replayer* rnr_replayer_create_with_options(const char* bag_file, int32_t domain_id,
                                               const rnr_replay_options* options);
// Changes the rate (clamped to 0.01..100); takes effect at the next gap.
void rnr_replayer_set_rate(rnr_replayer* replayer, double rate);
// While paused: the next sample is written at once, then the replay stays
// paused. Ignored while playing.
void rnr_replayer_step_replay(rnr_replayer* replayer);
void rnr_replayer_set_on_replay_finished(rnr_replayer* replayer,
                                         rnr_replay_finished_callback callback);
void rnr_replayer_set_on_replay_failed(rnr_replayer* replayer, rnr_replay_failed_callback callback);
// Waits one second, then starts the replay thread. A replayer replays once.
void rnr_replayer_start_replay(rnr_replayer* replayer);
void rnr_replayer_pause_replay(rnr_replayer* replayer);
void rnr_replayer_resume_replay(rnr_replayer* replayer);
// The samples the finished replay could not write; 0 while it runs.
uint64_t rnr_replayer_unwritten(const rnr_replayer* replayer);
// Where the replay stands; safe to call while it runs. The defaults for null.
rnr_replay_progress rnr_replayer_progress(const rnr_replayer* replayer);
// The writers created, one per topic that is played.
size_t rnr_replayer_writer_count(const rnr_replayer* replayer);
// Returns once the replay thread has ended.
void rnr_replayer_stop_replay(rnr_replayer* replayer);
// Releases everything; stops a replay thread that still runs first.
void rnr_replayer_destroy(rnr_replayer* replayer);
