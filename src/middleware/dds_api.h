// The DDS operations the recorder and the replayer call. Everything here is
// implemented on Eclipse Cyclone DDS inside src/middleware; no other part of
// the tool sees a Cyclone header.
//
// Handles are opaque. Creators return null on failure; operations handed a
// null entity return an error code (or null) and do nothing else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "types/name_field.h"
#include "types/qos_policies.h"

// ---------------------------------------------------------------------------
// Return codes

typedef int32_t dds_ReturnCode_t;

enum : dds_ReturnCode_t {
  dds_RETCODE_OK = 0,
  dds_RETCODE_ERROR = 1,
  dds_RETCODE_UNSUPPORTED = 2,
  dds_RETCODE_BAD_PARAMETER = 3,
  dds_RETCODE_PRECONDITION_NOT_MET = 4,
  dds_RETCODE_OUT_OF_RESOURCES = 5,
  dds_RETCODE_NOT_ENABLED = 6,
  dds_RETCODE_IMMUTABLE_POLICY = 7,
  dds_RETCODE_INCONSISTENT_POLICY = 8,
  dds_RETCODE_ALREADY_DELETED = 9,
  dds_RETCODE_TIMEOUT = 10,
  dds_RETCODE_NO_DATA = 11,
  dds_RETCODE_ILLEGAL_OPERATION = 12,
};

// The code's name, e.g. "dds_RETCODE_NO_DATA"; never null.
const char* dds_ReturnCode_to_string(dds_ReturnCode_t code);

// ---------------------------------------------------------------------------
// Basic values

typedef int32_t dds_DomainId_t;
typedef uint32_t dds_StatusMask;

constexpr dds_StatusMask dds_DATA_AVAILABLE_STATUS = 0x0400u;

typedef uint32_t dds_SampleStateMask;
typedef uint32_t dds_ViewStateMask;
typedef uint32_t dds_InstanceStateMask;
constexpr dds_SampleStateMask dds_ANY_SAMPLE_STATE = 0xffffu;
constexpr dds_ViewStateMask dds_ANY_VIEW_STATE = 0xffffu;
constexpr dds_InstanceStateMask dds_ANY_INSTANCE_STATE = 0xffffu;
constexpr dds_InstanceStateMask dds_ALIVE_INSTANCE_STATE = 1u;
constexpr dds_InstanceStateMask dds_NOT_ALIVE_DISPOSED_INSTANCE_STATE = 2u;
constexpr dds_InstanceStateMask dds_NOT_ALIVE_NO_WRITERS_INSTANCE_STATE = 4u;

struct dds_Time_t {
  int32_t sec;
  uint32_t nanosec;
};

// An instance handle refers to 16 bytes. For a publication of the built-in
// reader they are the remote writer's GUID in the dds_guid layout: 12 prefix
// bytes as on the wire, then the entity id as a host-order 32-bit word whose
// low byte is the entity kind.
struct dds_InstanceHandle_t {
  uint8_t value[16];
};
extern const dds_InstanceHandle_t dds_HANDLE_NIL;

struct dds_SampleInfo {
  dds_SampleStateMask sample_state;
  dds_ViewStateMask view_state;
  dds_InstanceStateMask instance_state;
  dds_Time_t source_timestamp;
  dds_InstanceHandle_t instance_handle;
  dds_InstanceHandle_t publication_handle;
  bool valid_data;
  // The writer's sequence number of a sample a raw take hands out, as the
  // sample arrived; 0 when it is not known.
  uint64_t sequence_number;
  // Of a raw take's sample without valid data (a dispose or unregister):
  // the key hash its sender supplied, when it supplied one.
  bool has_key_hash;
  uint8_t key_hash[16];
};

// ---------------------------------------------------------------------------
// QoS. Plain values: fetched from a default-QoS getter, adjusted, handed to a
// creator, then released with the matching *_finalize call.

struct dds_EntityFactoryQosPolicy {
  bool autoenable_created_entities;
};

