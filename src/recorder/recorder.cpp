#include "recorder/recorder.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <queue>
#include <string>
#include <utility>

#include "bag/database_create_new.h"
#include "recorder/dump.h"
#include "log/logger.h"

namespace {

constexpr size_t kBulkInsertSize = 256;
constexpr int32_t kMaxCaptureSamples = 1000;
constexpr int32_t kMaxPublications = 8;
constexpr size_t kMaxTakesPerCapture = 64;
constexpr size_t kNameSize = 256;
// The most samples a topic reader holds before the recorder takes them. When
// the store has no room, the recorder stops taking and the full reader makes
// reliable writers wait; this bounds what DDS holds for the recorder.
constexpr int32_t kReaderMaxSamples = 8192;
// How long one wait for room in the store lasts before losses are checked.
constexpr uint64_t kRoomWaitNs = 50000000u;
// DDS loss counts are read at most once a second and reported at most once
// every 10 s per topic while samples are being dropped.
constexpr uint64_t kLossCheckIntervalNs = 1000000000u;
constexpr uint64_t kLossWarnIntervalNs = 10000000000u;

// The 16 values the GUID text form prints: 12 prefix bytes, then the entity id
// from its most to its least significant byte.
using GuidText = std::array<unsigned, 16>;

GuidText guid_text(const uint8_t* prefix, uint32_t entity_id) {
  GuidText out{};
  for (size_t i = 0; i < 12; ++i) {
    out[i] = prefix[i];
  }
  out[12] = (entity_id >> 24) & 0xffu;
  out[13] = (entity_id >> 16) & 0xffu;
  out[14] = (entity_id >> 8) & 0xffu;
  out[15] = entity_id & 0xffu;
  return out;
}

#define RNR_GUID_FMT "%02x%02x%02x%02x %02x%02x%02x%02x %02x%02x%02x%02x %02x%02x%02x%02x"
#define RNR_PREFIX_FMT "%02x%02x%02x%02x %02x%02x%02x%02x %02x%02x%02x%02x"
#define RNR_GUID_ARGS(g)                                                                   \
  (g)[0], (g)[1], (g)[2], (g)[3], (g)[4], (g)[5], (g)[6], (g)[7], (g)[8], (g)[9], (g)[10], \
      (g)[11], (g)[12], (g)[13], (g)[14], (g)[15]
#define RNR_PREFIX_ARGS(p)                                                                         \
  static_cast<unsigned>((p)[0]), static_cast<unsigned>((p)[1]), static_cast<unsigned>((p)[2]),     \
      static_cast<unsigned>((p)[3]), static_cast<unsigned>((p)[4]), static_cast<unsigned>((p)[5]), \
      static_cast<unsigned>((p)[6]), static_cast<unsigned>((p)[7]), static_cast<unsigned>((p)[8]), \
      static_cast<unsigned>((p)[9]), static_cast<unsigned>((p)[10]),                               \
      static_cast<unsigned>((p)[11])

// Bounded copy that always leaves a terminated name.
void copy_name(char (&dst)[kNameSize], const char* src) {
  size_t n = strnlen(src, kNameSize - 1);
  std::memcpy(dst, src, n);
  dst[n] = '\0';
}

// The reader takes the writer's durability, capped at transient-local: the
// strongest kind a reader can ask of a writer without a durability service.
dds_DurabilityQosPolicyKind reader_durability_for(dds_DurabilityQosPolicyKind writer) {
  return writer == dds_VOLATILE_DURABILITY_QOS ? dds_VOLATILE_DURABILITY_QOS
                                               : dds_TRANSIENT_LOCAL_DURABILITY_QOS;
}

// The reader QoS a writer is recorded with: its own reliability, and its
// durability capped at transient-local.
struct ReaderQos {
  dds_ReliabilityQosPolicyKind reliability;
  dds_DurabilityQosPolicyKind durability;
};

ReaderQos reader_qos_for(const dds_PublicationBuiltinTopicData& writer) {
  return {writer.reliability.kind == dds_RELIABLE_RELIABILITY_QOS ? dds_RELIABLE_RELIABILITY_QOS
                                                                  : dds_BEST_EFFORT_RELIABILITY_QOS,
          reader_durability_for(writer.durability.kind)};
}

// The topic's reader with exactly this QoS, or null. Called with the entry's
// assignment_mutex held.
rnr_TopicReader* reader_with_qos(rnr_TopicInfo* entry, ReaderQos qos) {
  for (auto& r : entry->readers) {
    if (r->reliability == qos.reliability && r->durability == qos.durability) {
      return r.get();
    }
  }
  return nullptr;
}

// The reader the writer is assigned to; a writer not assigned yet goes to the
// reader of its QoS when one exists. Null when the writer still waits for its
// reader. Called with the entry's assignment_mutex held.
rnr_TopicReader* assign_writer(rnr_TopicInfo* entry, const uint8_t (&guid)[16],
                               const dds_PublicationBuiltinTopicData& writer) {
  rnr_WriterKey key{};
  std::memcpy(&key.bytes, guid, sizeof key.bytes);
  const auto found = entry->assignments.find(key);
  if (found != entry->assignments.end()) {
    return found->second;
  }
  rnr_TopicReader* reader = reader_with_qos(entry, reader_qos_for(writer));
  if (reader != nullptr) {
    entry->assignments.emplace(key, reader);
  }
  return reader;
}

// Whether `tr` keeps the samples whose info names this publication handle.
// A decision is remembered once it cannot change: the writer is assigned.
// Samples of a writer that is not assigned yet are dropped (its own reader,
// once created, receives what the writer still delivers); when the writer
// cannot be identified at all, a topic's only reader keeps them.
bool reader_keeps(rnr_TopicInfo* entry, rnr_TopicReader* tr, dds_DataReader* reader,
                  const dds_InstanceHandle_t& publication_handle) {
  uint64_t handle = 0;
  std::memcpy(&handle, publication_handle.value, sizeof handle);
  const auto cached = tr->keeps.find(handle);
  if (cached != tr->keeps.end()) {
    return cached->second;
  }
  uint8_t guid[16] = {};
  dds_PublicationBuiltinTopicData writer{};
  const bool known = dds_DataReader_get_matched_publication(reader, &publication_handle, guid,
                                                            &writer) == dds_RETCODE_OK;
  std::lock_guard<std::mutex> lock(entry->assignment_mutex);
  if (!known) {
    return entry->readers.size() == 1;
  }
  const rnr_TopicReader* assigned = assign_writer(entry, guid, writer);
  if (assigned == nullptr) {
    return false;
  }
  const bool keep = assigned == tr;
  tr->keeps.emplace(handle, keep);
  return keep;
}

void dr_on_data_available(dds_DataReader* reader);

const dds_DataReaderListener kTopicReaderListener = {
    nullptr, nullptr, nullptr, nullptr, dr_on_data_available, nullptr, nullptr};

void builtin_pub_dr_on_data_available(dds_DataReader* reader);

const dds_DataReaderListener kBuiltinReaderListener = {
    nullptr, nullptr, nullptr, nullptr, builtin_pub_dr_on_data_available, nullptr, nullptr};

uint64_t source_time_ns(const dds_SampleInfo& info) {
  return static_cast<uint64_t>(static_cast<uint32_t>(info.source_timestamp.sec)) * 1000000000u +
         info.source_timestamp.nanosec;
}

// A take hands samples over instance by instance, not in the order they
// arrived. Each instance's samples are in order, so merging the instances'
// runs by source time restores the arrival order of every writer's samples.
void order_by_arrival(rnr_TopicInfo* entry, size_t sets_used) {
  auto& order = entry->capture_order;
  auto& runs = entry->capture_runs;
  order.clear();
  runs.clear();
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
      runs.back().end = order.size();
    }
  }
  if (runs.size() <= 1) {
    return;  // already in order
  }
  auto time_of = [entry, &order](size_t k) {
    const rnr_SampleRef& ref = order[k];
    return source_time_ns(
        *dds_SampleInfoSeq_get(entry->take_buffers[ref.set]->sample_infos, ref.index));
  };
  // Min-heap of (time of the run's next sample, run); ties go to the earlier run.
  using Head = std::pair<uint64_t, size_t>;
  std::priority_queue<Head, std::vector<Head>, std::greater<Head>> heads;
  for (size_t r = 0; r < runs.size(); ++r) {
    heads.emplace(time_of(runs[r].next), r);
  }
  std::vector<rnr_SampleRef> merged;
  merged.reserve(order.size());
  while (!heads.empty()) {
    const size_t r = heads.top().second;
    heads.pop();
    merged.push_back(order[runs[r].next]);
    if (++runs[r].next < runs[r].end) {
      heads.emplace(time_of(runs[r].next), r);
    }
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

// Stores one taken sample; prints it first at level verbose.
void store_sample(rnr_recorder* recorder, rnr_TopicInfo* entry, const dds_SampleInfo& info,
                  const void* data, uint32_t size) {
  if (logger_level <= RNR_LOG_DEBUG) {
    rnr_log(RNR_LOG_DEBUG, "Recorder Recv Data{topic: %s, source_timestamp: %d.%03d}",
            entry->topic_name, static_cast<int>(info.source_timestamp.sec),
            static_cast<int>(info.source_timestamp.nanosec / 1000000u));
    dds_DynamicTypeSupport* type = entry->dump_type.load();
    if (logger_level <= RNR_LOG_VERBOSE && type != nullptr) {
      void* sample = dds_TypeSupport_deserialize(type, data, size);
      if (sample != nullptr) {
        dds_dump_data(type, sample);
        // One write per dump, so that log lines from other threads do not
        // land inside a dumped line.
        std::fflush(stdout);
        dds_TypeSupport_free(type, sample);
      }
    } else if (logger_level <= RNR_LOG_VERBOSE) {
      dump_hex(data, size);
    }
  }
  std::lock_guard<std::mutex> lock(recorder->insert_mutex);
  rnr_DataRow row{};
  row.timestamp = arch_time();
  row.topic_id = static_cast<uint32_t>(entry->id);
  row.serialized_data = data;
  row.serialized_data_size = size;
  rnr_Database_insert_data(recorder->database, &row);
}

// Whether `reader`, one of the entry's readers, was created reliable.
bool reader_is_reliable(rnr_TopicInfo* entry, const dds_DataReader* reader) {
  std::lock_guard<std::mutex> assignment_lock(entry->assignment_mutex);
  for (const auto& tr : entry->readers) {
    if (tr->reader == reader) {
      return tr->reliability == dds_RELIABLE_RELIABILITY_QOS;
    }
  }
  return true;
}

// Counts, for one topic, what DDS dropped before the recorder could take
// it: samples lost on the way and samples a full reader rejected. While it
// happens one line at most every 10 s; `at_end` only counts (the stop
// reports the totals, report_dds_losses).
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

// One line for a topic of which DDS dropped samples during the recording.
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
    int32_t asked = kMaxCaptureSamples;
    if (room != SIZE_MAX) {
      const size_t left = room > taken_bytes ? room - taken_bytes : 0;
      const size_t fit = entry->largest_sample == 0 ? 1 : left / entry->largest_sample;
      if (fit == 0 && used > 0) {
        more = true;
        break;
      }
      asked =
          static_cast<int32_t>(std::clamp<size_t>(fit, 1, static_cast<size_t>(kMaxCaptureSamples)));
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
  order_by_arrival(entry, used);
  for (const rnr_SampleRef& ref : entry->capture_order) {
    const rnr_TakeBuffers& b = *sets[ref.set];
    const dds_SampleInfo* info = dds_SampleInfoSeq_get(b.sample_infos, ref.index);
    if (info == nullptr || !info->valid_data) {
      continue;
    }
    // Each writer's samples are stored by the one reader it is assigned to.
    if (tr == nullptr || !reader_keeps(entry, tr, reader, info->publication_handle)) {
      continue;
    }
    const void* data = dds_DataSeq_get(b.samples, ref.index);
    if (data == nullptr) {
      continue;
    }
    store_sample(recorder, entry, *info, data, dds_UnsignedLongSeq_get(b.sample_sizes, ref.index));
  }
  for (size_t s = 0; s < used; ++s) {
    dds_DataReader_raw_return_loan(reader, sets[s]->samples, sets[s]->sample_infos,
                                   sets[s]->sample_sizes);
  }
  return taken;
}

// Takes and stores what the reader holds, round after round while it has
// more, waiting for room in the store before each round, so that the
// samples held in memory stay within the store's bound. Ends when the reader
// is empty, when the recording stops (unless this is the stop's own drain),
// or after `max_samples` samples.
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
  }
}

