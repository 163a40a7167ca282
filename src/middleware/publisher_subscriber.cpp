// Publishers and subscribers, the two group kinds, share one implementation:
// they differ only in the Cyclone call that creates them and in the kind of
// children they hold.
#include "middleware/entities.h"

#include <mutex>
#include <new>
#include <vector>

using namespace rnr::mw;  // the binding's private helpers (entities.h)

namespace {

// Creates the Cyclone counterpart of a publisher or subscriber, then enables
// the children that wait for it.
template <typename Group, typename Child>
dds_ReturnCode_t enable_group_locked(Group* g,
                                     dds_entity_t (*create)(dds_entity_t, const dds_qos_t*,
                                                            const dds_listener_t*),
                                     const char* what, std::vector<Child*> Group::*children,
                                     dds_ReturnCode_t (*enable_child_locked)(Child*)) {
  dds_DomainParticipant* p = g->participant;
  if (g->enabled) {
    return dds_RETCODE_OK;
  }
  if (!p->enabled) {
    return dds_RETCODE_PRECONDITION_NOT_MET;
  }
  dds_qos_t* q = group_qos(g->qos.partitions, g->qos.presentation);
  const dds_entity_t handle = create(p->cyclone.load(), q, nullptr);
  dds_delete_qos(q);
  if (handle < 0) {
    log_cyclone_failure(what, handle);
    return from_cyclone(handle);
  }
  g->cyclone = handle;
  g->enabled = true;
  for (Child* c : g->*children) {
    if (c->enable_with_parent) {
      (void)enable_child_locked(c);
    }
  }
  return dds_RETCODE_OK;
}

// Publishers and subscribers are created and deleted alike: they differ only
// in how they are enabled and in the kind of children they hold.
template <typename Group, typename Qos>
Group* create_group(dds_DomainParticipant* p, const Qos* qos,
                    std::vector<Group*> dds_DomainParticipant::*groups,
                    dds_ReturnCode_t (*enable_locked)(Group*)) {
  if (p == nullptr) {
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(p->mutex);
  if (p->deleting) {
    return nullptr;
  }
  auto* g = new (std::nothrow) Group();
  if (g == nullptr) {
    return nullptr;
  }
  g->participant = p;
  g->autoenable_children = qos == nullptr || qos->entity_factory.autoenable_created_entities;
  if (qos != nullptr) {
    try {
      g->qos = *qos;
    } catch (const std::bad_alloc&) {
      delete g;
      return nullptr;
    }
  }
  g->enable_with_parent = p->autoenable_children;
  if (g->enable_with_parent && p->enabled && enable_locked(g) != dds_RETCODE_OK) {
    delete g;
    return nullptr;
  }
  try {
    (p->*groups).push_back(g);
  } catch (const std::bad_alloc&) {
    if (g->cyclone > 0)
      dds_delete(g->cyclone);
    delete g;
    return nullptr;
  }
  return g;
}

template <typename Group, typename Child>
dds_ReturnCode_t delete_group(dds_DomainParticipant* p, Group* g,
                              std::vector<Group*> dds_DomainParticipant::*groups,
                              std::vector<Child*> Group::*children, void (*destroy)(Child*)) {
  if (p == nullptr || g == nullptr) {
    return dds_RETCODE_BAD_PARAMETER;
  }
  std::vector<Child*> doomed;
  {
    std::lock_guard<std::mutex> lock(p->mutex);
    if (!erase_from(p->*groups, g)) {
      return dds_RETCODE_PRECONDITION_NOT_MET;
    }
    doomed.swap(g->*children);
    for (Child* c : doomed) {
      c->topic->users--;
    }
  }
  for (Child* c : doomed) {
    destroy(c);
  }
  if (g->cyclone > 0) {
    dds_delete(g->cyclone);
  }
  delete g;
  return dds_RETCODE_OK;
}

}  // namespace

namespace rnr::mw {

dds_ReturnCode_t enable_subscriber_locked(dds_Subscriber* s) {
  return enable_group_locked(s, dds_create_subscriber, "creating a subscriber",
                             &dds_Subscriber::readers, enable_reader_locked);
}

dds_ReturnCode_t enable_publisher_locked(dds_Publisher* pub) {
  return enable_group_locked(pub, dds_create_publisher, "creating a publisher",
                             &dds_Publisher::writers, enable_writer_locked);
}

}  // namespace rnr::mw

dds_Publisher* dds_DomainParticipant_create_publisher(dds_DomainParticipant* participant,
                                                      const dds_PublisherQos* qos,
                                                      const dds_PublisherListener* listener,
                                                      dds_StatusMask mask) {
  (void)listener;
  (void)mask;
  return create_group(participant, qos, &dds_DomainParticipant::publishers,
                      enable_publisher_locked);
}

dds_ReturnCode_t dds_DomainParticipant_delete_publisher(dds_DomainParticipant* participant,
                                                        dds_Publisher* publisher) {
  return delete_group(participant, publisher, &dds_DomainParticipant::publishers,
                      &dds_Publisher::writers, destroy_writer);
}

dds_Subscriber* dds_DomainParticipant_create_subscriber(dds_DomainParticipant* participant,
                                                        const dds_SubscriberQos* qos,
                                                        const dds_SubscriberListener* listener,
                                                        dds_StatusMask mask) {
  (void)listener;
  (void)mask;
  return create_group(participant, qos, &dds_DomainParticipant::subscribers,
                      enable_subscriber_locked);
}

dds_ReturnCode_t dds_DomainParticipant_delete_subscriber(dds_DomainParticipant* participant,
                                                         dds_Subscriber* subscriber) {
  return delete_group(participant, subscriber, &dds_DomainParticipant::subscribers,
                      &dds_Subscriber::readers, destroy_reader);
}

dds_ReturnCode_t dds_Subscriber_enable(dds_Subscriber* subscriber) {
  if (subscriber == nullptr) {
    return dds_RETCODE_BAD_PARAMETER;
  }
  std::lock_guard<std::mutex> lock(subscriber->participant->mutex);
  if (subscriber->builtin) {
    return subscriber->participant->enabled ? dds_RETCODE_OK : dds_RETCODE_PRECONDITION_NOT_MET;
  }
  return enable_subscriber_locked(subscriber);
}