enum dds_ReliabilityQosPolicyKind : int32_t {
  dds_BEST_EFFORT_RELIABILITY_QOS = 0,
  dds_RELIABLE_RELIABILITY_QOS = 1,
};
struct dds_ReliabilityQosPolicy {
  dds_ReliabilityQosPolicyKind kind;
  int64_t max_blocking_time_ns;
};

enum dds_DurabilityQosPolicyKind : int32_t {
  dds_VOLATILE_DURABILITY_QOS = 0,
  dds_TRANSIENT_LOCAL_DURABILITY_QOS = 1,
  dds_TRANSIENT_DURABILITY_QOS = 2,
  dds_PERSISTENT_DURABILITY_QOS = 3,
};
struct dds_DurabilityQosPolicy {
  dds_DurabilityQosPolicyKind kind;
};

enum dds_HistoryQosPolicyKind : int32_t {
  dds_KEEP_LAST_HISTORY_QOS = 0,
  dds_KEEP_ALL_HISTORY_QOS = 1,
};
struct dds_HistoryQosPolicy {
  dds_HistoryQosPolicyKind kind;
  int32_t depth;
};

// Data representation identifiers as on the wire.
enum dds_DataRepresentationId_t : int16_t {
  dds_XCDR_DATA_REPRESENTATION = 0,
  dds_XCDR2_DATA_REPRESENTATION = 2,
};
// A writer advertises `value[0]`; a reader accepts every listed entry.
struct dds_DataRepresentationQosPolicy {
  int32_t length;  // 0 means the binding's default
  dds_DataRepresentationId_t value[2];
};

struct dds_DomainParticipantFactoryQos {
  dds_EntityFactoryQosPolicy entity_factory;
};
struct dds_DomainParticipantQos {
  dds_EntityFactoryQosPolicy entity_factory;
};
// Publishers and subscribers also carry the partitions their writers and
// readers are in (none: the default partition) and the presentation.
struct dds_PublisherQos {
  dds_EntityFactoryQosPolicy entity_factory;
  std::vector<std::string> partitions;
  rnr::qos::Presentation presentation;
};
struct dds_SubscriberQos {
  dds_EntityFactoryQosPolicy entity_factory;
  std::vector<std::string> partitions;
  rnr::qos::Presentation presentation;
};
struct dds_TopicQos {
  dds_DurabilityQosPolicy durability;
  dds_ReliabilityQosPolicy reliability;
};
// The most samples a reader holds (those taken and not yet returned aside);
// 0 or less means no limit. When a reliable reader is full, its reliable
// writers wait (flow control): nothing is lost. A best-effort reader drops
// what does not fit and counts it as rejected.
struct dds_ResourceLimitsQosPolicy {
  int32_t max_samples;
};
// Defaults of the binding's readers: reliable, volatile, KEEP_ALL, no
// resource limit, accepting XCDR1 and XCDR2. A reliable reader still matches best-effort writers
// only when set to best effort; the recorder sets both per discovered writer.
// The policies that must agree with a writer's follow the DDS defaults
// (infinite deadline, no latency budget, automatic liveliness with an
// infinite lease, shared ownership, by-reception order).
struct dds_DataReaderQos {
  dds_DurabilityQosPolicy durability;
  dds_ReliabilityQosPolicy reliability;
  dds_HistoryQosPolicy history;
  dds_DataRepresentationQosPolicy representation;
  dds_ResourceLimitsQosPolicy resource_limits;
  int64_t deadline_ns = rnr::qos::kInfinite;
  int64_t latency_budget_ns = 0;
  rnr::qos::Liveliness liveliness = rnr::qos::Liveliness::automatic;
  int64_t lease_duration_ns = rnr::qos::kInfinite;
  rnr::qos::Ownership ownership = rnr::qos::Ownership::shared;
  rnr::qos::DestinationOrder destination_order = rnr::qos::DestinationOrder::by_reception_timestamp;
};
// Write batching. A batching writer packs consecutive writes into as few
// datagrams as it can: a written sample is handed to its matched local
// readers and kept in the writer's history at once, but it may stay in the
// writer's transmit buffer until dds_DataWriter_flush, until the buffer is
// full, or until the writer must wait for acknowledgements (it then sends
// what it holds first). Deleting the writer sends what it holds.
//
// Cyclone has one batching switch per process; the binding throws it only
// while it creates a batching writer. A writer the application creates on
// Cyclone directly, on another thread at that very moment, may batch too.
// The binding's own writers without `enable` always send every sample at
// once.
struct dds_BatchQosPolicy {
  bool enable;
};
// Defaults of the binding's writers: reliable, volatile, KEEP_ALL, XCDR1,
// no batching.
// The other offered policies follow the DDS defaults; a durability
// service that is not set keeps as much as the writer's own history.
struct dds_DataWriterQos {
  dds_DurabilityQosPolicy durability;
  dds_ReliabilityQosPolicy reliability;
  dds_HistoryQosPolicy history;
  dds_DataRepresentationQosPolicy representation;
  dds_BatchQosPolicy batch;
  std::optional<rnr::qos::DurabilityService> durability_service;
  int64_t deadline_ns = rnr::qos::kInfinite;
  int64_t latency_budget_ns = 0;
  rnr::qos::Liveliness liveliness = rnr::qos::Liveliness::automatic;
  int64_t lease_duration_ns = rnr::qos::kInfinite;
  rnr::qos::Ownership ownership = rnr::qos::Ownership::shared;
  int32_t ownership_strength = 0;
  rnr::qos::DestinationOrder destination_order = rnr::qos::DestinationOrder::by_reception_timestamp;
  int64_t lifespan_ns = rnr::qos::kInfinite;
  // Whether unregistering an instance, or deleting the writer, also disposes
  // its instances (WRITER_DATA_LIFECYCLE).
  bool autodispose_unregistered_instances = true;
};