void dr_on_data_available(dds_DataReader* reader) {
  auto* recorder = static_cast<rnr_recorder*>(dds_Entity_get_context(reader, 0));
  auto* entry = static_cast<rnr_TopicInfo*>(dds_Entity_get_context(reader, 1));
  if (recorder == nullptr || entry == nullptr) {
    return;
  }
  capture_samples(recorder, entry, reader, SIZE_MAX);
}

// Creates a raw reader of `entry` with the given reliability and durability
// and KEEP_ALL history, so that it loses nothing its writers deliver, and adds
// it to the entry's readers. Called with recorder->mutex held.
dds_DataReader* create_datareader(rnr_recorder* recorder, rnr_TopicInfo* entry, bool with_key,
                                  ReaderQos qos) {
  dds_TypeSupport* raw =
      with_key ? dds_TypeSupport_raw_create_w_key() : dds_TypeSupport_raw_create();
  dds_TypeSupport_register_type(raw, recorder->participant, entry->type_name);
  dds_TypeSupport_delete(raw);

  dds_TopicQos topic_qos{};
  dds_DomainParticipant_get_default_topic_qos(recorder->participant, &topic_qos);
  dds_Topic* topic = dds_DomainParticipant_create_topic(recorder->participant, entry->topic_name,
                                                        entry->type_name, &topic_qos, nullptr, 0);
  dds_TopicQos_finalize(&topic_qos);

  dds_DataReaderQos reader_qos{};
  dds_Subscriber_get_default_datareader_qos(recorder->subscriber, &reader_qos);
  reader_qos.reliability.kind = qos.reliability;
  reader_qos.durability.kind = qos.durability;
  reader_qos.history.kind = dds_KEEP_ALL_HISTORY_QOS;
  reader_qos.resource_limits.max_samples = kReaderMaxSamples;
  dds_DataReader* reader =
      dds_Subscriber_create_datareader(recorder->subscriber, topic, &reader_qos, nullptr, 0);
  dds_DataReaderQos_finalize(&reader_qos);
  if (reader == nullptr) {
    return nullptr;
  }
  auto tr = std::make_unique<rnr_TopicReader>();
  tr->reader = reader;
  tr->reliability = qos.reliability;
  tr->durability = qos.durability;
  {
    std::lock_guard<std::mutex> assignment_lock(entry->assignment_mutex);
    entry->readers.push_back(std::move(tr));
    entry->reader = entry->readers.front()->reader;
  }

  dds_Entity_set_context(reader, 0, recorder);
  dds_Entity_set_context(reader, 1, entry);
  if (recorder->state == RNR_RECORDER_RECORDING) {
    dds_DataReader_set_listener(reader, &kTopicReaderListener, dds_DATA_AVAILABLE_STATUS);
    dds_DataReader_enable(reader);
  }
  rnr_log(RNR_LOG_INFO, "Recorder Create DataReader{topic: %s, type: %s}", entry->topic_name,
          entry->type_name);
  return reader;
}

