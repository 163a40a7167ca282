// What only the recorder uses: its per-topic entries with their readers and
// take buffers, the announced writers, the recorder's state, and the steps
// that capture.cpp (taking and storing samples), discovery.cpp (announced
// writers, their readers) and recorder.cpp (create, add, start, stop, save,
// destroy) call of each other.
#pragma once

#include <atomic>
#include <condition_variable>
#include <map>
#include <string>
#include <thread>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "bag/database.h"
#include "bag/writer_qos.h"
#include "middleware/dds_api.h"
#include "recorder/arrival_order.h"
#include "recorder/long_run_internal.h"
#include "types/dds_guid.h"
#include "recorder/recorder.h"
#include "recorder/sequence_gaps.h"
#include "recorder/topic_patterns.h"

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

// The policies a reader must share with a writer to match it: a topic has
// one reader per distinct class among its writers.
struct rnr_ReaderClass {
  dds_ReliabilityQosPolicyKind reliability = dds_RELIABLE_RELIABILITY_QOS;
  dds_DurabilityQosPolicyKind durability = dds_VOLATILE_DURABILITY_QOS;
  rnr::qos::Ownership ownership = rnr::qos::Ownership::shared;
  std::vector<std::string> partitions;  // asked for; none: the default partition
  bool operator==(const rnr_ReaderClass&) const = default;
};

// One raw reader of a topic, with the class it was created with, under the
// subscriber of its partitions. Every writer of the topic is assigned to the
// reader of its own class.
struct rnr_TopicReader {
  dds_DataReader* reader = nullptr;
  dds_Subscriber* subscriber = nullptr;
  rnr_ReaderClass qos;
  // Publication handle of a sample -> whether this reader keeps it. Only
  // settled decisions are kept; used while the entry's capture_mutex is held.
  std::unordered_map<uint64_t, bool> keeps;
};

// One requested topic. The leading members (id, names, metastring, key flag)
// are what the bag's topic update reads.
struct rnr_TopicInfo : rnr_TopicDescription {
  dds_DynamicTypeSupport* type_support = nullptr;
  // The metastring came from rnr_long_run_options::supplied_type, not from
  // a writer: the first writer that delivers its type replaces it.
  bool type_supplied = false;
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
  std::vector<rnr::recorder::SampleRun> capture_runs;
  std::vector<uint64_t> capture_times;
  std::vector<size_t> capture_merged;
  // The largest sample taken so far: how many samples fit the room left in
  // the store is judged by it.
  size_t largest_sample = 0;
  // How many samples one take asks for: small at first, so that a topic that
  // sees a few samples keeps small take buffers; doubled after each take
  // that came back full, up to the most a take set holds.
  int32_t take_size = 16;
  // What DDS reported dropped, per reader as last read and in total, and
  // when it was last read and reported. Used under capture_mutex.
  std::unordered_map<dds_DataReader*, dds_SampleLossStatus> loss_seen;
  // Per writer (by GUID) its sequence numbers stored so far and what never
  // arrived; `stored` finds them by the publication handle of the samples.
  // Used under capture_mutex.
  std::unordered_map<rnr_WriterKey, rnr_WriterSequences, rnr_WriterKeyHash, rnr_WriterKeyEqual>
      sequences;
  std::unordered_map<uint64_t, rnr_WriterSequences*> stored;
  uint64_t last_stored_handle = 0;
  rnr_WriterSequences* last_stored = nullptr;  // stored[last_stored_handle]
  // Samples of writers whose records ended that never arrived, and when the
  // writers' gaps were last looked at. Under capture_mutex.
  uint64_t never_arrived = 0;
  uint64_t gaps_checked_ns = 0;
  // The topic's losses as last counted (topic_losses), for the status that
  // other threads read without capture_mutex.
  std::atomic<uint64_t> losses_seen{0};
  // When each writer of the topic was announced, and the writers that went
  // away whose records of sequence numbers are to end (a while after they
  // left, release_departed_writers). Under assignment_mutex.
  std::unordered_map<rnr_WriterKey, uint64_t, rnr_WriterKeyHash, rnr_WriterKeyEqual> announced;
  std::vector<rnr_WriterKey> departed;
  // The writers._id of each catalogued writer of the topic, by GUID: the
  // capture stores it with each of its samples. Kept while the recording
  // lasts. Under assignment_mutex.
  std::unordered_map<rnr_WriterKey, int32_t, rnr_WriterKeyHash, rnr_WriterKeyEqual> writer_ids;
  // Writers of the topic not yet matched by any of its readers, with the
  // time they were announced; watched until matched or warned about. Under
  // the recorder's mutex.
  std::vector<std::pair<rnr_WriterKey, uint64_t>> unmatched;
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

// The subscriber of the recorder whose partitions are `partitions`, created
// (enabled, its readers created disabled) when there is none yet; null when
// it cannot be created. Called with recorder->mutex held.
dds_Subscriber* rnr_recorder_subscriber_for(rnr_recorder* recorder,
                                            const std::vector<std::string>& partitions);

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
  // The entries of topic_list by topic and type name (topic_index_key).
  std::unordered_map<std::string, rnr_TopicInfo*> topic_index;
  // The bag being written. Changed only with `mutex` and `insert_mutex`
  // held (a split), read by captures waiting for room without them.
  std::atomic<rnr_Database*> database{nullptr};
  // Set for a long run (long_run.h) before recording starts; null otherwise.
  std::unique_ptr<rnr::recorder::internal::LongRun> long_run;
  // The pattern and exclusion pairs: a writer of a topic that no entry names
  // brings its topic in when they match it.
  rnr::recorder::internal::TopicPatterns patterns;

