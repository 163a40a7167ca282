// Readers: creation, enabling (a Cyclone reader whose listener wakes the
// reader's dispatcher), the application's listener, context slots and
// deletion.
#include "middleware/entities.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

using namespace rnr::mw;  // the binding's private helpers (entities.h)

namespace {

void on_cyclone_data_available(dds_entity_t reader, void* arg) {
  (void)reader;
  static_cast<Dispatcher*>(arg)->notify();
}

}  // namespace

namespace rnr::mw {

dds_listener_t* make_listener(Dispatcher* dispatcher) {
  dds_listener_t* l = dds_create_listener(dispatcher);
  dds_lset_data_available(l, on_cyclone_data_available);
  return l;
}

dds_ReturnCode_t enable_reader_locked(dds_DataReader* r) {
  if (r->enabled) {
    return dds_RETCODE_OK;
  }
  dds_Subscriber* s = r->subscriber;
  if (!s->enabled) {
    return dds_RETCODE_PRECONDITION_NOT_MET;
  }
  dds_DomainParticipant* p = s->participant;
  dds_ReturnCode_t rc = materialize_topic(p, r->topic);
  if (rc != dds_RETCODE_OK) {
    return rc;
  }
  dds_qos_t* q = reader_qos(r->qos);
  if (q == nullptr) {
    return dds_RETCODE_BAD_PARAMETER;
  }
  if (!r->dispatcher->start()) {
    dds_delete_qos(q);
    return dds_RETCODE_OUT_OF_RESOURCES;
  }
  dds_listener_t* l = make_listener(r->dispatcher.get());
  const dds_entity_t rd = dds_create_reader(s->cyclone, r->topic->cyclone, q, l);
  dds_delete_listener(l);
  dds_delete_qos(q);
  if (rd < 0) {
    log_cyclone_failure("creating a reader", rd);
    return from_cyclone(rd);
  }
  r->cyclone = rd;
  r->enabled = true;
  const bool wants = (r->mask & dds_DATA_AVAILABLE_STATUS) && r->listener.on_data_available;
  r->dispatcher->set_callback(wants ? r->listener.on_data_available : nullptr);
  return dds_RETCODE_OK;
}

// Stops a reader's callbacks, removes its Cyclone reader and frees it. The
// participant mutex must not be held: this waits for a running callback.
void destroy_reader(dds_DataReader* r) {
  r->dispatcher->stop();
  r->dispatcher->join();
  const dds_entity_t rd = r->cyclone.exchange(0);
  if (rd > 0) {
    dds_delete(rd);
  }
  delete r;
}

}  // namespace rnr::mw

dds_DataReader* dds_Subscriber_create_datareader(dds_Subscriber* subscriber, dds_Topic* topic,
                                                 const dds_DataReaderQos* qos,
                                                 const dds_DataReaderListener* listener,
                                                 dds_StatusMask mask) {
  if (subscriber == nullptr || topic == nullptr || subscriber->builtin ||
      topic->participant != subscriber->participant) {
    return nullptr;
  }
  dds_DomainParticipant* p = subscriber->participant;
  std::lock_guard<std::mutex> lock(p->mutex);
  if (!topic_usable_locked(p, topic)) {
    return nullptr;
  }
  auto* r = new (std::nothrow) dds_DataReader();
  if (r == nullptr) {
    return nullptr;
  }
  try {
    r->subscriber = subscriber;
    r->topic = topic;
    if (qos != nullptr) {
      r->qos = *qos;
    } else {
      (void)dds_Subscriber_get_default_datareader_qos(subscriber, &r->qos);
    }
    if (listener != nullptr) {
      r->listener = *listener;
      r->mask = mask;
    }
    r->dispatcher = std::make_shared<Dispatcher>(r);
    r->dispatcher->set_has_more(nullptr);
    r->enable_with_parent = subscriber->autoenable_children;
    if (r->enable_with_parent && subscriber->enabled && enable_reader_locked(r) != dds_RETCODE_OK) {
      r->dispatcher->join();
      delete r;
      return nullptr;
    }
    subscriber->readers.push_back(r);
  } catch (const std::bad_alloc&) {
    if (r->dispatcher) {
      r->dispatcher->join();
    }
    if (r->cyclone > 0)
      dds_delete(r->cyclone);
    delete r;
    return nullptr;
  }
  topic->users++;
  return r;
}