// Asks the participant for the type the writer's participant delivered. Called
// with recorder->mutex held by `lock`, which is given up meanwhile (the lookup
// is a bounded but blocking wait). Null when no type came.
dds_DynamicTypeSupport* lookup_type(rnr_recorder* recorder, std::unique_lock<std::mutex>& lock,
                                    const char* type_name) {
  dds_DynamicTypeSupport* found = nullptr;
  lock.unlock();
  dds_DataSeq* types =
      dds_DomainParticipant_lookup_delivered_types(recorder->participant, type_name);
  if (types != nullptr) {
    found = static_cast<dds_DynamicTypeSupport*>(dds_DataSeq_remove(types, 0));
    while (dds_DataSeq_length(types) != 0) {
      dds_DynamicTypeSupport_delete_type_support(
          static_cast<dds_DynamicTypeSupport*>(dds_DataSeq_remove(types, 0)));
    }
    dds_DataSeq_delete(types);
  }
  lock.lock();
  return found;
}

// Stores the topic's metastring and key flag in the bag. False (logged) when
// the bag's row cannot be updated.
bool store_topic_type(rnr_recorder* recorder, rnr_TopicInfo* entry) {
  if (!rnr_Database_update_topics(recorder->database, entry)) {
    rnr_log(RNR_LOG_ERROR, "Recorder %s: Cannot update database", entry->topic_name);
    return false;
  }
  return true;
}