  // Guards topic_list, every entry's discovery fields (key flag, metastring,
  // type support, reader, writer map), state and closing. Never held while a
  // reader is deleted or a participant is torn down.
  std::mutex mutex;
  // Held from reading the reception time of a sample until it is handed to the
  // store, so that reception times increase with the rows' order in the bag.
  std::mutex insert_mutex;
  // Each announced writer of a recorded topic, by its GUID (dds_guid layout),
  // with its topic; removed when the writer goes away.
  std::unordered_map<rnr_WriterKey, rnr_TopicInfo*, rnr_WriterKeyHash, rnr_WriterKeyEqual>
      writer_topics;
  // Writers that went away, released a while later unless they come back.
  struct DepartedWriter {
    rnr_WriterKey key;      // the writer's GUID
    rnr_WriterKey map_key;  // its key in the topic's writer map
    rnr_TopicInfo* entry;
    uint64_t left_ns;
  };
  std::vector<DepartedWriter> departed_writers;
  // Samples that were not recorded, added up over the topics at the stop.
  uint64_t not_recorded = 0;
  // The wrong-type lines said so far (topic and type, topic_index_key), and
  // whether the patterns that brought in nothing were named.
  std::vector<std::string> wrong_types_said;
  // The literal pairs asked for, (topic, type).
  std::vector<std::pair<std::string, std::string>> literal_pairs;
  bool unmatched_patterns_said = false;
  // Set by destroy: discovery callbacks still in flight then do nothing.
  bool closing = false;
  // Set by stop and destroy: captures waiting for room in the store stop
  // waiting.
  std::atomic<bool> stopping{false};
  // Writers announced while topics are still being added (before start) and
  // not requested so far; add_topic completes a pair from them, and start
  // offers the rest to the patterns, so a writer discovered a moment before
  // its pair was added is not lost.
  std::vector<rnr_Publication> early_publications;
  // Subscribers of the partition sets other than the default one, created
  // as writers in them are announced.
  std::vector<std::pair<std::vector<std::string>, dds_Subscriber*>> partition_subscribers;
  // The thread that warns about writers no reader matched.
  std::thread watcher;
  std::condition_variable watcher_wake;
  bool watcher_stop = false;
};

// The first entry of the topic list with these names; the caller holds
// recorder->mutex while it uses the result.
rnr_TopicInfo* rnr_recorder_get_topic_info(rnr_recorder* recorder, const char* topic_name,
                                           const char* type_name);