extern const dds_DomainParticipantQos dds_PARTICIPANT_QOS_DEFAULT;

void dds_DomainParticipantQos_finalize(dds_DomainParticipantQos* qos);
void dds_PublisherQos_finalize(dds_PublisherQos* qos);
void dds_SubscriberQos_finalize(dds_SubscriberQos* qos);
void dds_TopicQos_finalize(dds_TopicQos* qos);
void dds_DataReaderQos_finalize(dds_DataReaderQos* qos);
void dds_DataWriterQos_finalize(dds_DataWriterQos* qos);

// ---------------------------------------------------------------------------
// Entities

struct dds_DomainParticipantFactory;
struct dds_DomainParticipant;
struct dds_Publisher;
struct dds_Subscriber;
struct dds_Topic;
struct dds_DataReader;
struct dds_DataWriter;

// The standard seven-slot reader listener. Callbacks run on threads the
// binding owns (never on Cyclone's receive or discovery threads), so they may
// block; a callback never runs after its reader was deleted.
struct dds_DataReaderListener {
  void (*on_requested_deadline_missed)(dds_DataReader* reader, const void* status);
  void (*on_requested_incompatible_qos)(dds_DataReader* reader, const void* status);
  void (*on_sample_rejected)(dds_DataReader* reader, const void* status);
  void (*on_liveliness_changed)(dds_DataReader* reader, const void* status);
  void (*on_data_available)(dds_DataReader* reader);
  void (*on_subscription_matched)(dds_DataReader* reader, const void* status);
  void (*on_sample_lost)(dds_DataReader* reader, const void* status);
};

struct dds_DomainParticipantListener;
struct dds_PublisherListener;
struct dds_SubscriberListener;
struct dds_TopicListener;
struct dds_DataWriterListener;

dds_DomainParticipantFactory* dds_DomainParticipantFactory_get_instance();
dds_ReturnCode_t dds_DomainParticipantFactory_get_qos(dds_DomainParticipantFactory* factory,
                                                      dds_DomainParticipantFactoryQos* qos);
// While autoenable_created_entities is false, participants are created
// disabled and do nothing observable until dds_DomainParticipant_enable.
dds_ReturnCode_t dds_DomainParticipantFactory_set_qos(dds_DomainParticipantFactory* factory,
                                                      const dds_DomainParticipantFactoryQos* qos);