// The work on one announced writer of a requested topic. Called with
// recorder->mutex held by `lock`; the lock is given up while the writer's type
// is looked up, so that the main thread and other discovery work are not held
// up meanwhile. Every writer is catalogued and assigned to the topic's reader
// of its own QoS, which is created when the topic has none yet. A writer
// whose participant delivers no type is recorded all the same: the topic's
// metastring stays empty until a writer that does deliver it comes.
void process_publication(rnr_recorder* recorder, std::unique_lock<std::mutex>& lock,
                         rnr_TopicInfo* entry, const rnr_Publication& pub) {
  uint32_t writer_entity_id = 0;  // K: the entity id the instance handle carries
  std::memcpy(&writer_entity_id, pub.writer_guid + 12, sizeof writer_entity_id);
  const uint32_t kind = writer_entity_id & 0x0fu;
  const bool writer_keyed = kind == 0x02u || kind == 0x07u;
  // The topic's key flag follows its writers until its first reader exists;
  // that reader's type support is keyed or not by it from then on.
  if (entry->readers.empty()) {
    entry->is_with_key = writer_keyed;
  }

  if (logger_level <= RNR_LOG_DEBUG) {
    const GuidText w = guid_text(pub.writer_guid, writer_entity_id);
    rnr_log(RNR_LOG_DEBUG,
            "Recorder Recv SEDP(w) of DataWriter{is_with_key: %s, topic: %s, guid: " RNR_GUID_FMT
            "}",
            writer_keyed ? "true" : "false", entry->topic_name, RNR_GUID_ARGS(w));
  }

  if (!entry->writer_map) {
    entry->writer_map = std::make_unique<rnr_WriterMap>();
  }
  rnr_WriterKey map_key{};
  static_assert(sizeof map_key.bytes == 16, "a writer key is 16 bytes");
  std::memcpy(&map_key.bytes, &pub.data, sizeof map_key.bytes);
  bool new_writer = false;
  if (entry->writer_map->find(map_key) == entry->writer_map->end()) {
    new_writer = true;
    const uint32_t publication_entity_id = pub.data.key.value[0];
    const bool is_writer = ((writer_entity_id >> 1) & 0x7u) == 1u;
    const GuidText g = guid_text(pub.data.participant_key, publication_entity_id);
    rnr_log(RNR_LOG_INFO, "Recorder Create Entity info of %s{guid: " RNR_GUID_FMT "}",
            is_writer ? "DataWriter" : "DataReader", RNR_GUID_ARGS(g));
    dds_guid guid{};
    std::memcpy(guid.prefix, pub.writer_guid, sizeof guid.prefix);
    guid.entity_id = publication_entity_id;
    rnr_Database_insert_entity_info(recorder->database, &guid);
    entry->writer_map->emplace(map_key, guid);
  }

  // The type: asked of each new writer until one delivers it, and of every
  // announcement while the topic has no reader yet.
  if (entry->type_support == nullptr && (new_writer || entry->readers.empty())) {
    dds_DynamicTypeSupport* found = lookup_type(recorder, lock, pub.data.type_name);
    if (recorder->closing || entry->type_support != nullptr) {
      if (found != nullptr) {
        dds_DynamicTypeSupport_delete_type_support(found);
      }
      if (recorder->closing) {
        return;
      }
    } else {
      entry->type_support = found;
    }
    if (entry->type_support == nullptr) {
      rnr_log(RNR_LOG_WARN,
              "Recorder Cannot get typesupport of type(%s) from participant(" RNR_PREFIX_FMT
              "). Please enable QUORVIN_USE_VENDOR_SPECIFIC_PARAMETER on the publisher",
              pub.data.type_name, RNR_PREFIX_ARGS(pub.data.participant_key));
    } else if (entry->metastring != nullptr && entry->metastring[0] == '\0') {
      // Recorded so far without its type: the type arrived with this writer.
      char* metastring = dds_TypeSupport_extract_metastring(entry->type_support);
      if (metastring != nullptr) {
        std::free(entry->metastring);
        entry->metastring = metastring;
        store_topic_type(recorder, entry);
      }
    }
    if (entry->type_support != nullptr) {
      entry->dump_type.store(entry->type_support);
    }
  }

  if (entry->metastring == nullptr) {
    if (entry->type_support != nullptr) {
      entry->metastring = dds_TypeSupport_extract_metastring(entry->type_support);
      if (entry->metastring == nullptr) {
        rnr_log(RNR_LOG_ERROR, "Recorder %s: Cannot get metastring", entry->topic_name);
        return;
      }
    } else {
      entry->metastring = strdup("");
      if (entry->metastring == nullptr) {
        return;
      }
    }
    if (!store_topic_type(recorder, entry)) {
      return;
    }
  }

  if (recorder->state == RNR_RECORDER_STOPPED) {
    return;  // nothing is recorded any more: no new readers
  }
  {
    std::lock_guard<std::mutex> assignment_lock(entry->assignment_mutex);
    if (assign_writer(entry, pub.writer_guid, pub.data) != nullptr) {
      return;
    }
  }
  if (create_datareader(recorder, entry, entry->is_with_key, reader_qos_for(pub.data)) == nullptr) {
    rnr_log(RNR_LOG_ERROR, "Recorder %s: Cannot create datareader", entry->topic_name);
    return;
  }
  std::lock_guard<std::mutex> assignment_lock(entry->assignment_mutex);
  assign_writer(entry, pub.writer_guid, pub.data);
}

