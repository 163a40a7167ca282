// The state of a long run (long_run.h) inside the recorder: the latched
// state kept per instance, the snapshot window, the counters, and the bags
// finished but not yet released. The sample path (deliver_sample, under the
// recorder's insert_mutex) and the record program's calls share it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "bag/bag_split.h"
#include "bag/sample_sources.h"
#include "bag/database.h"
#include "middleware/dds_api.h"
#include "recorder/long_run.h"

struct rnr_recorder;
struct rnr_TopicInfo;

namespace rnr::recorder::internal {

// One sample held in memory: by the latched state or the snapshot window.
struct HeldSample {
  int32_t topic_id = 0;
  uint64_t timestamp = 0;  // reception time, ns
  uint64_t order = 0;      // arrival order over the whole run
  bool latched = false;    // of a topic whose latched state is kept
  std::string instance;    // the reader's instance handle, as bytes
  std::string bytes;
};

// Instances of one topic whose latest sample is kept at most.
constexpr size_t kMaxLatchedInstances = 100000;

// The latest sample of each instance of every topic with a transient-local
// (or more durable) writer. Used under the recorder's insert_mutex.
class LatchedCache {
 public:
  // Whether the entry's topic has a reader for durable writers; looked up
  // again at most once a second per topic.
  bool is_latched(rnr_TopicInfo* entry, uint64_t now);
  // Keeps the sample as its instance's latest.
  void offer(HeldSample&& sample);
  // The same for a sample not copied yet: reuses the kept buffer.
  void offer(int32_t topic_id, const dds_InstanceHandle_t& instance, uint64_t timestamp,
             uint64_t order, const void* data, uint32_t size);
  // The samples kept, in arrival order.
  std::vector<const HeldSample*> rows() const;
  size_t size() const;

 private:
  struct Topic {
    bool latched = false;
    uint64_t checked_ns = 0;
    bool warned = false;
    std::unordered_map<std::string, HeldSample> instances;
  };
  // Room for one more instance of `t`; false (one line) past the bound.
  bool admits(Topic& t, int32_t topic_id);
  std::unordered_map<int32_t, Topic> topics_;
};

// The last `span_ns` of samples, bounded by `limit` bytes (oldest first
// out); what falls out goes to the latched state. Used under insert_mutex.
class SnapshotWindow {
 public:
  void configure(uint64_t span_ns, size_t limit) {
    span_ns_ = span_ns;
    limit_ = limit;
  }
  void push(HeldSample&& sample, LatchedCache& latched);
  // Drops what is older than `now` - span.
  void trim(uint64_t now, LatchedCache& latched);
  const std::deque<HeldSample>& samples() const { return samples_; }
  size_t bytes() const { return bytes_; }

 private:
  void drop_front(LatchedCache& latched);
  std::deque<HeldSample> samples_;
  size_t bytes_ = 0;
  uint64_t span_ns_ = 0;
  size_t limit_ = 0;
  bool cut_reported_ = false;
};

struct LongRun {
  rnr_long_run_options options;
  size_t held_limit = RNR_DATABASE_DEFAULT_HELD_BYTES_LIMIT;
  // One split or snapshot at a time.
  std::mutex switching;
  // The next bag, created ahead of its split (under `switching`).
  rnr_Database* prepared = nullptr;

  // Under the recorder's insert_mutex.
  rnr_recorder_mode mode = RNR_RECORDER_MODE_RECORDING;
  LatchedCache latched;
  SnapshotWindow window;
  uint64_t next_order = 0;
  uint64_t samples = 0;
  uint64_t bytes = 0;
  uint64_t discarded = 0;
  uint64_t bag_samples = 0;
  uint64_t bag_bytes = 0;
  // The current bag's file size with its tables and catalogue, before the
  // first sample (0 for the first bag, made before any split).
  uint64_t bag_base = 0;
  uint64_t lost_before = 0;  // lost by the bags finished so far

  // File bytes per sample byte of the last bag written to its end (0: none
  // yet), for the size of the next ones. Under insert_mutex.
  double finished_ratio = 0;

  // Finished bags whose store is released a while after the switch: a
  // capture may still be waiting on it for room.
  std::mutex retired_mutex;
  std::vector<std::pair<rnr_Database*, std::chrono::steady_clock::time_point>> retired;

  // Bags left behind by a split, written to their end by the finisher
  // thread in order, so that the split returns at once (the next split is
  // not held up however much the bag still holds in memory).
  struct Finishing {
    rnr_Database* store = nullptr;
    uint64_t base = 0;       // its file size before the first sample
    uint64_t bag_bytes = 0;  // the sample bytes handed to it
  };
  std::mutex finishing_mutex;
  std::condition_variable finishing_changed;
  std::deque<Finishing> finishing;  // the first is the one being written
  bool finisher_stopping = false;
  std::thread finisher;
};

// Hands one taken sample on: into the current bag, the snapshot window, or
// discard_sample while paused. Takes the recorder's insert_mutex. `source`
// (when known) is stored with the sample in the current bag.
void deliver_sample(rnr_recorder* recorder, rnr_TopicInfo* entry, const dds_SampleInfo& info,
                    const void* data, uint32_t size, const rnr_SampleSource* source = nullptr);

// The one way a sample taken from DDS is dropped on purpose (while the
// recording is paused): counted as discarded, never as lost. Called with
// the recorder's insert_mutex held.
void discard_sample(rnr_recorder* recorder, rnr_TopicInfo* entry, const dds_SampleInfo& info);

// Releases the bags finished at least a second ago, or all of them.
void release_retired(LongRun* run, bool all);

// Notes the first bag's size before its first sample, once its catalogue
// is written as recording starts (a split bag's is noted as it is made).
void note_bag_base(rnr_recorder* recorder);

// Waits until the finisher has written every bag left behind to its end,
// and ends it.
void stop_finisher(LongRun* run);

}  // namespace rnr::recorder::internal