dds_ReturnCode_t dds_DomainParticipantFactory_get_default_participant_qos(
    dds_DomainParticipantFactory* factory, dds_DomainParticipantQos* qos);
// Null for a domain id the middleware cannot use (negative, or beyond what
// the RTPS port mapping allows); never mapped to another domain.
dds_DomainParticipant* dds_DomainParticipantFactory_create_participant(
    dds_DomainParticipantFactory* factory, dds_DomainId_t domain_id,
    const dds_DomainParticipantQos* qos, const dds_DomainParticipantListener* listener,
    dds_StatusMask mask);
dds_ReturnCode_t dds_DomainParticipantFactory_delete_participant(
    dds_DomainParticipantFactory* factory, dds_DomainParticipant* participant);

dds_ReturnCode_t dds_DomainParticipant_enable(dds_DomainParticipant* participant);
dds_ReturnCode_t dds_DomainParticipant_get_default_publisher_qos(dds_DomainParticipant* participant,
                                                                 dds_PublisherQos* qos);
dds_ReturnCode_t dds_DomainParticipant_get_default_subscriber_qos(
    dds_DomainParticipant* participant, dds_SubscriberQos* qos);
dds_ReturnCode_t dds_DomainParticipant_get_default_topic_qos(dds_DomainParticipant* participant,
                                                             dds_TopicQos* qos);
dds_Publisher* dds_DomainParticipant_create_publisher(dds_DomainParticipant* participant,
                                                      const dds_PublisherQos* qos,
                                                      const dds_PublisherListener* listener,
                                                      dds_StatusMask mask);
dds_ReturnCode_t dds_DomainParticipant_delete_publisher(dds_DomainParticipant* participant,
                                                        dds_Publisher* publisher);
dds_Subscriber* dds_DomainParticipant_create_subscriber(dds_DomainParticipant* participant,
                                                        const dds_SubscriberQos* qos,
                                                        const dds_SubscriberListener* listener,
                                                        dds_StatusMask mask);
dds_ReturnCode_t dds_DomainParticipant_delete_subscriber(dds_DomainParticipant* participant,
                                                         dds_Subscriber* subscriber);
// The type name must have been registered with the participant before.
// Topic and type names are 1 to 255 characters long (what a built-in
// publication sample can carry); longer ones are refused.
dds_Topic* dds_DomainParticipant_create_topic(dds_DomainParticipant* participant,
                                              const char* topic_name, const char* type_name,
                                              const dds_TopicQos* qos,
                                              const dds_TopicListener* listener,
                                              dds_StatusMask mask);
dds_ReturnCode_t dds_DomainParticipant_delete_topic(dds_DomainParticipant* participant,
                                                    dds_Topic* topic);
dds_Subscriber* dds_DomainParticipant_get_builtin_subscriber(dds_DomainParticipant* participant);
// True when the participant whose GUID prefix is `prefix` (12 bytes, as in a
// dds_guid) is one of this process's participants on the same domain as
// `participant`, the participant itself included.
bool dds_DomainParticipant_is_local_prefix(dds_DomainParticipant* participant,
                                           const uint8_t prefix[12]);

dds_ReturnCode_t dds_Publisher_get_default_datawriter_qos(dds_Publisher* publisher,
                                                          dds_DataWriterQos* qos);
dds_DataWriter* dds_Publisher_create_datawriter(dds_Publisher* publisher, dds_Topic* topic,
                                                const dds_DataWriterQos* qos,
                                                const dds_DataWriterListener* listener,
                                                dds_StatusMask mask);
dds_ReturnCode_t dds_Publisher_delete_datawriter(dds_Publisher* publisher, dds_DataWriter* writer);

dds_ReturnCode_t dds_Subscriber_enable(dds_Subscriber* subscriber);
dds_ReturnCode_t dds_Subscriber_get_default_datareader_qos(dds_Subscriber* subscriber,
                                                           dds_DataReaderQos* qos);
dds_DataReader* dds_Subscriber_create_datareader(dds_Subscriber* subscriber, dds_Topic* topic,
                                                 const dds_DataReaderQos* qos,
                                                 const dds_DataReaderListener* listener,
                                                 dds_StatusMask mask);