void builtin_pub_dr_on_data_available(dds_DataReader* reader) {
  dds_DataSeq* data = dds_DataSeq_create(kMaxPublications);
  dds_SampleInfoSeq* infos = dds_SampleInfoSeq_create(kMaxPublications);
  if (data != nullptr && infos != nullptr) {
    dds_ReturnCode_t rc =
        dds_DataReader_take(reader, data, infos, kMaxPublications, dds_ANY_SAMPLE_STATE,
                            dds_ANY_VIEW_STATE, dds_ANY_INSTANCE_STATE);
    auto* recorder = static_cast<rnr_recorder*>(dds_Entity_get_context(reader, 0));
    if (rc == dds_RETCODE_OK && recorder != nullptr) {
      std::unique_lock<std::mutex> lock(recorder->mutex);
      for (uint32_t i = 0; i < dds_DataSeq_length(data) && !recorder->closing; ++i) {
        const dds_SampleInfo* info = dds_SampleInfoSeq_get(infos, i);
        const auto* sample =
            static_cast<const dds_PublicationBuiltinTopicData*>(dds_DataSeq_get(data, i));
        if (info == nullptr || sample == nullptr || !info->valid_data) {
          continue;
        }
        rnr_Publication pub{};
        std::memcpy(pub.writer_guid, info->instance_handle.value, sizeof pub.writer_guid);
        pub.data = *sample;
        pub.data.topic_name[kNameSize - 1] = '\0';
        pub.data.type_name[kNameSize - 1] = '\0';
        rnr_TopicInfo* entry =
            rnr_recorder_get_topic_info(recorder, pub.data.topic_name, pub.data.type_name);
        if (entry != nullptr) {
          process_publication(recorder, lock, entry, pub);
        } else if (recorder->state == RNR_RECORDER_CREATED) {
          // Topics are still being added: keep the writer for add_topic.
          recorder->early_publications.push_back(pub);
        }
      }
    }
    dds_DataReader_return_loan(reader, data, infos);
  }
  dds_DataSeq_delete(data);
  dds_SampleInfoSeq_delete(infos);
}

