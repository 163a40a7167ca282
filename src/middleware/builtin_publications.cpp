// The built-in publication reader: what Cyclone's DCPSPublication reader
// discovers, converted to dds_PublicationBuiltinTopicData in the dds_guid
// layout and queued for the application's take; the type information each
// remote writer announced is recorded for type lookup on the way.
#include "middleware/entities.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include <dds/ddsi/ddsi_typelib.h>

#include "types/name_field.h"
#include "middleware/participant_internal.h"

using namespace rnr::mw;  // the binding's private helpers (entities.h)

namespace {

uint32_t entity_id_host(const dds_guid_t& g) {
  return (static_cast<uint32_t>(g.v[12]) << 24) | (static_cast<uint32_t>(g.v[13]) << 16) |
         (static_cast<uint32_t>(g.v[14]) << 8) | static_cast<uint32_t>(g.v[15]);
}

// The dds_guid layout: 12 prefix bytes as on the wire, then the entity id as
// a host-order word (Cyclone's GUID bytes carry it big-endian).
void guid_to_handle(const dds_guid_t& g, dds_InstanceHandle_t* h) {
  std::memcpy(h->value, g.v, 12);
  const uint32_t eid = entity_id_host(g);
  std::memcpy(h->value + 12, &eid, 4);
}

// A name that does not fit its field is reported empty rather than cut, so
// that it can never be taken for another (shorter) name.
void copy_name(rnr_name_field& dst, const char* src) {
  if (!rnr_name_copy(dst, src)) {
    dst[0] = '\0';
  }
}

void record_typeinfo(dds_DomainParticipant* p, const char* type_name,
                     const dds_builtintopic_endpoint_t* ep) {
  const dds_typeinfo_t* ti = nullptr;
  if (type_name == nullptr ||
      from_cyclone(dds_builtintopic_get_endpoint_type_info(
          const_cast<dds_builtintopic_endpoint_t*>(ep), &ti)) != dds_RETCODE_OK ||
      ti == nullptr) {
    return;
  }
  std::lock_guard<std::mutex> lock(p->typeinfo_mutex);
  auto& list = p->typeinfos[type_name];
  for (const auto& known : list) {
    if (ddsi_typeinfo_equal(known.get(), ti, DDSI_TYPE_INCLUDE_DEPS)) {
      return;
    }
  }
  ddsi_typeinfo_t* copy = ddsi_typeinfo_dup(ti);
  if (copy == nullptr) {
    return;
  }
  try {
    list.emplace_back(copy, [](const dds_typeinfo_t* t) {
      auto* m = const_cast<dds_typeinfo_t*>(t);
      ddsi_typeinfo_fini(m);
      dds_free(m);
    });
  } catch (const std::bad_alloc&) {
  }
}

// The publication data of a discovered endpoint, in the binding's form.
void fill_publication(const dds_builtintopic_endpoint_t* ep, bool valid_data,
                      dds_PublicationBuiltinTopicData* data) {
  const uint32_t eid = entity_id_host(ep->key);
  data->key.value[0] = eid;
  std::memcpy(&data->key.value[1], ep->key.v + 4, 8);
  std::memcpy(data->participant_key, ep->participant_key.v, 12);
  if (!valid_data) {
    return;
  }
  copy_name(data->topic_name, ep->topic_name);
  copy_name(data->type_name, ep->type_name);
  dds_durability_kind_t dk = DDS_DURABILITY_VOLATILE;
  if (dds_qget_durability(ep->qos, &dk)) {
    data->durability.kind = from_cyclone(dk);
  }
  dds_reliability_kind_t rk = DDS_RELIABILITY_RELIABLE;
  dds_duration_t blocking = 0;
  data->reliability.kind = dds_RELIABLE_RELIABILITY_QOS;
  if (dds_qget_reliability(ep->qos, &rk, &blocking)) {
    data->reliability.kind = rk == DDS_RELIABILITY_RELIABLE ? dds_RELIABLE_RELIABILITY_QOS
                                                            : dds_BEST_EFFORT_RELIABILITY_QOS;
    data->reliability.max_blocking_time_ns = blocking;
  }
  uint32_t nrep = 0;
  dds_data_representation_id_t* reps = nullptr;
  data->representation.length = 1;
  data->representation.value[0] = dds_XCDR_DATA_REPRESENTATION;
  if (dds_qget_data_representation(ep->qos, &nrep, &reps) && nrep > 0) {
    data->representation.length = 0;
    for (uint32_t k = 0; k < nrep && data->representation.length < 2; k++) {
      if (valid_representation(static_cast<dds_DataRepresentationId_t>(reps[k]))) {
        data->representation.value[data->representation.length++] =
            static_cast<dds_DataRepresentationId_t>(reps[k]);
      }
    }
  }
  dds_free(reps);
}

// Keeps what discovery announced of a remote writer under its Cyclone handle
// (the handle its samples' publication handle carries), so that samples a
// reader still holds from a writer that has gone can be told apart too.
void remember_publication(dds_DomainParticipant* p, dds_instance_handle_t ih,
                          const dds_builtintopic_endpoint_t* ep,
                          const dds_PublicationBuiltinTopicData& data) {
  const dds_guid_t& key = ep->key;
  std::lock_guard<std::mutex> lock(p->publications_mutex);
  try {
    rnr::mw::KnownPublication& known = p->publications[ih];
    dds_InstanceHandle_t h{};
    guid_to_handle(key, &h);
    std::memcpy(known.guid, h.value, sizeof known.guid);
    known.data = data;
    known.qos = writer_qos_from(ep->qos);
    std::array<uint8_t, 16> guid{};
    std::memcpy(guid.data(), h.value, guid.size());
    p->publication_handles[guid] = ih;
  } catch (const std::bad_alloc&) {
  }
}

}  // namespace

