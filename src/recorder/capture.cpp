#include "recorder/recorder_internal.h"

#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <cstdio>
#include <cstring>
#include <string>

#include "log/logger.h"
#include "recorder/dump.h"
#include "recorder/instance_capture.h"
#include "recorder/writer_history.h"

namespace rnr::recorder::internal {
namespace {

constexpr int32_t kMaxCaptureSamples = 1000;
constexpr size_t kMaxTakesPerCapture = 64;
// How long one wait for room in the store lasts before losses are checked.
constexpr uint64_t kRoomWaitNs = 50000000u;
// DDS loss counts are read at most once a second and reported at most once
// every 10 s per topic while samples are being dropped.
constexpr uint64_t kLossCheckIntervalNs = 1000000000u;
constexpr uint64_t kLossWarnIntervalNs = 10000000000u;

void dr_on_data_available(dds_DataReader* reader);

uint64_t source_time_ns(const dds_SampleInfo& info);

// The record of the writer of a sample with this publication handle, made
// when its first sample comes: the writer's GUID, when it was announced and
// the reader it is assigned to. A handle new for a GUID already known is the
// writer matched again after it dropped the recorder's reader.
rnr_WriterSequences* writer_sequences(rnr_TopicInfo* entry, dds_DataReader* reader, uint64_t handle,
                                      const dds_InstanceHandle_t& publication_handle) {
  if (entry->last_stored != nullptr && entry->last_stored_handle == handle) {
    return entry->last_stored;
  }
  auto found = entry->stored.find(handle);
  if (found == entry->stored.end()) {
    rnr_WriterKey key{};
    uint8_t guid[16] = {};
    dds_PublicationBuiltinTopicData writer{};
    if (dds_DataReader_get_matched_publication(reader, &publication_handle, guid, &writer) ==
        dds_RETCODE_OK) {
      std::memcpy(&key.bytes, guid, sizeof key.bytes);
    } else {
      std::memcpy(&key.bytes, &handle, sizeof handle);  // told apart by the handle alone
    }
    const auto [at, added] = entry->sequences.try_emplace(key);
    rnr_WriterSequences& w = at->second;
    if (added) {
      w.guid = key.bytes;
    } else {
      // The same writer under a new handle: it went away and came back.
      w.rejoined = true;
      w.own_reader = nullptr;
      w.own_first = 0;
      for (auto it = entry->stored.begin(); it != entry->stored.end();) {
        it = it->second == &w ? entry->stored.erase(it) : std::next(it);
      }
    }
    {
      std::lock_guard<std::mutex> lock(entry->assignment_mutex);
      const auto announced = entry->announced.find(key);
      if (announced != entry->announced.end()) {
        w.announced_ns = announced->second;
      }
    }
    found = entry->stored.emplace(handle, &w).first;
  }
  entry->last_stored = found->second;
  entry->last_stored_handle = handle;
  return found->second;
}

// Whether a sample of writer `w` that reader `tr` received is left to the
// writer's own reader: once that reader, a reliable one, has stored a sample
// of it, the samples it will deliver (that one's number and above) are
// stored from it alone, in the writer's order, and not from whichever of the
// topic's readers is taken first. A best-effort own reader may miss a
// sample another reader has, which is then kept.
bool left_to_own_reader(rnr_TopicInfo* entry, rnr_WriterSequences& w, rnr_TopicReader* tr,
                        uint64_t seq) {
  if (w.own_reader == nullptr) {
    std::lock_guard<std::mutex> lock(entry->assignment_mutex);
    rnr_WriterKey key{w.guid};
    const auto own = entry->assignments.find(key);
    if (own == entry->assignments.end()) {
      return false;
    }
    w.own_reader = own->second;
    w.own_reliable = own->second->qos.reliability == dds_RELIABLE_RELIABILITY_QOS;
  }
  if (w.own_reader == tr) {
    if (w.own_first == 0) {
      w.own_first = seq;
    }
    return false;
  }
  return w.own_reliable && w.own_first != 0 && seq >= w.own_first;
}

// Whether `tr` keeps this sample. A sample whose writer sequence number is
// known is kept unless one of the topic's readers stored it already: a
// writer that several readers receive (one of another class while its own
// reader is not yet matched, then both) has each sample stored once.
// Otherwise, by the writer's assignment: a decision is remembered once it
// cannot change (the writer is assigned); samples of a writer not assigned
// yet are dropped, and when the writer cannot be identified at all, a
// topic's only reader keeps them.
bool reader_keeps(rnr_recorder* recorder, rnr_TopicInfo* entry, rnr_TopicReader* tr,
                  dds_DataReader* reader, const dds_SampleInfo& info) {
  const dds_InstanceHandle_t& publication_handle = info.publication_handle;
  uint64_t handle = 0;
  std::memcpy(&handle, publication_handle.value, sizeof handle);
  if (info.sequence_number != 0) {
    // Samples come in runs of one writer: its record is looked up once a run.
    rnr_WriterSequences& w = *writer_sequences(entry, reader, handle, publication_handle);
    const uint64_t seq = info.sequence_number;
    if (left_to_own_reader(entry, w, tr, seq)) {
      return false;
    }
    if (w.rejoined) {
      w.rejoined = false;
      report_rejoin(w, entry->topic_name, seq);
    }
    // A transient-local reader first receives the writer's history: what
    // the writer no longer held below such a sample is not missing.
    if (tr->qos.durability != dds_VOLATILE_DURABILITY_QOS && w.announced_ns != 0 &&
        source_time_ns(info) < w.announced_ns) {
      return w.stored.insert_history(seq);
    }
    return w.stored.insert(seq);
  }
  const auto cached = tr->keeps.find(handle);
  if (cached != tr->keeps.end()) {
    return cached->second;
  }
  uint8_t guid[16] = {};
  dds_PublicationBuiltinTopicData writer{};
  const bool known = dds_DataReader_get_matched_publication(reader, &publication_handle, guid,
                                                            &writer) == dds_RETCODE_OK;
  const rnr_ReaderClass wanted =
      known ? reader_class_of(recorder, guid, writer) : rnr_ReaderClass{};
  std::lock_guard<std::mutex> lock(entry->assignment_mutex);
  if (!known) {
    return entry->readers.size() == 1;
  }
  const rnr_TopicReader* assigned = assign_writer(entry, guid, wanted);
  if (assigned == nullptr) {
    return false;
  }
  const bool keep = assigned == tr;
  tr->keeps.emplace(handle, keep);
  return keep;
}

uint64_t source_time_ns(const dds_SampleInfo& info) {
  return static_cast<uint64_t>(static_cast<uint32_t>(info.source_timestamp.sec)) * 1000000000u +
         info.source_timestamp.nanosec;
}

// Lists the samples of the take's first `sets_used` buffer sets in the order
// they arrived (see order_by_arrival) into the entry's capture_order.
void arrange_by_arrival(rnr_TopicInfo* entry, size_t sets_used) {
  auto& order = entry->capture_order;
  auto& runs = entry->capture_runs;
  auto& times = entry->capture_times;
  order.clear();
  runs.clear();
  times.clear();
  for (size_t s = 0; s < sets_used; ++s) {
    const rnr_TakeBuffers& b = *entry->take_buffers[s];
    const uint32_t n = dds_SampleInfoSeq_length(b.sample_infos);
    const dds_InstanceHandle_t* previous = nullptr;
    for (uint32_t i = 0; i < n; ++i) {
      const dds_SampleInfo* info = dds_SampleInfoSeq_get(b.sample_infos, i);
      if (previous == nullptr ||
          std::memcmp(previous->value, info->instance_handle.value, sizeof previous->value) != 0) {
        runs.push_back({order.size(), order.size()});
      }
      previous = &info->instance_handle;
      order.push_back({static_cast<uint32_t>(s), i});
      times.push_back(source_time_ns(*info));
      runs.back().end = order.size();
    }
  }
  if (runs.size() <= 1) {
    return;  // already in order
  }
  auto& positions = entry->capture_merged;
  order_by_arrival(times, runs, positions);
  std::vector<rnr_SampleRef> merged;
  merged.reserve(order.size());
  for (const size_t k : positions) {
    merged.push_back(order[k]);
  }
  order.swap(merged);
}

// Prints a sample whose type is unknown as its bytes in hex, one line.
void dump_hex(const void* data, uint32_t size) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string line;
  line.reserve(static_cast<size_t>(size) * 2 + 1);
  const auto* bytes = static_cast<const uint8_t*>(data);
  for (uint32_t i = 0; i < size; ++i) {
    line.push_back(kDigits[bytes[i] >> 4]);
    line.push_back(kDigits[bytes[i] & 0x0f]);
  }
  line.push_back('\n');
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

// The writers._id of writer `w`, looked up in the topic's catalogued
// writers until discovery has catalogued it; 0 until then.
int32_t catalogued_writer_id(rnr_TopicInfo* entry, rnr_WriterSequences& w) {
  if (w.writer_id == 0) {
    std::lock_guard<std::mutex> lock(entry->assignment_mutex);
    const auto found = entry->writer_ids.find(rnr_WriterKey{w.guid});
    if (found != entry->writer_ids.end()) {
      w.writer_id = found->second;
    }
  }
  return w.writer_id;
}

// Who wrote a sample that reader_keeps has just kept, and when: for a
// sample with a sequence number, its writer's record is the one that
// reader_keeps looked up last.
rnr_SampleSource sample_source(rnr_TopicInfo* entry, const dds_SampleInfo& info) {
  rnr_SampleSource source{};
  if (info.source_timestamp.sec >= 0) {
    source.source_timestamp = source_time_ns(info);
  }
  source.sequence = info.sequence_number;
  if (info.sequence_number != 0 && entry->last_stored != nullptr) {
    source.writer_id = catalogued_writer_id(entry, *entry->last_stored);
  }
  return source;
}

// Stores one taken sample; prints it first at level verbose.
void store_sample(rnr_recorder* recorder, rnr_TopicInfo* entry, const dds_SampleInfo& info,
                  const void* data, uint32_t size, const rnr_SampleSource& source) {
  if (logger_level <= RNR_LOG_DEBUG) {
    rnr_log(RNR_LOG_DEBUG, "Recorder Recv Data{topic: %s, source_timestamp: %d.%03d}",
            entry->topic_name, static_cast<int>(info.source_timestamp.sec),
            static_cast<int>(info.source_timestamp.nanosec / 1000000u));
    dds_DynamicTypeSupport* type = entry->dump_type.load();
    // Once standard output is closed (its reader went away) nothing is
    // dumped any more; the recording goes on.
    const bool dump = logger_level <= RNR_LOG_VERBOSE && std::ferror(stdout) == 0;
    if (dump && type != nullptr) {
      void* sample = dds_TypeSupport_deserialize(type, data, size);
      if (sample != nullptr) {
        dds_dump_data(type, sample);
        // One write per dump, so that log lines from other threads do not
        // land inside a dumped line.
        std::fflush(stdout);
        dds_TypeSupport_free(type, sample);
      }
    } else if (dump) {
      dump_hex(data, size);
    }
  }
  deliver_sample(recorder, entry, info, data, size, &source);
}

// Whether `reader`, one of the entry's readers, was created reliable.
bool reader_is_reliable(rnr_TopicInfo* entry, const dds_DataReader* reader) {
  std::lock_guard<std::mutex> assignment_lock(entry->assignment_mutex);
  for (const auto& tr : entry->readers) {
    if (tr->reader == reader) {
      return tr->qos.reliability == dds_RELIABLE_RELIABILITY_QOS;
    }
  }
  return true;
}

// Waits until the store may hold more samples, or the recording stops.
// Returns the bytes the store has room for (SIZE_MAX: no bound applies now).
// Meanwhile the reader fills up: reliable writers then wait for it, and
// best-effort samples are dropped by DDS, which is reported.
size_t wait_for_room(rnr_recorder* recorder, rnr_TopicInfo* entry, dds_DataReader* reader) {
  for (;;) {
    const size_t room = rnr_Database_wait_for_room(recorder->database, kRoomWaitNs);
    if (room > 0 || recorder->stopping.load()) {
      return room > 0 ? room : SIZE_MAX;
    }
    check_dds_losses(entry, reader, false);
  }
}

// Takes what `reader` holds, up to kMaxTakesPerCapture sets of 1000 samples
// and no more than the store has room for, and hands every valid sample to
// the store in the order of arrival. Returns the number of samples taken;
// `more` tells whether the last take was cut short, so that the reader may
// hold more.
size_t capture_round(rnr_recorder* recorder, rnr_TopicInfo* entry, dds_DataReader* reader,
                     size_t room, bool& more) {
  auto& sets = entry->take_buffers;
  size_t used = 0;
  size_t taken = 0;
  size_t taken_bytes = 0;
  more = false;
  while (used < kMaxTakesPerCapture) {
    // As many samples as fit the room, judged by the largest seen so far
    // (one, while none has been seen).
    int32_t asked = std::min(entry->take_size, kMaxCaptureSamples);
    if (room != SIZE_MAX) {
      const size_t left = room > taken_bytes ? room - taken_bytes : 0;
      const size_t fit = entry->largest_sample == 0 ? 1 : left / entry->largest_sample;
      if (fit == 0 && used > 0) {
        more = true;
        break;
      }
      asked = static_cast<int32_t>(std::clamp<size_t>(fit, 1, static_cast<size_t>(asked)));
    }
    if (used == sets.size()) {
      auto fresh = std::make_unique<rnr_TakeBuffers>();
      if (!fresh->prepare(kMaxCaptureSamples)) {
        break;
      }
      sets.push_back(std::move(fresh));
    }
    rnr_TakeBuffers& b = *sets[used];
    const dds_ReturnCode_t rc = dds_DataReader_raw_take(
        reader, dds_HANDLE_NIL, b.samples, b.sample_infos, b.sample_sizes, asked,
        dds_ANY_SAMPLE_STATE, dds_ANY_VIEW_STATE, dds_ANY_INSTANCE_STATE);
    if (rc != dds_RETCODE_OK) {
      more = false;
      break;  // nothing more, or a failed take: no loan to return
    }
    ++used;
    const uint32_t n = dds_DataSeq_length(b.samples);
    taken += n;
    for (uint32_t i = 0; i < n; ++i) {
      const size_t size = dds_UnsignedLongSeq_get(b.sample_sizes, i);
      taken_bytes += size;
      entry->largest_sample = std::max(entry->largest_sample, size);
    }
    more = n == static_cast<uint32_t>(asked);
    if (!more) {
      break;
    }
    if (asked == entry->take_size && entry->take_size < kMaxCaptureSamples) {
      entry->take_size = std::min(entry->take_size * 2, kMaxCaptureSamples);
    }
  }
  if (used == 0) {
    return 0;
  }

  rnr_TopicReader* tr = nullptr;
  {
    std::lock_guard<std::mutex> assignment_lock(entry->assignment_mutex);
    for (auto& r : entry->readers) {
      if (r->reader == reader) {
        tr = r.get();
      }
    }
  }
  arrange_by_arrival(entry, used);
  for (const rnr_SampleRef& ref : entry->capture_order) {
    const rnr_TakeBuffers& b = *sets[ref.set];
    const dds_SampleInfo* info = dds_SampleInfoSeq_get(b.sample_infos, ref.index);
    if (info == nullptr) {
      continue;
    }
    if (!info->valid_data) {
      // A dispose or unregister takes a number of its writer too, and is
      // stored by the reader that stores the writer's samples.
      if (tr != nullptr && reader_keeps(recorder, entry, tr, reader, *info)) {
        record_instance_event(recorder, entry, reader, *info, dds_DataSeq_get(b.samples, ref.index),
                              dds_UnsignedLongSeq_get(b.sample_sizes, ref.index));
      }
      continue;
    }
    // Each writer's samples are stored by the one reader it is assigned to.
    if (tr == nullptr || !reader_keeps(recorder, entry, tr, reader, *info)) {
      continue;
    }
    const void* data = dds_DataSeq_get(b.samples, ref.index);
    if (data == nullptr) {
      continue;
    }
    store_sample(recorder, entry, *info, data, dds_UnsignedLongSeq_get(b.sample_sizes, ref.index),
                 sample_source(entry, *info));
    history_sample(recorder, entry, reader, *info);
    if (info->instance_state != dds_ALIVE_INSTANCE_STATE &&
        last_of_instance_in_take(entry, static_cast<size_t>(&ref - entry->capture_order.data()))) {
      record_instance_event_with_sample(recorder, entry, reader, *info);
    }
  }
  history_capture_done(recorder, entry);
  for (size_t s = 0; s < used; ++s) {
    dds_DataReader_raw_return_loan(reader, sets[s]->samples, sets[s]->sample_infos,
                                   sets[s]->sample_sizes);
  }
  return taken;
}

}  // namespace

const dds_DataReaderListener kTopicReaderListener = {
    nullptr, nullptr, nullptr, nullptr, dr_on_data_available, nullptr, nullptr};

void check_dds_losses(rnr_TopicInfo* entry, dds_DataReader* reader, bool at_end) {
  const uint64_t now = arch_time();
  if (!at_end && now - entry->loss_checked_ns < kLossCheckIntervalNs) {
    return;
  }
  entry->loss_checked_ns = now;
  dds_SampleLossStatus status{};
  if (dds_DataReader_get_sample_loss(reader, &status) == dds_RETCODE_OK) {
    dds_SampleLossStatus& seen = entry->loss_seen[reader];
    entry->dds_lost += status.lost - std::min(status.lost, seen.lost);
    // A reliable sample that a full reader rejects is offered again until it
    // fits (the writer waits meanwhile): it is counted as rejected at every
    // attempt, yet it is not lost. Only a best-effort reader drops it.
    if (!reader_is_reliable(entry, reader)) {
      entry->dds_rejected += status.rejected - std::min(status.rejected, seen.rejected);
    }
    seen = status;
  }
  const uint64_t total = entry->dds_lost + entry->dds_rejected;
  if (total == 0 || at_end) {
    return;
  }
  if (total != entry->loss_warned_total &&
      (entry->loss_warned_ns == 0 || now - entry->loss_warned_ns >= kLossWarnIntervalNs)) {
    entry->loss_warned_ns = now;
    entry->loss_warned_total = total;
    rnr_log(RNR_LOG_WARN,
            "Recorder %s: samples are being dropped: %llu lost by DDS and %llu rejected by the "
            "full reader so far",
            entry->topic_name, static_cast<unsigned long long>(entry->dds_lost),
            static_cast<unsigned long long>(entry->dds_rejected));
  }
}

void report_dds_losses(const rnr_TopicInfo* entry) {
  const uint64_t total = entry->dds_lost + entry->dds_rejected;
  if (total > 0) {
    rnr_log(RNR_LOG_WARN,
            "Recorder %s: %llu samples were not recorded: %llu lost by DDS, %llu rejected by the "
            "full reader",
            entry->topic_name, static_cast<unsigned long long>(total),
            static_cast<unsigned long long>(entry->dds_lost),
            static_cast<unsigned long long>(entry->dds_rejected));
  }
}

void check_writer_records(rnr_TopicInfo* entry, bool at_end) {
  const uint64_t now = arch_time();
  if (!at_end && now - entry->gaps_checked_ns < kLossCheckIntervalNs) {
    return;
  }
  entry->gaps_checked_ns = now;
  std::vector<rnr_WriterKey> ended;
  std::vector<rnr_TopicReader*> readers;
  {
    std::lock_guard<std::mutex> lock(entry->assignment_mutex);
    ended.swap(entry->departed);
    for (auto& tr : entry->readers) {
      readers.push_back(tr.get());
    }
  }
  const auto finish = [&](decltype(entry->sequences)::iterator w) {
    entry->never_arrived += finish_writer_gaps(w->second, entry->topic_name);
    for (auto it = entry->stored.begin(); it != entry->stored.end();) {
      if (it->second == &w->second) {
        for (rnr_TopicReader* tr : readers) {
          tr->keeps.erase(it->first);
        }
        it = entry->stored.erase(it);
      } else {
        ++it;
      }
    }
    entry->sequences.erase(w);
  };
  entry->last_stored = nullptr;
  entry->last_stored_handle = 0;
  if (at_end) {
    while (!entry->sequences.empty()) {
      finish(entry->sequences.begin());
    }
    return;
  }
  for (const rnr_WriterKey& key : ended) {
    const auto w = entry->sequences.find(key);
    if (w != entry->sequences.end()) {
      finish(w);
    }
  }
  if (!ended.empty() && entry->sequences.empty()) {
    bool writers_left = false;
    {
      std::lock_guard<std::mutex> lock(entry->assignment_mutex);
      writers_left = !entry->assignments.empty() || !entry->announced.empty();
    }
    if (!writers_left) {
      // Every writer of the topic went away: its take buffers and scratch
      // go too, and are made again if a writer comes.
      entry->take_buffers.clear();
      entry->take_size = 16;
      entry->capture_times = {};
      entry->capture_order = {};
      entry->capture_runs = {};
      entry->capture_merged = {};
    }
  }
  for (auto& [key, w] : entry->sequences) {
    check_writer_gaps(w, entry->topic_name, now);
  }
}

uint64_t topic_losses(const rnr_TopicInfo* entry) {
  return std::max(entry->never_arrived, entry->dds_lost + entry->dds_rejected);
}

void capture_samples(rnr_recorder* recorder, rnr_TopicInfo* entry, dds_DataReader* reader,
                     size_t max_samples) {
  std::lock_guard<std::mutex> lock(entry->capture_mutex);
  size_t total = 0;
  bool more = true;
  while (more && total < max_samples) {
    if (max_samples == SIZE_MAX && recorder->stopping.load()) {
      break;
    }
    const size_t room = wait_for_room(recorder, entry, reader);
    total += capture_round(recorder, entry, reader, room, more);
    check_dds_losses(entry, reader, false);
    check_writer_records(entry, false);
    entry->losses_seen.store(topic_losses(entry), std::memory_order_relaxed);
  }
}

namespace {

void dr_on_data_available(dds_DataReader* reader) {
  auto* recorder = static_cast<rnr_recorder*>(dds_Entity_get_context(reader, 0));
  auto* entry = static_cast<rnr_TopicInfo*>(dds_Entity_get_context(reader, 1));
  if (recorder == nullptr || entry == nullptr) {
    return;
  }
  capture_samples(recorder, entry, reader, SIZE_MAX);
}

}  // namespace
}  // namespace rnr::recorder::internal

rnr_TakeBuffers::~rnr_TakeBuffers() {
  release();
}

void rnr_TakeBuffers::release() {
  dds_DataSeq_delete(samples);
  dds_SampleInfoSeq_delete(sample_infos);
  dds_UnsignedLongSeq_delete(sample_sizes);
  samples = nullptr;
  sample_infos = nullptr;
  sample_sizes = nullptr;
}

bool rnr_TakeBuffers::prepare(uint32_t capacity) {
  if (samples != nullptr && sample_infos != nullptr && sample_sizes != nullptr) {
    return true;
  }
  release();
  samples = dds_DataSeq_create(capacity);
  sample_infos = dds_SampleInfoSeq_create(capacity);
  sample_sizes = dds_UnsignedLongSeq_create(capacity);
  return samples != nullptr && sample_infos != nullptr && sample_sizes != nullptr;
}