// Deletes the readers and entities and releases everything the recorder owns.
// Discovery is shut out first (closing, checked under the lock that every
// discovery step holds), and the readers, whose callbacks use their entries,
// are deleted before the entries are released.
void release_recorder(rnr_recorder* recorder) {
  std::vector<std::unique_ptr<rnr_TopicInfo>> entries;
  std::vector<dds_DataReader*> readers;
  recorder->stopping.store(true);
  {
    std::lock_guard<std::mutex> lock(recorder->mutex);
    recorder->closing = true;
    entries = std::move(recorder->topic_list);
    recorder->topic_list.clear();
    recorder->early_publications.clear();
    for (auto& entry : entries) {
      std::lock_guard<std::mutex> assignment_lock(entry->assignment_mutex);
      for (auto& tr : entry->readers) {
        readers.push_back(tr->reader);
      }
    }
  }
  for (dds_DataReader* reader : readers) {
    dds_Subscriber_delete_datareader(recorder->subscriber, reader);
  }
  entries.clear();  // type supports, metastrings, writer maps, take buffers
  if (recorder->participant != nullptr) {
    if (recorder->subscriber != nullptr) {
      dds_DomainParticipant_delete_subscriber(recorder->participant, recorder->subscriber);
      recorder->subscriber = nullptr;
    }
    // Waits for a discovery callback still running; the recorder outlives it.
    dds_DomainParticipantFactory_delete_participant(dds_DomainParticipantFactory_get_instance(),
                                                    recorder->participant);
    recorder->participant = nullptr;
  }
  rnr_Database_destroy(recorder->database);
  recorder->database = nullptr;
}

// Creation failed: release what exists, and remove the bag this recorder had
// just created (it is new, empty, and would only be mistaken for a recording).
rnr_recorder* fail_create(rnr_recorder* recorder) {
  std::string bag;
  if (recorder->database != nullptr) {
    bag = recorder->database->path;
  }
  release_recorder(recorder);
  if (!bag.empty()) {
    unlink(bag.c_str());
  }
  delete recorder;
  return nullptr;
}

}  // namespace

size_t rnr_WriterKeyHash::operator()(const rnr_WriterKey& key) const {
  return static_cast<size_t>(dds_guid_hash(&key.bytes));
}

bool rnr_WriterKeyEqual::operator()(const rnr_WriterKey& a, const rnr_WriterKey& b) const {
  return dds_guid_equals(&a.bytes, &b.bytes);
}

bool rnr_WriterKeyLess::operator()(const rnr_WriterKey& a, const rnr_WriterKey& b) const {
  return dds_guid_compare(&a.bytes, &b.bytes) < 0;
}

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

rnr_TopicInfo::rnr_TopicInfo() : rnr_TopicDescription{} {}

rnr_TopicInfo::~rnr_TopicInfo() {
  if (type_support != nullptr) {
    dds_DynamicTypeSupport_delete_type_support(type_support);
  }
  std::free(metastring);
}