namespace rnr::recorder::internal {

// The most samples a topic reader holds before the recorder takes them. When
// the store has no room, the recorder stops taking and the full reader makes
// reliable writers wait; this bounds what DDS holds for the recorder.
constexpr int32_t kReaderMaxSamples = 8192;

// The listener of every topic reader: captures what the reader received.
extern const dds_DataReaderListener kTopicReaderListener;
// The listener of the built-in publications reader: discovery of writers.
extern const dds_DataReaderListener kBuiltinReaderListener;

// --- recorder.cpp ---

// Creates the recorder with its first bag: `bag_path` (a new file; null for
// the generated name), or with `in_memory` a catalogue kept in memory that
// no file backs. Null (logged) on failure.
rnr_recorder* create_recorder(int32_t domain_id, const char* bag_path, bool in_memory);

// --- capture.cpp ---

// Takes and stores what the reader holds, round after round while it has
// more, waiting for room in the store before each round, so that the
// samples held in memory stay within the store's bound. Ends when the reader
// is empty, when the recording stops (unless this is the stop's own drain),
// or after `max_samples` samples.
void capture_samples(rnr_recorder* recorder, rnr_TopicInfo* entry, dds_DataReader* reader,
                     size_t max_samples);

// Counts, for one topic, what DDS dropped before the recorder could take
// it: samples lost on the way and samples a full reader rejected. While it
// happens one line at most every 10 s; `at_end` only counts (the stop
// reports the totals, report_dds_losses). Called with capture_mutex held.
void check_dds_losses(rnr_TopicInfo* entry, dds_DataReader* reader, bool at_end);

// One line for a topic of which DDS dropped samples during the recording.
void report_dds_losses(const rnr_TopicInfo* entry);

// Looks at the topic's writer records, at most once a second unless
// `at_end`: ends the records of writers that went away a while ago (their
// gaps reported and counted in never_arrived, their state released), and
// reports gaps that last (sequence_gaps.h). `at_end` ends every record.
// Called with capture_mutex held.
void check_writer_records(rnr_TopicInfo* entry, bool at_end);

// The samples of the topic that were not recorded: the gaps in its writers'
// sequence numbers, or what DDS reported dropped when that is more (a
// writer's last samples leave no gap). Every sample DDS reports dropped
// that a later one of its writer follows is a gap too, so the two are not
// added.
uint64_t topic_losses(const rnr_TopicInfo* entry);

// --- discovery.cpp ---

// The key of an entry in topic_index.
std::string topic_index_key(const char* topic_name, const char* type_name);

// Adds a (topic, type) pair: its `topics` row, its entry at the end of the
// topic list and the info line. Null (logged) when the store refuses the pair.
// Called with recorder->mutex held.
rnr_TopicInfo* add_topic_entry(rnr_recorder* recorder, const char* topic_name,
                               const char* type_name);

// One announced writer: the work on it when its topic is recorded, either
// named by a pair or brought in by the patterns once recording (only writers
// of other processes, of application topics); kept for add_topic while
// topics are still being added. Called with recorder->mutex held by `lock`.
void handle_publication(rnr_recorder* recorder, std::unique_lock<std::mutex>& lock,
                        const rnr_Publication& pub);

// The work on one announced writer of a requested topic. Called with
// recorder->mutex held by `lock`; the lock is given up while the writer's type
// is looked up, so that the main thread and other discovery work are not held
// up meanwhile. Every writer is catalogued and assigned to the topic's reader
// of its own QoS, which is created when the topic has none yet. A writer
// whose participant delivers no type is recorded all the same: the topic's
// metastring stays empty until a writer that does deliver it comes.
void process_publication(rnr_recorder* recorder, std::unique_lock<std::mutex>& lock,
                         rnr_TopicInfo* entry, const rnr_Publication& pub);

// Notes an announced writer of `entry`: its topic by GUID and when it was
// announced. Called with recorder->mutex held.
void note_writer(rnr_recorder* recorder, rnr_TopicInfo* entry, const rnr_Publication& pub);

// Says once per topic and type when a writer of a topic asked for by a
// literal pair has another type than the one asked for. Called with
// recorder->mutex held.
void check_requested_type(rnr_recorder* recorder, const rnr_Publication& pub);

// A writer went away (its publication was disposed or unregistered). Called
// with recorder->mutex held.
void writer_left(rnr_recorder* recorder, const rnr_Publication& pub);

// Releases what discovery keeps of writers that went away kDepartedGraceNs
// ago (all of them with `all`) and did not come back, and hands their
// records of sequence numbers to the topic to end. Called with
// recorder->mutex held.
void release_departed_writers(rnr_recorder* recorder, bool all);

// How long after a writer went away its state is released: what the readers
// still held of it is stored by then, and a writer that comes back
// meanwhile (it dropped the recorder's reader) keeps its state.
constexpr uint64_t kDepartedGraceNs = 2000000000u;

// The reader the writer is assigned to; a writer not assigned yet goes to the
// reader of its QoS when one exists. Null when the writer still waits for its
// reader. Called with the entry's assignment_mutex held.
rnr_TopicReader* assign_writer(rnr_TopicInfo* entry, const uint8_t (&guid)[16],
                               const rnr_ReaderClass& qos);

// The class of reader that matches a writer offering `offered`.
rnr_ReaderClass reader_class_for(const rnr::qos::WriterQos& offered);
// The class of the writer with this GUID, by what discovery announced of it.
rnr_ReaderClass reader_class_of(rnr_recorder* recorder, const uint8_t (&guid)[16],
                                const dds_PublicationBuiltinTopicData& writer);

// --- match_watch.cpp ---

// Starts and stops the thread that warns, once per writer, about each writer
// that none of its topic's readers has matched a while after it was
// announced, naming the policy its reader found incompatible.
void start_match_watch(rnr_recorder* recorder);
void stop_match_watch(rnr_recorder* recorder);

}  // namespace rnr::recorder::internal