dds_ReturnCode_t dds_Subscriber_delete_datareader(dds_Subscriber* subscriber,
                                                  dds_DataReader* reader);
// "dds_BuiltinPublications" on the built-in subscriber; null otherwise.
dds_DataReader* dds_Subscriber_get_contained_datareader_by_name(dds_Subscriber* subscriber,
                                                                const char* name);

dds_ReturnCode_t dds_DataWriter_enable(dds_DataWriter* writer);
dds_ReturnCode_t dds_DataReader_enable(dds_DataReader* reader);
dds_ReturnCode_t dds_DataReader_set_listener(dds_DataReader* reader,
                                             const dds_DataReaderListener* listener,
                                             dds_StatusMask mask);

// Context slots 0 and 1 of readers and writers.
dds_ReturnCode_t dds_Entity_set_context(dds_DataReader* reader, int slot, void* context);
dds_ReturnCode_t dds_Entity_set_context(dds_DataWriter* writer, int slot, void* context);
void* dds_Entity_get_context(const dds_DataReader* reader, int slot);
void* dds_Entity_get_context(const dds_DataWriter* writer, int slot);

// ---------------------------------------------------------------------------
// Sequences

struct dds_DataSeq;
struct dds_SampleInfoSeq;
struct dds_UnsignedLongSeq;

dds_DataSeq* dds_DataSeq_create(uint32_t capacity);
uint32_t dds_DataSeq_length(const dds_DataSeq* seq);
void* dds_DataSeq_get(const dds_DataSeq* seq, uint32_t index);
// Removes and returns the element at `index` (null when out of range).
void* dds_DataSeq_remove(dds_DataSeq* seq, uint32_t index);
// Appends an element; false when the sequence is full.
bool dds_DataSeq_add(dds_DataSeq* seq, void* element);
void dds_DataSeq_delete(dds_DataSeq* seq);

dds_SampleInfoSeq* dds_SampleInfoSeq_create(uint32_t capacity);
uint32_t dds_SampleInfoSeq_length(const dds_SampleInfoSeq* seq);
dds_SampleInfo* dds_SampleInfoSeq_get(const dds_SampleInfoSeq* seq, uint32_t index);
void dds_SampleInfoSeq_delete(dds_SampleInfoSeq* seq);

dds_UnsignedLongSeq* dds_UnsignedLongSeq_create(uint32_t capacity);
uint32_t dds_UnsignedLongSeq_length(const dds_UnsignedLongSeq* seq);
uint32_t dds_UnsignedLongSeq_get(const dds_UnsignedLongSeq* seq, uint32_t index);
void dds_UnsignedLongSeq_delete(dds_UnsignedLongSeq* seq);

// ---------------------------------------------------------------------------
// Discovery: the built-in publication reader delivers these.

struct dds_BuiltinTopicKey_t {
  // value[0]: the writer's entity id (host order, entity kind in the low
  // byte); value[1], value[2]: bytes 4..11 of the writer's GUID prefix.
  uint32_t value[3];
};

struct dds_PublicationBuiltinTopicData {
  dds_BuiltinTopicKey_t key;
  uint8_t participant_key[12];  // the writer's participant GUID prefix
  char topic_name[RNR_NAME_FIELD_SIZE];
  char type_name[RNR_NAME_FIELD_SIZE];
  dds_DurabilityQosPolicy durability;
  dds_ReliabilityQosPolicy reliability;
  dds_DataRepresentationQosPolicy representation;
};
static_assert(offsetof(dds_PublicationBuiltinTopicData, participant_key) == 12,
              "the participant key follows the 12-byte publication key");

dds_ReturnCode_t dds_DataReader_take(dds_DataReader* reader, dds_DataSeq* data,
                                     dds_SampleInfoSeq* infos, int32_t max_samples,
                                     dds_SampleStateMask sample_states,
                                     dds_ViewStateMask view_states,
                                     dds_InstanceStateMask instance_states);
