// The binding's entities (what the handles of dds_api.h point at) and the
// functions the binding's files share. Each entity records what it was
// created with and creates its Cyclone counterpart only when it is enabled,
// so that an entity created while auto-enable is off does nothing observable
// before its enable (Cyclone 0.10 cannot create disabled entities).
//
// Locking: one mutex per participant guards the participant's tree (lists,
// enabled flags, Cyclone handles). It is never held while a callback runs or
// while a dispatcher thread is joined. Raw takes and writes do not take it:
// they read the entity's Cyclone handle, which Cyclone validates itself.
// Only src/middleware includes this header.
#pragma once

#include <algorithm>
#include <atomic>
#include <deque>
#include <array>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <dds/dds.h>
#include <dds/ddsi/ddsi_sertype.h>

#include "middleware/binding_internal.h"
#include "middleware/dispatcher.h"
#include "middleware/raw_io.h"

struct dds_DomainParticipantFactory {
  std::mutex mutex;
  bool autoenable = true;
  std::vector<dds_DomainParticipant*> participants;
};

struct dds_Topic {
  dds_DomainParticipant* participant = nullptr;
  std::string name;
  std::string type_name;
  bool keyed = false;
  dds_TopicQos qos{};
  dds_entity_t cyclone = 0;
  // The sertype Cyclone uses for this topic (valid while the topic exists).
  ddsi_sertype* sertype = nullptr;
  int users = 0;  // readers and writers created on it
};

struct dds_Publisher {
  dds_DomainParticipant* participant = nullptr;
  dds_PublisherQos qos{};
  bool autoenable_children = true;
  bool enable_with_parent = false;  // enable when the participant is enabled
  bool enabled = false;
  dds_entity_t cyclone = 0;
  std::vector<dds_DataWriter*> writers;
};

struct dds_Subscriber {
  dds_DomainParticipant* participant = nullptr;
  dds_SubscriberQos qos{};
  bool builtin = false;
  bool autoenable_children = true;
  bool enable_with_parent = false;
  bool enabled = false;
  dds_entity_t cyclone = 0;
  std::vector<dds_DataReader*> readers;
};

struct dds_DataWriter {
  dds_Publisher* publisher = nullptr;
  dds_Topic* topic = nullptr;
  dds_DataWriterQos qos{};
  bool enable_with_parent = false;
  bool enabled = false;
  std::atomic<dds_entity_t> cyclone{0};
  std::atomic<ddsi_sertype*> sertype{nullptr};
  std::atomic<void*> context[2] = {nullptr, nullptr};
};

namespace rnr::mw {

// What the built-in publication reader has taken from Cyclone and not yet
// handed to the application.
struct PublicationItem {
  dds_PublicationBuiltinTopicData data;
  dds_SampleInfo info;
};

// A remote writer as discovery announced it.
struct KnownPublication {
  uint8_t guid[16];
  dds_PublicationBuiltinTopicData data;
  rnr::qos::WriterQos qos;
};

}  // namespace rnr::mw

struct dds_DataReader {
  enum class Kind { raw, builtin_publications };
  Kind kind = Kind::raw;
  dds_Subscriber* subscriber = nullptr;
  dds_Topic* topic = nullptr;  // null for the built-in reader
  dds_DataReaderQos qos{};
  bool enable_with_parent = false;
  bool enabled = false;
  std::atomic<dds_entity_t> cyclone{0};
  std::shared_ptr<rnr::mw::Dispatcher> dispatcher;
  dds_DataReaderListener listener{};
  dds_StatusMask mask = 0;
  std::atomic<void*> context[2] = {nullptr, nullptr};
  std::shared_ptr<rnr::mw::RawTakeBuffers> take_buffers =
      std::make_shared<rnr::mw::RawTakeBuffers>();

  // Built-in reader only.
  std::mutex queue_mutex;
  std::deque<rnr::mw::PublicationItem> queue;
};

struct dds_DomainParticipant {
  dds_DomainId_t domain_id = 0;
  bool autoenable_children = true;
  bool enabled = false;
  bool deleting = false;
  std::mutex mutex;
  std::atomic<dds_entity_t> cyclone{0};
  dds_guid_t guid{};
  std::map<std::string, bool> registered_types;  // type name -> keyed
  std::vector<dds_Publisher*> publishers;
  std::vector<dds_Subscriber*> subscribers;
  std::vector<dds_Topic*> topics;
  dds_Subscriber* builtin_subscriber = nullptr;
  dds_DataReader* builtin_reader = nullptr;

  // Type information announced by discovered remote writers, by type name.
  std::mutex typeinfo_mutex;
  std::map<std::string, std::vector<std::shared_ptr<const dds_typeinfo_t>>> typeinfos;

  // Remote writers announced so far, by Cyclone instance handle, and the
  // handle of each by writer GUID (looked up for every announcement: a scan
  // would make discovery of many writers quadratic).
  std::mutex publications_mutex;
  std::map<dds_instance_handle_t, rnr::mw::KnownPublication> publications;
  std::map<std::array<uint8_t, 16>, dds_instance_handle_t> publication_handles;
};

