#include "recorder/long_run.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "bag/bag_split.h"
#include "bag/database_create_new.h"
#include "bag/instance_events.h"
#include "bag/sample_sources.h"
#include "bag/writer_qos.h"
#include "log/logger.h"
#include "recorder/recorder_internal.h"

using namespace rnr::recorder::internal;

namespace {

constexpr size_t kBulkInsertSize = 256;
// How long a finished bag's store is kept before it is released: a capture
// that read the bag before the switch waits at most 50 ms for room in it.
constexpr auto kRetireDelay = std::chrono::seconds(1);
// A bag left behind is ended once its store holds at most this much, looked
// at this often; and when its writes have not progressed for this long.
constexpr size_t kFinishHeldBytes = size_t{1} << 20;
constexpr auto kFinishPoll = std::chrono::milliseconds(10);
constexpr auto kFinishStall = std::chrono::seconds(1);

HeldSample make_held(LongRun& run, rnr_TopicInfo* entry, const dds_SampleInfo& info,
                     uint64_t timestamp, const void* data, uint32_t size, bool latched) {
  HeldSample s;
  s.topic_id = entry->id;
  s.timestamp = timestamp;
  s.order = run.next_order++;
  s.latched = latched;
  s.instance.assign(reinterpret_cast<const char*>(info.instance_handle.value),
                    sizeof info.instance_handle.value);
  s.bytes.assign(static_cast<const char*>(data), size);
  return s;
}

// Inserts the latched state into `store` as its first rows, stamped `at`:
// the rows repeat samples recorded before, so they are listed with the
// reception time of what they repeat. Called with insert_mutex held.
std::vector<rnr_RepeatedRow> write_latched_head(LongRun& run, rnr_Database* store, uint64_t at,
                                                uint64_t* bytes) {
  std::vector<rnr_RepeatedRow> repeated;
  int64_t id = 1;  // a new bag's rows are numbered from 1 in insertion order
  for (const HeldSample* s : run.latched.rows()) {
    rnr_DataRow row{};
    row.timestamp = at;
    row.topic_id = static_cast<uint32_t>(s->topic_id);
    row.serialized_data = s->bytes.data();
    row.serialized_data_size = s->bytes.size();
    if (rnr_Database_insert_data(store, &row)) {
      repeated.push_back({id++, static_cast<int64_t>(s->timestamp)});
      *bytes += s->bytes.size();
    }
  }
  return repeated;
}

bool fail(std::string* error, const std::string& text) {
  if (error != nullptr) {
    *error = text;
  }
  return false;
}

// Creates the new bag `path` with the tables of a long run and the held
// bytes bound; null (logged) when it cannot.
rnr_Database* create_bag(const char* path, size_t held_limit) {
  rnr_Database* store = rnr_Database_create_new(path);
  if (store == nullptr) {
    return nullptr;
  }
  if (!rnr_Database_create_writer_qos_table(store) ||
      !rnr_Database_create_instance_events_table(store) ||
      !rnr_Database_create_repeated_rows_table(store) ||
      !rnr_Database_create_sample_sources_table(store)) {
    rnr_Database_destroy(store);
    unlink(path);
    return nullptr;
  }
  rnr_Database_set_held_bytes_limit(store, held_limit);
  return store;
}

// Releases a bag that was never written to, and removes its file.
void drop_bag(rnr_Database* store) {
  if (store != nullptr) {
    const std::string path = store->path;
    rnr_Database_destroy(store);
    unlink(path.c_str());
  }
}

// Makes the new bag `path` ready for samples: created, or the one prepared
// under that name, with the catalogue of `from` (the caller holds the
// recorder's mutex); its bulk insert is not started.
rnr_Database* prepare_bag(LongRun& run, const char* path, rnr_Database* from) {
  rnr_Database* store = nullptr;
  if (run.prepared != nullptr && std::strcmp(run.prepared->path, path) == 0) {
    store = run.prepared;
  } else {
    drop_bag(run.prepared);
    store = create_bag(path, run.held_limit);
  }
  run.prepared = nullptr;
  if (store != nullptr && !rnr_Database_copy_catalogue(from, store)) {
    drop_bag(store);
    return nullptr;
  }
  return store;
}

uint64_t file_size_of(const char* path) {
  struct stat st {};
  return stat(path, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

// The bytes the current bag may hold in memory: the run's bound less what
// the bags left behind still hold, so that they drain within the bound
// together (but at least a sixteenth of it, so that recording goes on
// meanwhile).
size_t current_bag_limit(LongRun& run) {
  size_t held = 0;
  {
    std::lock_guard<std::mutex> lock(run.finishing_mutex);
    for (const LongRun::Finishing& bag : run.finishing) {
      held += rnr_Database_bulk_insert_stats(bag.store).held_bytes;
    }
  }
  const size_t floor = std::max<size_t>(run.held_limit / 16, 1);
  return held + floor < run.held_limit ? run.held_limit - held : floor;
}

// Writes a bag left behind by a split to its end, counts what it lost, and
// retires its store. On the finisher thread (or the caller's, when no thread
// could be started).
void finish_bag(rnr_recorder* recorder, const LongRun::Finishing& bag) {
  LongRun& run = *recorder->long_run;
  // While its store thread writes what it holds, the room it frees goes to
  // the current bag as it is freed, so that splitting leaves the recording
  // as much memory as one bag has. The end comes once little is left (or
  // the writes no longer make progress).
  size_t last_held = SIZE_MAX;
  auto progress = std::chrono::steady_clock::now();
  for (;;) {
    const rnr_BulkInsertStats stats = rnr_Database_bulk_insert_stats(bag.store);
    rnr_Database_set_held_bytes_limit(recorder->database.load(), current_bag_limit(run));
    const auto now = std::chrono::steady_clock::now();
    if (stats.held_bytes < last_held) {
      last_held = stats.held_bytes;
      progress = now;
    }
    if (stats.held_bytes <= kFinishHeldBytes || stats.failing || now - progress > kFinishStall) {
      break;
    }
    std::this_thread::sleep_for(kFinishPoll);
  }
  rnr_Database_end_bulk_insert_data(bag.store);
  const rnr_BulkInsertStats stats = rnr_Database_bulk_insert_stats(bag.store);
  rnr_log(RNR_LOG_INFO, "Recorder Saved %llu samples into %s",
          static_cast<unsigned long long>(stats.written_samples), bag.store->path);
  const uint64_t size = file_size_of(bag.store->path);
  {
    std::lock_guard<std::mutex> insert(recorder->insert_mutex);
    run.lost_before += stats.lost_samples;
    // A bag too small to say how its file grows leaves the ratio as it was.
    if (bag.base > 0 && size > bag.base && bag.bag_bytes >= 32768) {
      run.finished_ratio =
          static_cast<double>(size - bag.base) / static_cast<double>(bag.bag_bytes);
    }
  }
  if (stats.lost_samples > 0) {
    rnr_log(RNR_LOG_ERROR, "Recorder Lost %llu samples: the bag %s could not store them",
            static_cast<unsigned long long>(stats.lost_samples), bag.store->path);
  }
  {
    std::lock_guard<std::mutex> lock(run.retired_mutex);
    run.retired.emplace_back(bag.store, std::chrono::steady_clock::now());
  }
  // What it held is free for the current bag.
  rnr_Database_set_held_bytes_limit(recorder->database.load(), current_bag_limit(run));
}

void run_finisher(rnr_recorder* recorder) {
  LongRun& run = *recorder->long_run;
  std::unique_lock<std::mutex> lock(run.finishing_mutex);
  for (;;) {
    run.finishing_changed.wait(lock,
                               [&] { return run.finisher_stopping || !run.finishing.empty(); });
    if (run.finishing.empty()) {
      return;  // stopping, and every bag is written
    }
    const LongRun::Finishing bag = run.finishing.front();
    lock.unlock();
    finish_bag(recorder, bag);
    lock.lock();
    run.finishing.pop_front();
    run.finishing_changed.notify_all();
  }
}

// Hands the bag to the finisher, started with the first split; written here
// when no thread can be started, or once the run is finishing.
void leave_behind(rnr_recorder* recorder, const LongRun::Finishing& bag) {
  LongRun& run = *recorder->long_run;
  {
    std::lock_guard<std::mutex> lock(run.finishing_mutex);
    if (!run.finisher.joinable() && !run.finisher_stopping) {
      try {
        run.finisher = std::thread(run_finisher, recorder);
      } catch (const std::system_error&) {
        rnr_log(RNR_LOG_WARN, "Recorder Cannot start the thread that finishes split bags");
      }
    }
    if (run.finisher.joinable() && !run.finisher_stopping) {
      run.finishing.push_back(bag);
      run.finishing_changed.notify_all();
      return;
    }
  }
  finish_bag(recorder, bag);
}

void sync_directory_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    fsync(fd);
    close(fd);
  }
}

}  // namespace

