// Topics and the raw type supports registered for them: a topic is created
// on a registered type name and reaches Cyclone, with a raw sertype, when its
// participant is enabled.
#include "middleware/entities.h"

#include <algorithm>
#include <mutex>
#include <new>

#include "types/name_field.h"
#include "middleware/raw_type.h"

using namespace rnr::mw;  // the binding's private helpers (entities.h)

namespace {

// A topic or type name the binding accepts: 1 to 255 characters, what the
// name fields of a built-in publication sample can carry, so the longest name
// that can ever be discovered. (Cyclone itself crashes on names near 64 KiB.)
bool usable_name(const char* name) {
  return name != nullptr && name[0] != '\0' && rnr_name_fits(name);
}

}  // namespace

namespace rnr::mw {

dds_ReturnCode_t materialize_topic(dds_DomainParticipant* p, dds_Topic* t) {
  if (t->cyclone > 0) {
    return dds_RETCODE_OK;
  }
  ddsi_sertype* st = rnr::mw::raw_sertype_create(t->type_name, t->keyed);
  if (st == nullptr) {
    return dds_RETCODE_OUT_OF_RESOURCES;
  }
  ddsi_sertype* own = st;
  dds_qos_t* q = dds_create_qos();
  set_reliability(q, t->qos.reliability);
  dds_qset_durability(q, to_cyclone(t->qos.durability.kind));
  const dds_entity_t tp =
      dds_create_topic_sertype(p->cyclone.load(), t->name.c_str(), &st, q, nullptr, nullptr);
  dds_delete_qos(q);
  if (tp < 0) {
    ddsi_sertype_unref(own);
    log_cyclone_failure("creating a topic", tp);
    return from_cyclone(tp);
  }
  t->cyclone = tp;
  t->sertype = st;
  return dds_RETCODE_OK;
}

}  // namespace rnr::mw

dds_Topic* dds_DomainParticipant_create_topic(dds_DomainParticipant* participant,
                                              const char* topic_name, const char* type_name,
                                              const dds_TopicQos* qos,
                                              const dds_TopicListener* listener,
                                              dds_StatusMask mask) {
  (void)listener;
  (void)mask;
  if (participant == nullptr || !usable_name(topic_name) || !usable_name(type_name)) {
    return nullptr;
  }
  dds_DomainParticipant* p = participant;
  std::lock_guard<std::mutex> lock(p->mutex);
  if (p->deleting) {
    return nullptr;
  }
  auto reg = p->registered_types.find(type_name);
  if (reg == p->registered_types.end()) {
    return nullptr;
  }
  auto* t = new (std::nothrow) dds_Topic();
  if (t == nullptr) {
    return nullptr;
  }
  try {
    t->participant = p;
    t->name = topic_name;
    t->type_name = type_name;
    t->keyed = reg->second;
    if (qos != nullptr) {
      t->qos = *qos;
    } else {
      (void)dds_DomainParticipant_get_default_topic_qos(p, &t->qos);
    }
    if (p->enabled && materialize_topic(p, t) != dds_RETCODE_OK) {
      delete t;
      return nullptr;
    }
    p->topics.push_back(t);
  } catch (const std::bad_alloc&) {
    if (t->cyclone > 0)
      dds_delete(t->cyclone);
    delete t;
    return nullptr;
  }
  return t;
}

dds_ReturnCode_t dds_DomainParticipant_delete_topic(dds_DomainParticipant* participant,
                                                    dds_Topic* topic) {
  if (participant == nullptr || topic == nullptr) {
    return dds_RETCODE_BAD_PARAMETER;
  }
  std::lock_guard<std::mutex> lock(participant->mutex);
  auto it = std::find(participant->topics.begin(), participant->topics.end(), topic);
  if (it == participant->topics.end() || topic->users > 0) {
    return dds_RETCODE_PRECONDITION_NOT_MET;
  }
  participant->topics.erase(it);
  if (topic->cyclone > 0) {
    dds_delete(topic->cyclone);
  }
  delete topic;
  return dds_RETCODE_OK;
}

dds_TypeSupport* dds_TypeSupport_raw_create() {
  return new (std::nothrow) RawTypeSupport(false);
}

dds_TypeSupport* dds_TypeSupport_raw_create_w_key() {
  return new (std::nothrow) RawTypeSupport(true);
}

dds_ReturnCode_t dds_TypeSupport_register_type(dds_TypeSupport* type_support,
                                               dds_DomainParticipant* participant,
                                               const char* type_name) {
  if (type_support == nullptr || participant == nullptr || !usable_name(type_name)) {
    return dds_RETCODE_BAD_PARAMETER;
  }
  const auto* raw = dynamic_cast<const RawTypeSupport*>(type_support);
  if (raw == nullptr) {
    return dds_RETCODE_UNSUPPORTED;
  }
  std::lock_guard<std::mutex> lock(participant->mutex);
  try {
    participant->registered_types[type_name] = raw->keyed;
  } catch (const std::bad_alloc&) {
    return dds_RETCODE_OUT_OF_RESOURCES;
  }
  return dds_RETCODE_OK;
}

void dds_TypeSupport_delete(dds_TypeSupport* type_support) {
  delete type_support;
}