// ---------------------------------------------------------------------------
// What the binding's files share. Each entity kind has its file (qos.cpp,
// participant.cpp, topic.cpp, publisher_subscriber.cpp, reader.cpp,
// writer.cpp, builtin_publications.cpp, raw_io.cpp); these are the functions
// one of them calls in another.

namespace rnr::mw {

// Removes `item` from `list`; false when it was not there.
template <typename T>
bool erase_from(std::vector<T*>& list, T* item) {
  auto it = std::find(list.begin(), list.end(), item);
  if (it == list.end()) {
    return false;
  }
  list.erase(it);
  return true;
}

// Whether a reader or writer may be created on `topic` now: the participant
// is not being deleted and the topic is one of its own. Mutex held.
inline bool topic_usable_locked(const dds_DomainParticipant* p, const dds_Topic* topic) {
  return !p->deleting && std::find(p->topics.begin(), p->topics.end(), topic) != p->topics.end();
}

// Deletes a reader or writer of `group` (a subscriber or a publisher).
template <typename Group, typename Endpoint>
dds_ReturnCode_t delete_endpoint(Group* group, Endpoint* endpoint,
                                 std::vector<Endpoint*> Group::*endpoints,
                                 void (*destroy)(Endpoint*)) {
  {
    std::lock_guard<std::mutex> lock(group->participant->mutex);
    if (!erase_from(group->*endpoints, endpoint)) {
      return dds_RETCODE_PRECONDITION_NOT_MET;
    }
    endpoint->topic->users--;
  }
  destroy(endpoint);
  return dds_RETCODE_OK;
}

// Context slots 0 and 1 of a reader or writer.
template <typename Endpoint>
dds_ReturnCode_t set_context(Endpoint* endpoint, int slot, void* context) {
  if (endpoint == nullptr || slot < 0 || slot > 1) {
    return dds_RETCODE_BAD_PARAMETER;
  }
  endpoint->context[slot].store(context);
  return dds_RETCODE_OK;
}
template <typename Endpoint>
void* get_context(const Endpoint* endpoint, int slot) {
  if (endpoint == nullptr || slot < 0 || slot > 1) {
    return nullptr;
  }
  return endpoint->context[slot].load();
}

// conversions.cpp: Cyclone's return codes (logged under `what`) and sample
// infos in the binding's terms.
dds_ReturnCode_t from_cyclone(dds_return_t rc);
void log_cyclone_failure(const char* what, dds_return_t rc);
void fill_states(const dds_sample_info_t& si, dds_SampleInfo* out);

// qos.cpp: QoS translation. reader_qos and writer_qos build a new Cyclone
// QoS (the caller deletes it), null for an unusable QoS.
dds_durability_kind_t to_cyclone(dds_DurabilityQosPolicyKind kind);
dds_DurabilityQosPolicyKind from_cyclone(dds_durability_kind_t kind);
void set_reliability(dds_qos_t* q, const dds_ReliabilityQosPolicy& r);
bool valid_representation(dds_DataRepresentationId_t id);
dds_qos_t* reader_qos(const dds_DataReaderQos& qos);
// The Cyclone QoS of a publisher or subscriber.
dds_qos_t* group_qos(const std::vector<std::string>& partitions,
                     const rnr::qos::Presentation& presentation);
// qos_cyclone.cpp: everything a discovered endpoint's QoS offers.
rnr::qos::WriterQos writer_qos_from(const dds_qos_t* qos);
dds_qos_t* writer_qos(const dds_DataWriterQos& qos);

// Enabling, with the participant mutex held: each creates the Cyclone
// counterpart of an entity whose parent is enabled (PRECONDITION_NOT_MET
// otherwise), a group then enables its children that wait for it. OK for an
// entity that is enabled already.
dds_ReturnCode_t materialize_topic(dds_DomainParticipant* p, dds_Topic* t);  // topic.cpp
dds_ReturnCode_t enable_publisher_locked(dds_Publisher* pub);  // publisher_subscriber.cpp
dds_ReturnCode_t enable_subscriber_locked(dds_Subscriber* s);  // publisher_subscriber.cpp
dds_ReturnCode_t enable_reader_locked(dds_DataReader* r);      // reader.cpp
dds_ReturnCode_t enable_writer_locked(dds_DataWriter* w);      // writer.cpp
dds_ReturnCode_t enable_builtin_reader_locked(
    dds_DomainParticipant* p);  // builtin_publications.cpp

// Deletion of a reader or writer already removed from its parent's list,
// with the participant mutex not held (destroy_reader waits for a running
// callback).
void destroy_reader(dds_DataReader* r);  // reader.cpp
void destroy_writer(dds_DataWriter* w);  // writer.cpp

// reader.cpp: a new Cyclone listener whose data-available callback wakes
// `dispatcher` (the caller deletes the listener).
dds_listener_t* make_listener(Dispatcher* dispatcher);

// builtin_publications.cpp: moves what Cyclone's built-in publication reader
// holds into the binding reader's queue.
void drain_builtin(dds_DataReader* r);

// writer.cpp: set once a batching writer has been created (raw_io.cpp then
// flushes after each write of a writer that does not batch).
extern std::atomic<bool> g_batching_switched_on;

}  // namespace rnr::mw
