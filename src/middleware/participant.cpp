// The participant factory and participants: creation (with the built-in
// subscriber and its publication reader), enabling, which brings the
// participant's whole tree to Cyclone, and deletion.
#include "middleware/entities.h"

#include <memory>
#include <mutex>
#include <new>

#include "middleware/participant_internal.h"

using namespace rnr::mw;  // the binding's private helpers (entities.h)

namespace {

// RTPS port mapping with Cyclone's defaults (port base 7400, domain gain
// 250, unicast offset 11 and participant gain 2, up to 60 participants)
// leaves the 16-bit port range after domain 232.
constexpr dds_DomainId_t kMaxDomainId = 232;

dds_ReturnCode_t enable_participant_locked(dds_DomainParticipant* p) {
  if (p->enabled) {
    return dds_RETCODE_OK;
  }
  if (p->deleting) {
    return dds_RETCODE_ALREADY_DELETED;
  }
  const dds_entity_t pp =
      dds_create_participant(static_cast<dds_domainid_t>(p->domain_id), nullptr, nullptr);
  if (pp < 0) {
    log_cyclone_failure("creating a participant", pp);
    return from_cyclone(pp);
  }
  if (from_cyclone(dds_get_guid(pp, &p->guid)) != dds_RETCODE_OK) {
    dds_delete(pp);
    return dds_RETCODE_ERROR;
  }
  p->cyclone = pp;
  p->enabled = true;
  dds_ReturnCode_t rc = enable_builtin_reader_locked(p);
  if (rc != dds_RETCODE_OK) {
    p->enabled = false;
    p->cyclone = 0;
    dds_delete(pp);
    return rc;
  }
  for (dds_Topic* t : p->topics) {
    (void)materialize_topic(p, t);
  }
  for (dds_Publisher* pub : p->publishers) {
    if (pub->enable_with_parent) {
      (void)enable_publisher_locked(pub);
    }
  }
  for (dds_Subscriber* s : p->subscribers) {
    if (s->enable_with_parent) {
      (void)enable_subscriber_locked(s);
    }
  }
  return dds_RETCODE_OK;
}

dds_DomainParticipantFactory g_factory;

}  // namespace

dds_DomainParticipantFactory* dds_DomainParticipantFactory_get_instance() {
  return &g_factory;
}

dds_ReturnCode_t dds_DomainParticipantFactory_get_qos(dds_DomainParticipantFactory* factory,
                                                      dds_DomainParticipantFactoryQos* qos) {
  if (factory == nullptr || qos == nullptr) {
    return dds_RETCODE_BAD_PARAMETER;
  }
  std::lock_guard<std::mutex> lock(factory->mutex);
  qos->entity_factory.autoenable_created_entities = factory->autoenable;
  return dds_RETCODE_OK;
}

dds_ReturnCode_t dds_DomainParticipantFactory_set_qos(dds_DomainParticipantFactory* factory,
                                                      const dds_DomainParticipantFactoryQos* qos) {
  if (factory == nullptr || qos == nullptr) {
    return dds_RETCODE_BAD_PARAMETER;
  }
  std::lock_guard<std::mutex> lock(factory->mutex);
  factory->autoenable = qos->entity_factory.autoenable_created_entities;
  return dds_RETCODE_OK;
}