dds_ReturnCode_t dds_Subscriber_delete_datareader(dds_Subscriber* subscriber,
                                                  dds_DataReader* reader) {
  if (subscriber == nullptr || reader == nullptr || subscriber->builtin) {
    return dds_RETCODE_BAD_PARAMETER;
  }
  return delete_endpoint(subscriber, reader, &dds_Subscriber::readers, destroy_reader);
}

dds_DataReader* dds_Subscriber_get_contained_datareader_by_name(dds_Subscriber* subscriber,
                                                                const char* name) {
  if (subscriber == nullptr || name == nullptr) {
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(subscriber->participant->mutex);
  if (subscriber->builtin) {
    return std::strcmp(name, "dds_BuiltinPublications") == 0
               ? subscriber->participant->builtin_reader
               : nullptr;
  }
  for (dds_DataReader* r : subscriber->readers) {
    if (r->topic->name == name) {
      return r;
    }
  }
  return nullptr;
}

dds_ReturnCode_t dds_DataReader_enable(dds_DataReader* reader) {
  if (reader == nullptr) {
    return dds_RETCODE_BAD_PARAMETER;
  }
  dds_DomainParticipant* p = reader->subscriber->participant;
  std::lock_guard<std::mutex> lock(p->mutex);
  if (reader->kind == dds_DataReader::Kind::builtin_publications) {
    return p->enabled ? dds_RETCODE_OK : dds_RETCODE_PRECONDITION_NOT_MET;
  }
  return enable_reader_locked(reader);
}

dds_ReturnCode_t dds_DataReader_set_listener(dds_DataReader* reader,
                                             const dds_DataReaderListener* listener,
                                             dds_StatusMask mask) {
  if (reader == nullptr) {
    return dds_RETCODE_BAD_PARAMETER;
  }
  std::lock_guard<std::mutex> lock(reader->subscriber->participant->mutex);
  reader->listener = listener != nullptr ? *listener : dds_DataReaderListener{};
  reader->mask = listener != nullptr ? mask : 0;
  if (reader->enabled) {
    const bool wants =
        (reader->mask & dds_DATA_AVAILABLE_STATUS) && reader->listener.on_data_available;
    reader->dispatcher->set_callback(wants ? reader->listener.on_data_available : nullptr);
  }
  return dds_RETCODE_OK;
}

dds_ReturnCode_t dds_Entity_set_context(dds_DataReader* reader, int slot, void* context) {
  return set_context(reader, slot, context);
}

void* dds_Entity_get_context(const dds_DataReader* reader, int slot) {
  return get_context(reader, slot);
}

dds_ReturnCode_t dds_DataReader_get_sample_loss(dds_DataReader* reader,
                                                dds_SampleLossStatus* status) {
  if (reader == nullptr || status == nullptr) {
    return dds_RETCODE_BAD_PARAMETER;
  }
  const dds_entity_t rd = reader->cyclone.load();
  if (rd <= 0) {
    return dds_RETCODE_NOT_ENABLED;
  }
  dds_sample_lost_status_t lost{};
  dds_sample_rejected_status_t rejected{};
  dds_ReturnCode_t ret = from_cyclone(dds_get_sample_lost_status(rd, &lost));
  if (ret == dds_RETCODE_OK) {
    ret = from_cyclone(dds_get_sample_rejected_status(rd, &rejected));
  }
  if (ret != dds_RETCODE_OK) {
    return ret;
  }
  status->lost = lost.total_count;
  status->rejected = rejected.total_count;
  return dds_RETCODE_OK;
}