namespace rnr::mw {

// Moves what Cyclone's built-in publication reader holds into the binding's
// queue, recording the type information of every announced writer.
void drain_builtin(dds_DataReader* r) {
  const dds_entity_t rd = r->cyclone.load();
  if (rd <= 0) {
    return;
  }
  dds_DomainParticipant* p = r->subscriber->participant;
  constexpr int kBatch = 32;
  std::lock_guard<std::mutex> lock(r->queue_mutex);
  for (;;) {
    void* buf[kBatch] = {};
    dds_sample_info_t si[kBatch];
    const dds_return_t n = dds_take(rd, buf, si, kBatch, kBatch);
    if (n <= 0) {
      return;
    }
    for (dds_return_t i = 0; i < n; i++) {
      const auto* ep = static_cast<const dds_builtintopic_endpoint_t*>(buf[i]);
      if (ep == nullptr) {
        continue;
      }
      if (std::memcmp(ep->participant_key.v, p->guid.v, sizeof p->guid.v) == 0) {
        continue;  // this participant's own writers are not discovered
      }
      PublicationItem item{};
      fill_publication(ep, si[i].valid_data, &item.data);
      if (si[i].valid_data) {
        record_typeinfo(p, ep->type_name, ep);
        remember_publication(p, si[i].instance_handle, ep, item.data);
      }
      fill_states(si[i], &item.info);
      guid_to_handle(ep->key, &item.info.instance_handle);
      item.info.publication_handle = item.info.instance_handle;
      try {
        r->queue.push_back(item);
      } catch (const std::bad_alloc&) {
      }
    }
    dds_return_loan(rd, buf, n);
    if (n < kBatch) {
      return;
    }
  }
}

dds_ReturnCode_t enable_builtin_reader_locked(dds_DomainParticipant* p) {
  dds_DataReader* r = p->builtin_reader;
  if (r->enabled) {
    return dds_RETCODE_OK;
  }
  if (!r->dispatcher->start()) {
    return dds_RETCODE_OUT_OF_RESOURCES;
  }
  dds_listener_t* l = make_listener(r->dispatcher.get());
  const dds_entity_t rd =
      dds_create_reader(p->cyclone.load(), DDS_BUILTIN_TOPIC_DCPSPUBLICATION, nullptr, l);
  dds_delete_listener(l);
  if (rd < 0) {
    log_cyclone_failure("creating the built-in publication reader", rd);
    return from_cyclone(rd);
  }
  r->cyclone = rd;
  r->enabled = true;
  p->builtin_subscriber->enabled = true;
  const bool wants = (r->mask & dds_DATA_AVAILABLE_STATUS) && r->listener.on_data_available;
  r->dispatcher->set_callback(wants ? r->listener.on_data_available : nullptr);
  // Publications already known when the reader was created are waiting.
  r->dispatcher->notify();
  return dds_RETCODE_OK;
}

std::vector<std::shared_ptr<const dds_typeinfo_t>> announced_type_infos(
    const dds_DomainParticipant* participant, const char* type_name) {
  std::vector<std::shared_ptr<const dds_typeinfo_t>> result;
  if (participant == nullptr || type_name == nullptr) {
    return result;
  }
  auto* p = const_cast<dds_DomainParticipant*>(participant);
  // Publications Cyclone has seen but the dispatcher has not yet drained
  // are recorded first.
  if (p->builtin_reader != nullptr) {
    drain_builtin(p->builtin_reader);
  }
  std::lock_guard<std::mutex> lock(p->typeinfo_mutex);
  auto it = p->typeinfos.find(type_name);
  if (it != p->typeinfos.end()) {
    result = it->second;
  }
  return result;
}

size_t announced_type_info_count(const dds_DomainParticipant* participant, const char* type_name) {
  return announced_type_infos(participant, type_name).size();
}

}  // namespace rnr::mw

