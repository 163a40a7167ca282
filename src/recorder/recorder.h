// The recorder behind the `record` command: one participant and subscriber on
// the chosen domain, the requested topics, and the bag they are recorded into.
// Discovery of remote writers creates one raw reader per requested topic; each
// received sample is stored as its serialized bytes with its reception time.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <atomic>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "bag/database.h"
#include "recorder/dds.h"
#include "middleware/dds_api.h"

// Key of a writer map: the 16 bytes that identify a publication, hashed and
// compared with the GUID key functions.
struct rnr_WriterKey {
  dds_guid bytes;
};
struct rnr_WriterKeyHash {
  size_t operator()(const rnr_WriterKey& key) const;
};
struct rnr_WriterKeyEqual {
  bool operator()(const rnr_WriterKey& a, const rnr_WriterKey& b) const;
};
struct rnr_WriterKeyLess {
  bool operator()(const rnr_WriterKey& a, const rnr_WriterKey& b) const;
};
using rnr_WriterMap =
    std::unordered_map<rnr_WriterKey, dds_guid, rnr_WriterKeyHash, rnr_WriterKeyEqual>;

// Take buffers of one topic reader, created on first use and reused for every
// take; only used while the entry's capture_mutex is held.
struct rnr_TakeBuffers {
  dds_DataSeq* samples = nullptr;
  dds_SampleInfoSeq* sample_infos = nullptr;
  dds_UnsignedLongSeq* sample_sizes = nullptr;
  rnr_TakeBuffers() = default;
  rnr_TakeBuffers(const rnr_TakeBuffers&) = delete;
  rnr_TakeBuffers& operator=(const rnr_TakeBuffers&) = delete;
  ~rnr_TakeBuffers();
  // Creates the three sequences unless they exist; false if one is missing.
  bool prepare(uint32_t capacity);
  void release();
};

// A taken sample: its buffer set and index in it.
struct rnr_SampleRef {
  uint32_t set;
  uint32_t index;
};
// Consecutive taken samples of one instance, in the order they arrived.
struct rnr_SampleRun {
  size_t next;
  size_t end;
};

// One raw reader of a topic, with the reliability and durability it was
// created with. Every writer of the topic is assigned to the reader of its
// own QoS; a reader keeps only the samples of the writers assigned to it.
struct rnr_TopicReader {
  dds_DataReader* reader = nullptr;
  dds_ReliabilityQosPolicyKind reliability = dds_RELIABLE_RELIABILITY_QOS;
  dds_DurabilityQosPolicyKind durability = dds_VOLATILE_DURABILITY_QOS;
  // Publication handle of a sample -> whether this reader keeps it. Only
  // settled decisions are kept; used while the entry's capture_mutex is held.
  std::unordered_map<uint64_t, bool> keeps;
};

// One requested topic. The leading members (id, names, metastring, key flag)
// are what the bag's topic update reads.
struct rnr_TopicInfo : rnr_TopicDescription {
  dds_DynamicTypeSupport* type_support = nullptr;
  // The type support the verbose dump uses: set once the type is known, read
  // by captures that may run while discovery sets it.
  std::atomic<dds_DynamicTypeSupport*> dump_type{nullptr};
  // The first reader of the topic (readers.front()), or null while none exists.
  dds_DataReader* reader = nullptr;
  std::unique_ptr<rnr_WriterMap> writer_map;

  // Readers of the topic, one per QoS its writers asked for, and the reader
  // each writer (by GUID) is assigned to. Changed under `assignment_mutex`
  // (readers also under the recorder's mutex); entries never move.
  std::mutex assignment_mutex;
  std::vector<std::unique_ptr<rnr_TopicReader>> readers;
  std::unordered_map<rnr_WriterKey, rnr_TopicReader*, rnr_WriterKeyHash, rnr_WriterKeyEqual>
      assignments;