rnr_recorder* rnr_recorder_create(int32_t domain_id, const char* bag_path) {
  auto* recorder = new rnr_recorder();

  dds_DomainParticipantFactory* factory = dds_DomainParticipantFactory_get_instance();
  dds_DomainParticipantFactoryQos factory_qos{};
  if (dds_DomainParticipantFactory_get_qos(factory, &factory_qos) != dds_RETCODE_OK) {
    rnr_log(RNR_LOG_ERROR, "Recorder Cannot get DomainParticipantFactoryQos");
    return fail_create(recorder);
  }
  factory_qos.entity_factory.autoenable_created_entities = false;
  if (dds_DomainParticipantFactory_set_qos(factory, &factory_qos) != dds_RETCODE_OK) {
    rnr_log(RNR_LOG_ERROR, "Recorder Cannot set DomainParticipantFactoryQos");
    return fail_create(recorder);
  }

  dds_DomainParticipantQos participant_qos{};
  dds_DomainParticipantFactory_get_default_participant_qos(factory, &participant_qos);
  recorder->participant = dds_DomainParticipantFactory_create_participant(
      factory, domain_id, &participant_qos, nullptr, 0);
  dds_DomainParticipantQos_finalize(&participant_qos);

  dds_SubscriberQos subscriber_qos{};
  dds_DomainParticipant_get_default_subscriber_qos(recorder->participant, &subscriber_qos);
  subscriber_qos.entity_factory.autoenable_created_entities = false;
  recorder->subscriber =
      dds_DomainParticipant_create_subscriber(recorder->participant, &subscriber_qos, nullptr, 0);
  dds_SubscriberQos_finalize(&subscriber_qos);

  char generated[64] = {0};
  if (bag_path == nullptr) {
    time_t now = time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    strftime(generated, sizeof generated, "dovuve_%Y_%m_%d-%H_%M_%S.sqlite3", &local);
    bag_path = generated;
  }
  recorder->database = rnr_Database_create_new(bag_path);
  if (recorder->database == nullptr) {
    rnr_log(RNR_LOG_ERROR, "Recorder Cannot create database");
    return fail_create(recorder);
  }
  if (!rnr_Database_start_bulk_insert_data(recorder->database, kBulkInsertSize)) {
    rnr_log(RNR_LOG_ERROR, "Recorder Cannot start bulk insert");
    return fail_create(recorder);
  }

  dds_Subscriber* builtin_subscriber =
      dds_DomainParticipant_get_builtin_subscriber(recorder->participant);
  dds_DataReader* builtin_reader = dds_Subscriber_get_contained_datareader_by_name(
      builtin_subscriber, "dds_BuiltinPublications");
  dds_Entity_set_context(builtin_reader, 0, recorder);
  if (dds_DataReader_set_listener(builtin_reader, &kBuiltinReaderListener,
                                  dds_DATA_AVAILABLE_STATUS) != dds_RETCODE_OK) {
    rnr_log(RNR_LOG_ERROR, "Recorder Cannot set listener to builtin datareader");
    return fail_create(recorder);
  }
  if (dds_DomainParticipant_enable(recorder->participant) != dds_RETCODE_OK) {
    rnr_log(RNR_LOG_ERROR, "Recorder Cannot enable DomainParticipant");
    return fail_create(recorder);
  }
  if (dds_Subscriber_enable(recorder->subscriber) != dds_RETCODE_OK) {
    rnr_log(RNR_LOG_ERROR, "Recorder Cannot enable Subscriber");
    return fail_create(recorder);
  }
  return recorder;
}

bool rnr_recorder_add_topic(rnr_recorder* recorder, const char* topic_name, const char* type_name) {
  if (recorder == nullptr || topic_name == nullptr || type_name == nullptr) {
    return false;
  }
  // A name must fit its 256-byte field with its terminator; a longer one could
  // never match a discovered topic, so it is refused rather than cut.
  if (strnlen(topic_name, kNameSize) >= kNameSize || strnlen(type_name, kNameSize) >= kNameSize) {
    rnr_log(RNR_LOG_ERROR, "Recorder %s: Cannot insert topic into database", topic_name);
    return false;
  }
  std::unique_lock<std::mutex> lock(recorder->mutex);
  const int32_t id = rnr_Database_insert_topic(recorder->database, topic_name, type_name);
  if (id == -1) {
    rnr_log(RNR_LOG_ERROR, "Recorder %s: Cannot insert topic into database", topic_name);
    return false;
  }
  auto entry = std::make_unique<rnr_TopicInfo>();
  entry->id = id;
  copy_name(entry->topic_name, topic_name);
  copy_name(entry->type_name, type_name);
  rnr_TopicInfo* added = entry.get();
  recorder->topic_list.push_back(std::move(entry));
  rnr_log(RNR_LOG_INFO, "Recorder Add Topic{topic: %s, type: %s}", topic_name, type_name);

  // Writers of this pair announced before it was added. Taken out of the list
  // first: it may grow while a lookup runs without the lock.
  std::vector<rnr_Publication> matching;
  auto& early = recorder->early_publications;
  for (auto it = early.begin(); it != early.end();) {
    if (strncmp(it->data.topic_name, added->topic_name, kNameSize) == 0 &&
        strncmp(it->data.type_name, added->type_name, kNameSize) == 0) {
      matching.push_back(*it);
      it = early.erase(it);
    } else {
      ++it;
    }
  }
  for (const rnr_Publication& pub : matching) {
    if (recorder->closing) {
      break;
    }
    process_publication(recorder, lock, added, pub);
  }
  return true;
}