dds_ReturnCode_t dds_DataReader_return_loan(dds_DataReader* reader, dds_DataSeq* data,
                                            dds_SampleInfoSeq* infos);

// ---------------------------------------------------------------------------
// Type supports

struct dds_TypeSupport;
typedef dds_TypeSupport dds_DynamicTypeSupport;
struct cdr_meta;

// Raw type supports carry samples as serialized bytes, the 4-byte
// encapsulation header included.
dds_TypeSupport* dds_TypeSupport_raw_create();
dds_TypeSupport* dds_TypeSupport_raw_create_w_key();
dds_ReturnCode_t dds_TypeSupport_register_type(dds_TypeSupport* type_support,
                                               dds_DomainParticipant* participant,
                                               const char* type_name);
void dds_TypeSupport_delete(dds_TypeSupport* type_support);

// The types remote writers announced under `type_name`, resolved through type
// lookup within a bounded wait: a sequence of dds_DynamicTypeSupport*, or null
// when none could be obtained. Blocks; never call it from a Cyclone thread.
dds_DataSeq* dds_DomainParticipant_lookup_delivered_types(dds_DomainParticipant* participant,
                                                          const char* type_name);
void dds_DynamicTypeSupport_delete_type_support(dds_DynamicTypeSupport* type_support);
// The type as IDL text, heap-allocated (release with free), or null.
char* dds_TypeSupport_extract_metastring(dds_TypeSupport* type_support);
// Decodes one serialized sample; null when the bytes do not fit the type.
void* dds_TypeSupport_deserialize(dds_TypeSupport* type_support, const void* data, size_t size);
void dds_TypeSupport_free(dds_TypeSupport* type_support, void* sample);
bool dds_TypeSupport_is_dynamic(const dds_TypeSupport* type_support);
const cdr_meta* dds_TypeSupport_get_cdr_meta(dds_TypeSupport* type_support);
void* dds_DynamicData_get_data(void* dynamic_data);
// Prints one decoded sample as a line of JSON; returns the number of
// characters written, or -1.
int cdr_dump_data(const cdr_meta* meta, const void* data, FILE* out, int flags);

// ---------------------------------------------------------------------------
// Raw samples

// Takes up to `max_samples` (at most the sequences' capacity, and at most
// 4096 in one take; a callback whose take was cut runs again): `data` receives the loaned sample
// buffers (const uint8_t*, encapsulation header first), `sizes` their byte lengths. `handle` must
// be dds_HANDLE_NIL. The loan lasts until the return. A sample info's instance and publication
// handles carry Cyclone's 64-bit handles in their first 8 bytes. A sample without valid data (a
// dispose or unregister: its instance_state tells which) has as its buffer the serialized key it
// carried (encapsulation header first), or a null buffer when it carried none.
dds_ReturnCode_t dds_DataReader_raw_take(dds_DataReader* reader, dds_InstanceHandle_t handle,
                                         dds_DataSeq* data, dds_SampleInfoSeq* infos,
                                         dds_UnsignedLongSeq* sizes, int32_t max_samples,
                                         dds_SampleStateMask sample_states,
                                         dds_ViewStateMask view_states,
                                         dds_InstanceStateMask instance_states);
dds_ReturnCode_t dds_DataReader_raw_return_loan(dds_DataReader* reader, dds_DataSeq* data,
                                                dds_SampleInfoSeq* infos,
                                                dds_UnsignedLongSeq* sizes);
// What DDS reported of a reader's samples since it was enabled: samples lost
// on the way (gaps a best-effort reader saw) and samples rejected because
// the reader's resource limits were reached.
struct dds_SampleLossStatus {
  uint64_t lost;
  uint64_t rejected;
};
dds_ReturnCode_t dds_DataReader_get_sample_loss(dds_DataReader* reader,
                                                dds_SampleLossStatus* status);