dds_ReturnCode_t dds_DataReader_take(dds_DataReader* reader, dds_DataSeq* data,
                                     dds_SampleInfoSeq* infos, int32_t max_samples,
                                     dds_SampleStateMask sample_states,
                                     dds_ViewStateMask view_states,
                                     dds_InstanceStateMask instance_states) {
  (void)sample_states;
  (void)view_states;
  (void)instance_states;
  if (reader == nullptr || data == nullptr || infos == nullptr) {
    return dds_RETCODE_BAD_PARAMETER;
  }
  if (reader->kind != dds_DataReader::Kind::builtin_publications) {
    return dds_RETCODE_ILLEGAL_OPERATION;  // raw readers are read with raw_take
  }
  if (reader->cyclone.load() <= 0) {
    return dds_RETCODE_NOT_ENABLED;
  }
  if (data->loan || !data->items.empty() || !infos->items.empty()) {
    return dds_RETCODE_PRECONDITION_NOT_MET;
  }
  uint32_t limit = std::min(data->capacity, infos->capacity);
  if (max_samples >= 0) {
    limit = std::min(limit, static_cast<uint32_t>(max_samples));
  }
  if (limit == 0) {
    return dds_RETCODE_BAD_PARAMETER;
  }
  drain_builtin(reader);
  std::shared_ptr<std::vector<PublicationItem>> loan;
  {
    std::lock_guard<std::mutex> lock(reader->queue_mutex);
    if (reader->queue.empty()) {
      reader->dispatcher->note_take(0, limit);
      return dds_RETCODE_NO_DATA;
    }
    const size_t n = std::min<size_t>(limit, reader->queue.size());
    try {
      loan = std::make_shared<std::vector<PublicationItem>>(reader->queue.begin(),
                                                            reader->queue.begin() + n);
      data->items.reserve(n);
      infos->items.reserve(n);
    } catch (const std::bad_alloc&) {
      return dds_RETCODE_OUT_OF_RESOURCES;
    }
    reader->queue.erase(reader->queue.begin(), reader->queue.begin() + n);
  }
  for (PublicationItem& item : *loan) {
    data->items.push_back(&item.data);
    infos->items.push_back(item.info);
  }
  data->loan = loan;
  reader->dispatcher->note_take(static_cast<long>(loan->size()), limit);
  return dds_RETCODE_OK;
}

dds_ReturnCode_t dds_DataReader_return_loan(dds_DataReader* reader, dds_DataSeq* data,
                                            dds_SampleInfoSeq* infos) {
  if (reader == nullptr || data == nullptr || infos == nullptr) {
    return dds_RETCODE_BAD_PARAMETER;
  }
  data->items.clear();
  data->loan.reset();
  infos->items.clear();
  return dds_RETCODE_OK;
}

dds_ReturnCode_t dds_DataReader_get_matched_publication(
    dds_DataReader* reader, const dds_InstanceHandle_t* publication_handle, uint8_t guid[16],
    dds_PublicationBuiltinTopicData* data) {
  if (reader == nullptr || publication_handle == nullptr || guid == nullptr || data == nullptr ||
      reader->subscriber == nullptr) {
    return dds_RETCODE_BAD_PARAMETER;
  }
  const dds_entity_t rd = reader->cyclone.load();
  if (rd <= 0) {
    return dds_RETCODE_NOT_ENABLED;
  }
  dds_instance_handle_t ih = 0;
  std::memcpy(&ih, publication_handle->value, sizeof ih);
  if (dds_builtintopic_endpoint_t* ep = dds_get_matched_publication_data(rd, ih)) {
    *data = dds_PublicationBuiltinTopicData{};
    fill_publication(ep, true, data);
    dds_InstanceHandle_t h{};
    guid_to_handle(ep->key, &h);
    std::memcpy(guid, h.value, sizeof h.value);
    dds_builtintopic_free_endpoint(ep);
    return dds_RETCODE_OK;
  }
  dds_DomainParticipant* p = reader->subscriber->participant;
  std::lock_guard<std::mutex> lock(p->publications_mutex);
  const auto known = p->publications.find(ih);
  if (known == p->publications.end()) {
    return dds_RETCODE_ERROR;
  }
  std::memcpy(guid, known->second.guid, sizeof known->second.guid);
  *data = known->second.data;
  return dds_RETCODE_OK;
}

bool dds_DomainParticipant_is_local_prefix(dds_DomainParticipant* participant,
                                           const uint8_t prefix[12]) {
  if (participant == nullptr || prefix == nullptr) {
    return false;
  }
  if (std::memcmp(participant->guid.v, prefix, 12) == 0) {
    return true;
  }
  // Cyclone knows the participants of this process on a domain; a process
  // seldom holds more than a few.
  constexpr size_t kMaxLocal = 64;
  dds_entity_t local[kMaxLocal];
  const dds_return_t n = dds_lookup_participant(participant->domain_id, local, kMaxLocal);
  for (dds_return_t i = 0; i < n && static_cast<size_t>(i) < kMaxLocal; ++i) {
    dds_guid_t guid{};
    if (from_cyclone(dds_get_guid(local[i], &guid)) == dds_RETCODE_OK &&
        std::memcmp(guid.v, prefix, 12) == 0) {
      return true;
    }
  }
  return false;
}