namespace rnr::recorder::internal {

bool LatchedCache::is_latched(rnr_TopicInfo* entry, uint64_t now) {
  Topic& t = topics_[entry->id];
  if (t.checked_ns == 0 || now - t.checked_ns >= 1000000000u) {
    t.checked_ns = now;
    std::lock_guard<std::mutex> lock(entry->assignment_mutex);
    t.latched = std::any_of(entry->readers.begin(), entry->readers.end(), [](const auto& r) {
      return r->qos.durability != dds_VOLATILE_DURABILITY_QOS;
    });
  }
  return t.latched;
}

bool LatchedCache::admits(Topic& t, int32_t topic_id) {
  if (t.instances.size() < kMaxLatchedInstances) {
    return true;
  }
  if (!t.warned) {
    t.warned = true;
    rnr_log(RNR_LOG_WARN,
            "Recorder Topic %d has more than %zu instances: the latched state of the next bags "
            "holds only the first %zu",
            static_cast<int>(topic_id), kMaxLatchedInstances, kMaxLatchedInstances);
  }
  return false;
}

void LatchedCache::offer(HeldSample&& sample) {
  Topic& t = topics_[sample.topic_id];
  auto found = t.instances.find(sample.instance);
  if (found != t.instances.end()) {
    found->second = std::move(sample);
  } else if (admits(t, sample.topic_id)) {
    std::string key = sample.instance;
    t.instances.emplace(std::move(key), std::move(sample));
  }
}

void LatchedCache::offer(int32_t topic_id, const dds_InstanceHandle_t& instance, uint64_t timestamp,
                         uint64_t order, const void* data, uint32_t size) {
  Topic& t = topics_[topic_id];
  const std::string key(reinterpret_cast<const char*>(instance.value), sizeof instance.value);
  auto found = t.instances.find(key);
  if (found == t.instances.end()) {
    if (!admits(t, topic_id)) {
      return;
    }
    found = t.instances.emplace(key, HeldSample{}).first;
    found->second.topic_id = topic_id;
    found->second.latched = true;
    found->second.instance = key;
  }
  found->second.timestamp = timestamp;
  found->second.order = order;
  found->second.bytes.assign(static_cast<const char*>(data), size);
}

std::vector<const HeldSample*> LatchedCache::rows() const {
  std::vector<const HeldSample*> out;
  for (const auto& [id, t] : topics_) {
    for (const auto& [key, s] : t.instances) {
      out.push_back(&s);
    }
  }
  std::sort(out.begin(), out.end(),
            [](const HeldSample* a, const HeldSample* b) { return a->order < b->order; });
  return out;
}

size_t LatchedCache::size() const {
  size_t n = 0;
  for (const auto& [id, t] : topics_) {
    n += t.instances.size();
  }
  return n;
}

void SnapshotWindow::drop_front(LatchedCache& latched) {
  HeldSample& s = samples_.front();
  bytes_ -= s.bytes.size();
  if (s.latched) {
    latched.offer(std::move(s));
  }
  samples_.pop_front();
}

void SnapshotWindow::trim(uint64_t now, LatchedCache& latched) {
  while (!samples_.empty() && samples_.front().timestamp + span_ns_ < now) {
    drop_front(latched);
  }
}

void SnapshotWindow::push(HeldSample&& sample, LatchedCache& latched) {
  const uint64_t now = sample.timestamp;
  bytes_ += sample.bytes.size();
  samples_.push_back(std::move(sample));
  trim(now, latched);
  if (bytes_ > limit_) {
    while (bytes_ > limit_ && samples_.size() > 1) {
      drop_front(latched);
    }
    if (!cut_reported_) {
      cut_reported_ = true;
      rnr_log(RNR_LOG_WARN,
              "Recorder The snapshot window holds only the last %.1f s of the %.1f s asked for: "
              "the memory bound of %zu bytes cuts it short",
              static_cast<double>(now - samples_.front().timestamp) / 1e9,
              static_cast<double>(span_ns_) / 1e9, limit_);
    }
  }
}

void discard_sample(rnr_recorder* recorder, rnr_TopicInfo* /*entry*/,
                    const dds_SampleInfo& /*info*/) {
  ++recorder->long_run->discarded;
}

void deliver_sample(rnr_recorder* recorder, rnr_TopicInfo* entry, const dds_SampleInfo& info,
                    const void* data, uint32_t size, const rnr_SampleSource* source) {
  std::lock_guard<std::mutex> lock(recorder->insert_mutex);
  rnr_DataRow row{};
  row.timestamp = arch_time();
  row.topic_id = static_cast<uint32_t>(entry->id);
  row.serialized_data = data;
  row.serialized_data_size = size;
  LongRun* run = recorder->long_run.get();
  if (run == nullptr) {
    rnr_Database_insert_data_with_source(recorder->database, &row, source);
    return;
  }
  const bool latched = run->options.keep_latched && run->latched.is_latched(entry, row.timestamp);
  if (run->mode == RNR_RECORDER_MODE_SNAPSHOT) {
    ++run->samples;
    run->bytes += size;
    run->window.push(make_held(*run, entry, info, row.timestamp, data, size, latched),
                     run->latched);
    return;
  }
  if (latched) {
    run->latched.offer(entry->id, info.instance_handle, row.timestamp, run->next_order++, data,
                       size);
  }
  if (run->mode == RNR_RECORDER_MODE_PAUSED) {
    discard_sample(recorder, entry, info);
    return;
  }
  rnr_Database_insert_data_with_source(recorder->database, &row, source);
  ++run->samples;
  run->bytes += size;
  ++run->bag_samples;
  run->bag_bytes += size;
}

void note_bag_base(rnr_recorder* recorder) {
  LongRun* run = recorder->long_run.get();
  rnr_Database* current = recorder->database.load();
  if (run == nullptr || current == nullptr || run->options.snapshot_ns > 0) {
    return;
  }
  const uint64_t base = file_size_of(current->path);
  std::lock_guard<std::mutex> insert(recorder->insert_mutex);
  if (run->bag_base == 0) {
    run->bag_base = base;
  }
}

void stop_finisher(LongRun* run) {
  {
    std::lock_guard<std::mutex> lock(run->finishing_mutex);
    run->finisher_stopping = true;
    run->finishing_changed.notify_all();
  }
  if (run->finisher.joinable()) {
    run->finisher.join();
  }
}

void release_retired(LongRun* run, bool all) {
  std::vector<rnr_Database*> released;
  {
    std::lock_guard<std::mutex> lock(run->retired_mutex);
    const auto now = std::chrono::steady_clock::now();
    auto& r = run->retired;
    for (auto it = r.begin(); it != r.end();) {
      if (all || now - it->second >= kRetireDelay) {
        released.push_back(it->first);
        it = r.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (rnr_Database* store : released) {
    rnr_Database_destroy(store);
  }
}

}  // namespace rnr::recorder::internal

rnr_recorder* rnr_recorder_create_long_run(int32_t domain_id, const char* bag_path,
                                           const rnr_long_run_options* options) {
  const rnr_long_run_options chosen = options != nullptr ? *options : rnr_long_run_options{};
  const bool window = chosen.snapshot_ns > 0;
  if (!window && bag_path == nullptr) {
    rnr_log(RNR_LOG_ERROR, "Recorder Cannot create database (no bag name)");
    return nullptr;
  }
  rnr_recorder* recorder = create_recorder(domain_id, bag_path, window);
  if (recorder == nullptr) {
    return nullptr;
  }
  auto run = std::make_unique<LongRun>();
  run->options = chosen;
  run->mode = window ? RNR_RECORDER_MODE_SNAPSHOT : RNR_RECORDER_MODE_RECORDING;
  run->window.configure(chosen.snapshot_ns, run->held_limit);
  if (!window && !rnr_Database_create_repeated_rows_table(recorder->database)) {
    rnr_recorder_destroy(recorder);
    return nullptr;
  }
  recorder->long_run = std::move(run);
  return recorder;
}

bool rnr_recorder_pause(rnr_recorder* recorder) {
  if (recorder == nullptr || recorder->long_run == nullptr) {
    return false;
  }
  std::lock_guard<std::mutex> lock(recorder->insert_mutex);
  if (recorder->long_run->mode != RNR_RECORDER_MODE_RECORDING) {
    return false;
  }
  recorder->long_run->mode = RNR_RECORDER_MODE_PAUSED;
  return true;
}

bool rnr_recorder_resume(rnr_recorder* recorder) {
  if (recorder == nullptr || recorder->long_run == nullptr) {
    return false;
  }
  std::lock_guard<std::mutex> lock(recorder->insert_mutex);
  if (recorder->long_run->mode != RNR_RECORDER_MODE_PAUSED) {
    return false;
  }
  recorder->long_run->mode = RNR_RECORDER_MODE_RECORDING;
  return true;
}

bool rnr_recorder_split_now(rnr_recorder* recorder, const char* next_path, std::string* error) {
  if (recorder == nullptr || recorder->long_run == nullptr || next_path == nullptr) {
    return fail(error, "not a long run");
  }
  LongRun& run = *recorder->long_run;
  if (run.options.snapshot_ns > 0) {
    return fail(error, "a snapshot window writes no bag to split");
  }
  std::lock_guard<std::mutex> switching(run.switching);
  release_retired(&run, false);
  rnr_Database* previous = nullptr;
  rnr_Database* next = nullptr;
  std::vector<rnr_RepeatedRow> repeated;
  uint64_t base = 0;
  LongRun::Finishing left{};
  {
    // No catalogue write happens while the mutex is held: the copy is the
    // whole catalogue up to the switch, and discovery's next writes go to
    // the new bag.
    std::lock_guard<std::mutex> lock(recorder->mutex);
    previous = recorder->database.load();
    next = prepare_bag(run, next_path, previous);
    if (next == nullptr) {
      return fail(error, std::string("cannot create the bag ") + next_path);
    }
    // Its size before any sample, for a split by size: measured later, the
    // file would already hold some of the samples it is judged by.
    base = file_size_of(next_path);
    if (!rnr_Database_start_bulk_insert_data(next, kBulkInsertSize)) {
      rnr_Database_destroy(next);
      unlink(next_path);
      return fail(error, std::string("cannot start writing ") + next_path);
    }
    std::lock_guard<std::mutex> insert(recorder->insert_mutex);
    left = {previous, run.bag_base, run.bag_bytes};
    recorder->database.store(next);
    uint64_t bytes = 0;
    repeated = write_latched_head(run, next, arch_time(), &bytes);
    run.bag_samples = repeated.size();
    run.bag_bytes = bytes;
    run.bag_base = base;
  }
  rnr_log(RNR_LOG_INFO, "Recorder Recording into %s", next->path);
  const bool ok = rnr_Database_insert_repeated_rows(next, repeated);
  if (!ok) {
    fail(error, std::string("cannot list the repeated rows of ") + next_path);
  }
  // The previous bag is finished off the sample path, and off the caller's:
  // what it still holds may take a while to write. Its losses count in the
  // run's lost samples when it is done.
  leave_behind(recorder, left);
  rnr_Database_set_held_bytes_limit(next, current_bag_limit(run));
  return ok;
}

bool rnr_recorder_prepare_split(rnr_recorder* recorder, const char* next_path, std::string* error) {
  if (recorder == nullptr || recorder->long_run == nullptr || next_path == nullptr) {
    return fail(error, "not a long run");
  }
  LongRun& run = *recorder->long_run;
  std::lock_guard<std::mutex> switching(run.switching);
  drop_bag(run.prepared);
  run.prepared = create_bag(next_path, run.held_limit);
  return run.prepared != nullptr || fail(error, std::string("cannot create the bag ") + next_path);
}

bool rnr_recorder_snapshot_now(rnr_recorder* recorder, const char* path, std::string* error) {
  if (recorder == nullptr || recorder->long_run == nullptr || path == nullptr) {
    return fail(error, "not a long run");
  }
  LongRun& run = *recorder->long_run;
  if (run.options.snapshot_ns == 0) {
    return fail(error, "the recorder keeps no snapshot window");
  }
  std::lock_guard<std::mutex> switching(run.switching);
  if (access(path, F_OK) == 0) {
    return fail(error, std::string(path) + " exists");
  }
  const std::string partial = std::string(path) + ".partial";
  rnr_Database* out = nullptr;
  {
    std::lock_guard<std::mutex> lock(recorder->mutex);
    out = prepare_bag(run, partial.c_str(), recorder->database.load());
  }
  if (out == nullptr) {
    return fail(error, "cannot create " + partial);
  }
  // The window as it stands, copied out so that recording into it goes on
  // while the bag is written.
  std::vector<HeldSample> head;
  std::deque<HeldSample> samples;
  {
    std::lock_guard<std::mutex> insert(recorder->insert_mutex);
    run.window.trim(arch_time(), run.latched);
    for (const HeldSample* s : run.latched.rows()) {
      head.push_back(*s);
    }
    samples = run.window.samples();
  }
  const uint64_t at = !samples.empty() ? samples.front().timestamp : arch_time();
  bool ok = rnr_Database_start_bulk_insert_data(out, kBulkInsertSize);
  std::vector<rnr_RepeatedRow> repeated;
  int64_t id = 1;
  auto insert = [&](const HeldSample& s, uint64_t timestamp) {
    rnr_DataRow row{};
    row.timestamp = timestamp;
    row.topic_id = static_cast<uint32_t>(s.topic_id);
    row.serialized_data = s.bytes.data();
    row.serialized_data_size = s.bytes.size();
    return rnr_Database_insert_data(out, &row);
  };
  for (const HeldSample& s : head) {
    ok = ok && insert(s, at);
    repeated.push_back({id++, static_cast<int64_t>(s.timestamp)});
  }
  for (const HeldSample& s : samples) {
    ok = ok && insert(s, s.timestamp);
  }
  rnr_Database_end_bulk_insert_data(out);
  ok = ok && rnr_Database_bulk_insert_stats(out).lost_samples == 0 &&
       rnr_Database_insert_repeated_rows(out, repeated);
  rnr_Database_destroy(out);
  // link() refuses an existing name, where rename() would replace it.
  if (ok && link(partial.c_str(), path) != 0) {
    const int e = errno;
    unlink(partial.c_str());
    return fail(error, std::string("cannot name the snapshot ") + path + ": " + std::strerror(e));
  }
  unlink(partial.c_str());
  if (!ok) {
    return fail(error, "cannot write " + partial);
  }
  sync_directory_of(path);
  rnr_log(RNR_LOG_INFO, "Recorder Snapshot of %zu samples (%zu latched) written into %s",
          samples.size() + head.size(), head.size(), path);
  return true;
}

rnr_recorder_status rnr_recorder_get_status(rnr_recorder* recorder) {
  rnr_recorder_status status;
  if (recorder == nullptr || recorder->long_run == nullptr) {
    return status;
  }
  LongRun& run = *recorder->long_run;
  {
    std::lock_guard<std::mutex> lock(recorder->mutex);
    status.topics = recorder->topic_list.size();
    for (const auto& entry : recorder->topic_list) {
      status.never_arrived += entry->losses_seen.load(std::memory_order_relaxed);
    }
  }
  std::lock_guard<std::mutex> insert(recorder->insert_mutex);
  rnr_Database* current = recorder->database.load();
  const bool window = run.options.snapshot_ns > 0;
  status.mode = run.mode;
  status.samples = run.samples;
  status.bytes = run.bytes;
  status.discarded = run.discarded;
  status.bag_samples = run.bag_samples;
  status.bag_bytes = run.bag_bytes;
  status.bag_base = run.bag_base;
  status.finished_ratio = run.finished_ratio;
  status.lost = run.lost_before + status.never_arrived;
  if (!window && current != nullptr) {
    status.current_file = current->path;
    const rnr_BulkInsertStats stats = rnr_Database_bulk_insert_stats(current);
    status.lost += stats.lost_samples;
    status.bag_held = stats.held_bytes;
  }
  const auto& held = run.window.samples();
  status.window_samples = held.size();
  status.window_ns = held.empty() ? 0 : held.back().timestamp - held.front().timestamp;
  return status;
}

bool rnr_recorder_finish_long_run(rnr_recorder* recorder) {
  if (recorder == nullptr || recorder->long_run == nullptr) {
    return true;
  }
  { std::lock_guard<std::mutex> switching(recorder->long_run->switching); }
  if (recorder->long_run->options.snapshot_ns > 0) {
    return true;
  }
  // The bags left behind are written to their end first.
  stop_finisher(recorder->long_run.get());
  const bool saved = rnr_recorder_save_record(recorder);
  std::lock_guard<std::mutex> insert(recorder->insert_mutex);
  return saved && recorder->long_run->lost_before == 0;
}