  // Held from a take to the storing of its samples and the return of the
  // loans: keeps the take buffers to one user and the samples in order.
  std::mutex capture_mutex;
  // Sets of take buffers (1000 samples each), created as a backlog first needs
  // them and reused; one capture takes the whole backlog, set after set.
  std::vector<std::unique_ptr<rnr_TakeBuffers>> take_buffers;
  // Scratch of the capture that restores the order of arrival, reused.
  std::vector<rnr_SampleRef> capture_order;
  std::vector<rnr_SampleRun> capture_runs;
  // The largest sample taken so far: how many samples fit the room left in
  // the store is judged by it.
  size_t largest_sample = 0;
  // What DDS reported dropped, per reader as last read and in total, and
  // when it was last read and reported. Used under capture_mutex.
  std::unordered_map<dds_DataReader*, dds_SampleLossStatus> loss_seen;
  uint64_t dds_lost = 0;
  uint64_t dds_rejected = 0;
  uint64_t loss_checked_ns = 0;
  uint64_t loss_warned_ns = 0;
  uint64_t loss_warned_total = 0;

  rnr_TopicInfo();
  ~rnr_TopicInfo();
  rnr_TopicInfo(const rnr_TopicInfo&) = delete;
  rnr_TopicInfo& operator=(const rnr_TopicInfo&) = delete;
};

// One announced writer, copied out of the built-in reader's loan.
struct rnr_Publication {
  uint8_t writer_guid[16];  // the 16 bytes the sample info's instance handle refers to
  dds_PublicationBuiltinTopicData data;
};

enum rnr_recorder_state : uint8_t {
  RNR_RECORDER_CREATED = 0,
  RNR_RECORDER_RECORDING = 1,
  RNR_RECORDER_STOPPED = 2,
};

struct rnr_recorder {
  uint8_t state = RNR_RECORDER_CREATED;
  dds_DomainParticipant* participant = nullptr;
  dds_Subscriber* subscriber = nullptr;
  std::vector<std::unique_ptr<rnr_TopicInfo>> topic_list;
  rnr_Database* database = nullptr;

  // Guards topic_list, every entry's discovery fields (key flag, metastring,
  // type support, reader, writer map), state and closing. Never held while a
  // reader is deleted or a participant is torn down.
  std::mutex mutex;
  // Held from reading the reception time of a sample until it is handed to the
  // store, so that reception times increase with the rows' order in the bag.
  std::mutex insert_mutex;
  // Set by destroy: discovery callbacks still in flight then do nothing.
  bool closing = false;
  // Set by stop and destroy: captures waiting for room in the store stop
  // waiting.
  std::atomic<bool> stopping{false};
  // Writers announced while topics are still being added (before start) and
  // not requested so far; add_topic completes a pair from them, so a writer
  // discovered a moment before its pair was added is not lost.
  std::vector<rnr_Publication> early_publications;
};

// Creates the recorder on `domain_id`. A null `bag_path` means the generated
// name "dovuve_%Y_%m_%d-%H_%M_%S.sqlite3" in the working directory. The bag is
// always a new file: an existing file of that name is never written to.
rnr_recorder* rnr_recorder_create(int32_t domain_id, const char* bag_path);
bool rnr_recorder_add_topic(rnr_recorder* recorder, const char* topic_name, const char* type_name);
bool rnr_recorder_start_record(rnr_recorder* recorder);
// Stops recording: the samples each reader has received are stored, then the
// readers are deleted.
void rnr_recorder_stop_record(rnr_recorder* recorder);
// Writes what the store still holds. False when samples were lost because
// the bag could not store them (their number is logged).
bool rnr_recorder_save_record(rnr_recorder* recorder);
// Bounds the sample bytes held in memory and not yet written to the bag
// (default RNR_DATABASE_DEFAULT_HELD_BYTES_LIMIT); call before start.
void rnr_recorder_set_held_bytes_limit(rnr_recorder* recorder, size_t bytes);
void rnr_recorder_destroy(rnr_recorder* recorder);
// The first entry of the topic list with these names; the caller holds
// recorder->mutex while it uses the result.
rnr_TopicInfo* rnr_recorder_get_topic_info(rnr_recorder* recorder, const char* topic_name,
                                           const char* type_name);