bool rnr_recorder_start_record(rnr_recorder* recorder) {
  if (recorder == nullptr) {
    return true;
  }
  std::lock_guard<std::mutex> lock(recorder->mutex);
  for (auto& entry : recorder->topic_list) {
    for (auto& tr : entry->readers) {
      dds_DataReader_set_listener(tr->reader, &kTopicReaderListener, dds_DATA_AVAILABLE_STATUS);
      dds_DataReader_enable(tr->reader);
    }
  }
  recorder->state = RNR_RECORDER_RECORDING;
  recorder->early_publications.clear();
  return true;
}

void rnr_recorder_stop_record(rnr_recorder* recorder) {
  if (recorder == nullptr) {
    return;
  }
  std::vector<std::pair<rnr_TopicInfo*, dds_DataReader*>> readers;
  bool was_recording = false;
  // Captures waiting for room in the store give up their wait.
  recorder->stopping.store(true);
  {
    std::lock_guard<std::mutex> lock(recorder->mutex);
    was_recording = recorder->state == RNR_RECORDER_RECORDING;
    for (auto& entry : recorder->topic_list) {
      for (auto& tr : entry->readers) {
        readers.emplace_back(entry.get(), tr->reader);
      }
    }
    // From now on discovery creates no reader, so the list above is complete.
    recorder->state = RNR_RECORDER_STOPPED;
  }
  // Entries live until destroy, so they may be used without the lock here.
  std::vector<rnr_TopicInfo*> stopped;
  for (auto& [entry, reader] : readers) {
    if (was_recording) {
      // Store what the reader holds before it goes; a writer that keeps
      // sending cannot hold the stop up beyond one reader's worth.
      capture_samples(recorder, entry, reader, kReaderMaxSamples);
      std::lock_guard<std::mutex> lock(entry->capture_mutex);
      check_dds_losses(entry, reader, true);
      if (std::find(stopped.begin(), stopped.end(), entry) == stopped.end()) {
        stopped.push_back(entry);
      }
    }
    dds_Subscriber_delete_datareader(recorder->subscriber, reader);
  }
  for (const rnr_TopicInfo* entry : stopped) {
    report_dds_losses(entry);
  }
  std::lock_guard<std::mutex> lock(recorder->mutex);
  for (auto& entry : recorder->topic_list) {
    std::lock_guard<std::mutex> assignment_lock(entry->assignment_mutex);
    entry->assignments.clear();
    entry->readers.clear();
    entry->reader = nullptr;
  }
}

bool rnr_recorder_save_record(rnr_recorder* recorder) {
  if (recorder == nullptr || recorder->database == nullptr) {
    return true;
  }
  rnr_log(RNR_LOG_INFO, "Recorder Save record data into database: %s", recorder->database->path);
  if (recorder->database->bulk_insert_enabled) {
    rnr_Database_end_bulk_insert_data(recorder->database);
  }
  const uint64_t lost = rnr_Database_bulk_insert_stats(recorder->database).lost_samples;
  if (lost > 0) {
    rnr_log(RNR_LOG_ERROR, "Recorder Lost %llu samples: the bag %s could not store them",
            static_cast<unsigned long long>(lost), recorder->database->path);
    return false;
  }
  return true;
}

void rnr_recorder_set_held_bytes_limit(rnr_recorder* recorder, size_t bytes) {
  if (recorder != nullptr) {
    rnr_Database_set_held_bytes_limit(recorder->database, bytes);
  }
}

void rnr_recorder_destroy(rnr_recorder* recorder) {
  if (recorder == nullptr) {
    return;
  }
  release_recorder(recorder);
  delete recorder;
}

rnr_TopicInfo* rnr_recorder_get_topic_info(rnr_recorder* recorder, const char* topic_name,
                                           const char* type_name) {
  if (recorder == nullptr || topic_name == nullptr || type_name == nullptr) {
    return nullptr;
  }
  for (auto& entry : recorder->topic_list) {
    if (strncmp(entry->topic_name, topic_name, kNameSize) == 0 &&
        strncmp(entry->type_name, type_name, kNameSize) == 0) {
      return entry.get();
    }
  }
  return nullptr;
}
