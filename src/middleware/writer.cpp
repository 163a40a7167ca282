// Writers: creation, enabling (with Cyclone's process-wide batching switch
// thrown around a batching writer's creation), context slots and deletion.
#include "middleware/entities.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <new>

using namespace rnr::mw;  // the binding's private helpers (entities.h)

namespace rnr::mw {

// Set once a batching writer has been created: writers created on other
// threads at that moment may have been made to batch too, so from then on
// the binding flushes after each write of a writer that does not batch.
std::atomic<bool> g_batching_switched_on{false};

dds_ReturnCode_t enable_writer_locked(dds_DataWriter* w) {
  if (w->enabled) {
    return dds_RETCODE_OK;
  }
  dds_Publisher* pub = w->publisher;
  if (!pub->enabled) {
    return dds_RETCODE_PRECONDITION_NOT_MET;
  }
  dds_ReturnCode_t rc = materialize_topic(pub->participant, w->topic);
  if (rc != dds_RETCODE_OK) {
    return rc;
  }
  dds_qos_t* q = writer_qos(w->qos);
  if (q == nullptr) {
    return dds_RETCODE_BAD_PARAMETER;
  }
  dds_entity_t wr = 0;
  if (w->qos.batch.enable) {
    // Cyclone has one batching switch per process. A writer takes the
    // domain's setting when it is created, and the switch does not reach
    // writers of publishers that exist already; so it is thrown just around
    // this creation. The flag goes up first: a writer of the binding that
    // does not batch but is created meanwhile on another thread then
    // flushes after each of its writes.
    g_batching_switched_on.store(true);
    dds_write_set_batch(true);
    wr = dds_create_writer(pub->cyclone, w->topic->cyclone, q, nullptr);
    dds_write_set_batch(false);
  } else {
    wr = dds_create_writer(pub->cyclone, w->topic->cyclone, q, nullptr);
  }
  dds_delete_qos(q);
  if (wr < 0) {
    log_cyclone_failure("creating a writer", wr);
    return from_cyclone(wr);
  }
  w->sertype = w->topic->sertype;
  w->cyclone = wr;
  w->enabled = true;
  return dds_RETCODE_OK;
}

void destroy_writer(dds_DataWriter* w) {
  const dds_entity_t wr = w->cyclone.exchange(0);
  if (wr > 0) {
    dds_delete(wr);
  }
  delete w;
}

}  // namespace rnr::mw

dds_DataWriter* dds_Publisher_create_datawriter(dds_Publisher* publisher, dds_Topic* topic,
                                                const dds_DataWriterQos* qos,
                                                const dds_DataWriterListener* listener,
                                                dds_StatusMask mask) {
  (void)listener;
  (void)mask;
  if (publisher == nullptr || topic == nullptr || topic->participant != publisher->participant) {
    return nullptr;
  }
  dds_DomainParticipant* p = publisher->participant;
  std::lock_guard<std::mutex> lock(p->mutex);
  if (!topic_usable_locked(p, topic)) {
    return nullptr;
  }
  auto* w = new (std::nothrow) dds_DataWriter();
  if (w == nullptr) {
    return nullptr;
  }
  w->publisher = publisher;
  w->topic = topic;
  if (qos != nullptr) {
    w->qos = *qos;
  } else {
    (void)dds_Publisher_get_default_datawriter_qos(publisher, &w->qos);
  }
  w->enable_with_parent = publisher->autoenable_children;
  if (w->enable_with_parent && publisher->enabled && enable_writer_locked(w) != dds_RETCODE_OK) {
    delete w;
    return nullptr;
  }
  try {
    publisher->writers.push_back(w);
  } catch (const std::bad_alloc&) {
    destroy_writer(w);
    return nullptr;
  }
  topic->users++;
  return w;
}

dds_ReturnCode_t dds_Publisher_delete_datawriter(dds_Publisher* publisher, dds_DataWriter* writer) {
  if (publisher == nullptr || writer == nullptr) {
    return dds_RETCODE_BAD_PARAMETER;
  }
  return delete_endpoint(publisher, writer, &dds_Publisher::writers, destroy_writer);
}

dds_ReturnCode_t dds_DataWriter_enable(dds_DataWriter* writer) {
  if (writer == nullptr) {
    return dds_RETCODE_BAD_PARAMETER;
  }
  std::lock_guard<std::mutex> lock(writer->publisher->participant->mutex);
  return enable_writer_locked(writer);
}

dds_ReturnCode_t dds_Entity_set_context(dds_DataWriter* writer, int slot, void* context) {
  return set_context(writer, slot, context);
}

void* dds_Entity_get_context(const dds_DataWriter* writer, int slot) {
  return get_context(writer, slot);
}

dds_ReturnCode_t dds_DataWriter_get_total_matched(dds_DataWriter* writer, int32_t* total) {
  if (writer == nullptr || total == nullptr) {
    return dds_RETCODE_BAD_PARAMETER;
  }
  const dds_entity_t wr = writer->cyclone.load();
  if (wr <= 0) {
    return dds_RETCODE_NOT_ENABLED;
  }
  dds_publication_matched_status_t status{};
  const dds_ReturnCode_t ret = from_cyclone(dds_get_publication_matched_status(wr, &status));
  if (ret != dds_RETCODE_OK) {
    return ret;
  }
  *total = static_cast<int32_t>(status.total_count);
  return dds_RETCODE_OK;
}