dds_DomainParticipant* dds_DomainParticipantFactory_create_participant(
    dds_DomainParticipantFactory* factory, dds_DomainId_t domain_id,
    const dds_DomainParticipantQos* qos, const dds_DomainParticipantListener* listener,
    dds_StatusMask mask) {
  (void)listener;
  (void)mask;
  if (factory == nullptr || domain_id < 0 || domain_id > kMaxDomainId) {
    return nullptr;
  }
  auto* p = new (std::nothrow) dds_DomainParticipant();
  if (p == nullptr) {
    return nullptr;
  }
  p->domain_id = domain_id;
  p->autoenable_children = qos == nullptr || qos->entity_factory.autoenable_created_entities;
  try {
    auto* bs = new dds_Subscriber();
    bs->participant = p;
    bs->builtin = true;
    bs->autoenable_children = false;
    p->builtin_subscriber = bs;
    auto* br = new dds_DataReader();
    br->kind = dds_DataReader::Kind::builtin_publications;
    br->subscriber = bs;
    br->dispatcher = std::make_shared<Dispatcher>(br, Dispatcher::Lane::own_thread);
    br->dispatcher->set_prepare([br] { drain_builtin(br); });
    br->dispatcher->set_has_more([br] {
      std::lock_guard<std::mutex> lock(br->queue_mutex);
      return !br->queue.empty();
    });
    p->builtin_reader = br;
    bs->readers.push_back(br);
  } catch (const std::bad_alloc&) {
    delete p->builtin_reader;
    delete p->builtin_subscriber;
    delete p;
    return nullptr;
  }
  bool autoenable;
  {
    std::lock_guard<std::mutex> lock(factory->mutex);
    autoenable = factory->autoenable;
  }
  if (autoenable) {
    dds_ReturnCode_t rc;
    {
      std::lock_guard<std::mutex> lock(p->mutex);
      rc = enable_participant_locked(p);
    }
    if (rc != dds_RETCODE_OK) {
      p->builtin_reader->dispatcher->join();
      delete p->builtin_reader;
      delete p->builtin_subscriber;
      delete p;
      return nullptr;
    }
  }
  std::lock_guard<std::mutex> lock(factory->mutex);
  factory->participants.push_back(p);
  return p;
}

dds_ReturnCode_t dds_DomainParticipantFactory_delete_participant(
    dds_DomainParticipantFactory* factory, dds_DomainParticipant* participant) {
  if (factory == nullptr || participant == nullptr) {
    return dds_RETCODE_BAD_PARAMETER;
  }
  {
    std::lock_guard<std::mutex> lock(factory->mutex);
    if (!erase_from(factory->participants, participant)) {
      return dds_RETCODE_BAD_PARAMETER;
    }
  }
  dds_DomainParticipant* p = participant;
  std::vector<dds_DataReader*> readers;
  std::vector<dds_DataWriter*> writers;
  {
    std::lock_guard<std::mutex> lock(p->mutex);
    p->deleting = true;
    for (dds_Subscriber* s : p->subscribers) {
      readers.insert(readers.end(), s->readers.begin(), s->readers.end());
      s->readers.clear();
    }
    readers.push_back(p->builtin_reader);
    for (dds_Publisher* pub : p->publishers) {
      writers.insert(writers.end(), pub->writers.begin(), pub->writers.end());
      pub->writers.clear();
    }
  }
  // No callback starts from here on; running ones finish before the entities
  // they may use go away. Callbacks that try to create entities now fail.
  for (dds_DataReader* r : readers) {
    r->dispatcher->stop();
  }
  for (dds_DataReader* r : readers) {
    destroy_reader(r);
  }
  for (dds_DataWriter* w : writers) {
    destroy_writer(w);
  }
  const dds_entity_t pp = p->cyclone.exchange(0);
  if (pp > 0) {
    dds_delete(pp);  // topics, publishers and subscribers go with it
  }
  for (dds_Publisher* pub : p->publishers)
    delete pub;
  for (dds_Subscriber* s : p->subscribers)
    delete s;
  for (dds_Topic* t : p->topics)
    delete t;
  delete p->builtin_subscriber;
  delete p;
  return dds_RETCODE_OK;
}

dds_ReturnCode_t dds_DomainParticipant_enable(dds_DomainParticipant* participant) {
  if (participant == nullptr) {
    return dds_RETCODE_BAD_PARAMETER;
  }
  std::lock_guard<std::mutex> lock(participant->mutex);
  return enable_participant_locked(participant);
}

dds_Subscriber* dds_DomainParticipant_get_builtin_subscriber(dds_DomainParticipant* participant) {
  return participant == nullptr ? nullptr : participant->builtin_subscriber;
}

namespace rnr::mw {

dds_entity_t cyclone_participant(const dds_DomainParticipant* participant) {
  return participant == nullptr ? 0 : participant->cyclone.load();
}

}  // namespace rnr::mw