// Sends the bytes unchanged (encapsulation header first). A batching writer
// may hold them in its transmit buffer (see dds_BatchQosPolicy).
dds_ReturnCode_t dds_DataWriter_raw_write(dds_DataWriter* writer, const void* data, size_t size);
// Disposes, or unregisters, the instance that `key` names: a serialized key as a raw take hands it
// out for a dispose or unregister (encapsulation header first), sent key-only with the status.
// Unregistering does not dispose, whatever the writer's QoS.
dds_ReturnCode_t dds_DataWriter_raw_dispose(dds_DataWriter* writer, const void* key, size_t size);
dds_ReturnCode_t dds_DataWriter_raw_unregister(dds_DataWriter* writer, const void* key,
                                               size_t size);
// Sends a whole sample with the status of a dispose (a write-dispose) or an unregister: readers
// take the sample, and its instance changes state with it.
dds_ReturnCode_t dds_DataWriter_raw_write_dispose(dds_DataWriter* writer, const void* data,
                                                  size_t size);
dds_ReturnCode_t dds_DataWriter_raw_write_unregister(dds_DataWriter* writer, const void* data,
                                                     size_t size);
// The remote writer that a sample info's publication handle (from a raw take
// of `reader`) names: its GUID in the dds_guid layout, and its publication
// data as the built-in reader delivers it. Works for a writer the reader
// matched and, once discovery announced it, also after it went away.
// NOT_ENABLED for a reader that is not enabled; ERROR when the writer is not
// known.
dds_ReturnCode_t dds_DataReader_get_matched_publication(
    dds_DataReader* reader, const dds_InstanceHandle_t* publication_handle, uint8_t guid[16],
    dds_PublicationBuiltinTopicData* data);
// How many readers the writer has matched since it was enabled, those that
// went away since included.
dds_ReturnCode_t dds_DataWriter_get_total_matched(dds_DataWriter* writer, int32_t* total);
// Everything a remote writer offers, as discovery announced it: the writer
// named by its GUID in the dds_guid layout (a built-in publication's
// instance handle). ERROR when discovery has not announced it.
dds_ReturnCode_t dds_DomainParticipant_get_publication_qos(dds_DomainParticipant* participant,
                                                           const uint8_t guid[16],
                                                           rnr::qos::WriterQos* qos);
// Forgets what discovery announced of a writer that went away (its QoS and
// handle), once the caller no longer asks about its samples.
void dds_DomainParticipant_forget_publication(dds_DomainParticipant* participant,
                                              const uint8_t guid[16]);
// OK when the reader has matched the writer with this GUID (dds_guid
// layout), NO_DATA when it has not.
dds_ReturnCode_t dds_DataReader_is_matched(dds_DataReader* reader, const uint8_t guid[16]);
// Counts of remote endpoints found incompatible, and the policy of the last
// one (a QosPolicyId_t; rnr::qos::policy_name names it).
struct dds_IncompatibleQosStatus {
  int32_t total_count;
  int32_t last_policy_id;
};
dds_ReturnCode_t dds_DataReader_get_requested_incompatible_qos(dds_DataReader* reader,
                                                               dds_IncompatibleQosStatus* status);
dds_ReturnCode_t dds_DataWriter_get_offered_incompatible_qos(dds_DataWriter* writer,
                                                             dds_IncompatibleQosStatus* status);
// Sends whatever the writer holds in its transmit buffer. A no-op for a
// writer that does not batch or holds nothing; dds_RETCODE_NOT_ENABLED for
// a writer that is not enabled.
dds_ReturnCode_t dds_DataWriter_flush(dds_DataWriter* writer);
// Waits until every matched reliable reader has acknowledged all that the
// writer wrote, at most `timeout_ns`: dds_RETCODE_OK when they have,
// dds_RETCODE_TIMEOUT when the time ran out first.
dds_ReturnCode_t dds_DataWriter_wait_for_acknowledgments(dds_DataWriter* writer,
                                                         int64_t timeout_ns);

// ---------------------------------------------------------------------------
// Clock: nanoseconds since the Unix epoch on CLOCK_REALTIME, the clock that
// condition-variable timed waits with default attributes use.

uint64_t arch_time();
timespec arch_time_to_timespec(uint64_t time_ns);
void arch_sleep(uint64_t duration_ns);
