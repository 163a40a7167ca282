// The binding's entities. Each one records what it was created with and
// creates its Cyclone counterpart only when it is enabled, so that an entity
// created while auto-enable is off does nothing observable before its enable
// (Cyclone 0.10 cannot create disabled entities).
//
// Locking: one mutex per participant guards the participant's tree (lists,
// enabled flags, Cyclone handles). It is never held while a callback runs or
// while a dispatcher thread is joined. Raw takes and writes do not take it:
// they read the entity's Cyclone handle, which Cyclone validates itself.
// Only src/middleware includes this header.
#pragma once

#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <dds/dds.h>
#include <dds/ddsi/ddsi_sertype.h>

#include "middleware/binding_internal.h"
#include "middleware/dispatcher.h"

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
  bool autoenable_children = true;
  bool enable_with_parent = false;  // enable when the participant is enabled
  bool enabled = false;
  dds_entity_t cyclone = 0;
  std::vector<dds_DataWriter*> writers;
};

struct dds_Subscriber {
  dds_DomainParticipant* participant = nullptr;
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

// The buffers of a raw take: Cyclone's samples (one reference each) and their
// infos. Each reader keeps one set for reuse; it is lent out with the loan
// and released when the loan is returned. A take while it is lent out (a
// second thread) uses a set of its own.
struct RawTakeBuffers {
  std::vector<ddsi_serdata*> samples;
  std::vector<dds_sample_info_t> infos;
  std::atomic<bool> lent{false};
  void release();
  ~RawTakeBuffers() { release(); }
};

// A remote writer as discovery announced it.
struct KnownPublication {
  uint8_t guid[16];
  dds_PublicationBuiltinTopicData data;
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

  // Remote writers announced so far, by Cyclone instance handle.
  std::mutex publications_mutex;
  std::map<dds_instance_handle_t, rnr::mw::KnownPublication> publications;
};
