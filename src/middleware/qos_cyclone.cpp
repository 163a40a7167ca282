// What a discovered endpoint offers, read from its Cyclone QoS into the
// binding's QoS model, and the QoS statuses of readers and writers.
#include <array>
#include <cstring>

#include "middleware/entities.h"

namespace {

int64_t duration(dds_duration_t d) {
  return d == DDS_INFINITY ? rnr::qos::kInfinite : d;
}

}  // namespace

namespace rnr::mw {

rnr::qos::WriterQos writer_qos_from(const dds_qos_t* q) {
  using namespace rnr::qos;
  WriterQos out;
  if (q == nullptr) {
    return out;
  }
  dds_reliability_kind_t rk{};
  dds_duration_t d = 0;
  if (dds_qget_reliability(q, &rk, &d)) {
    out.reliability =
        rk == DDS_RELIABILITY_RELIABLE ? Reliability::reliable : Reliability::best_effort;
    out.max_blocking_time_ns = duration(d);
  }
  dds_durability_kind_t dk{};
  if (dds_qget_durability(q, &dk)) {
    out.durability = static_cast<Durability>(from_cyclone(dk));
  }
  dds_history_kind_t hk{};
  int32_t depth = 1;
  int32_t max_samples = -1;
  int32_t max_instances = -1;
  int32_t max_per_instance = -1;
  if (dds_qget_durability_service(q, &d, &hk, &depth, &max_samples, &max_instances,
                                  &max_per_instance)) {
    DurabilityService& ds = out.durability_service;
    ds.cleanup_delay_ns = duration(d);
    ds.history = hk == DDS_HISTORY_KEEP_ALL ? History::keep_all : History::keep_last;
    ds.depth = depth;
    ds.max_samples = max_samples;
    ds.max_instances = max_instances;
    ds.max_samples_per_instance = max_per_instance;
  }
  if (dds_qget_deadline(q, &d)) {
    out.deadline_ns = duration(d);
  }
  if (dds_qget_latency_budget(q, &d)) {
    out.latency_budget_ns = duration(d);
  }
  dds_liveliness_kind_t lk{};
  if (dds_qget_liveliness(q, &lk, &d)) {
    out.liveliness = lk == DDS_LIVELINESS_MANUAL_BY_TOPIC ? Liveliness::manual_by_topic
                     : lk == DDS_LIVELINESS_MANUAL_BY_PARTICIPANT
                         ? Liveliness::manual_by_participant
                         : Liveliness::automatic;
    out.lease_duration_ns = duration(d);
  }
  dds_ownership_kind_t ok{};
  if (dds_qget_ownership(q, &ok)) {
    out.ownership = ok == DDS_OWNERSHIP_EXCLUSIVE ? Ownership::exclusive : Ownership::shared;
  }
  int32_t strength = 0;
  if (dds_qget_ownership_strength(q, &strength)) {
    out.ownership_strength = strength;
  }
  dds_destination_order_kind_t order{};
  if (dds_qget_destination_order(q, &order)) {
    out.destination_order = order == DDS_DESTINATIONORDER_BY_SOURCE_TIMESTAMP
                                ? DestinationOrder::by_source_timestamp
                                : DestinationOrder::by_reception_timestamp;
  }
  dds_presentation_access_scope_kind_t scope{};
  bool coherent = false;
  bool ordered = false;
  if (dds_qget_presentation(q, &scope, &coherent, &ordered)) {
    out.presentation.access_scope = scope == DDS_PRESENTATION_GROUP   ? AccessScope::group
                                    : scope == DDS_PRESENTATION_TOPIC ? AccessScope::topic
                                                                      : AccessScope::instance;
    out.presentation.coherent_access = coherent;
    out.presentation.ordered_access = ordered;
  }
  uint32_t n = 0;
  char** names = nullptr;
  if (dds_qget_partition(q, &n, &names)) {
    for (uint32_t i = 0; i < n; i++) {
      if (names[i] != nullptr) {
        out.partitions.emplace_back(names[i]);
      }
      dds_free(names[i]);
    }
    dds_free(names);
    // A single empty name is the default partition.
    if (out.partitions.size() == 1 && out.partitions[0].empty()) {
      out.partitions.clear();
    }
  }
  if (dds_qget_lifespan(q, &d)) {
    out.lifespan_ns = duration(d);
  }
  uint32_t nrep = 0;
  dds_data_representation_id_t* reps = nullptr;
  if (dds_qget_data_representation(q, &nrep, &reps)) {
    for (uint32_t k = 0; k < nrep; k++) {
      out.representations.push_back(reps[k]);
    }
    dds_free(reps);
  }
  void* ud = nullptr;
  size_t ud_size = 0;
  if (dds_qget_userdata(q, &ud, &ud_size) && ud != nullptr) {
    const auto* bytes = static_cast<const uint8_t*>(ud);
    out.user_data.assign(bytes, bytes + ud_size);
  }
  dds_free(ud);
  return out;
}

}  // namespace rnr::mw

using namespace rnr::mw;

dds_ReturnCode_t dds_DataReader_is_matched(dds_DataReader* reader, const uint8_t guid[16]) {
  if (reader == nullptr || guid == nullptr) {
    return dds_RETCODE_BAD_PARAMETER;
  }
  const dds_entity_t rd = reader->cyclone.load();
  if (rd <= 0) {
    return dds_RETCODE_NOT_ENABLED;
  }
  const dds_return_t count = dds_get_matched_publications(rd, nullptr, 0);
  if (count <= 0) {
    return count < 0 ? from_cyclone(count) : dds_RETCODE_NO_DATA;
  }
  std::vector<dds_instance_handle_t> handles(static_cast<size_t>(count));
  const dds_return_t n = dds_get_matched_publications(rd, handles.data(), handles.size());
  if (n < 0) {
    return from_cyclone(n);
  }
  for (size_t i = 0; i < static_cast<size_t>(n) && i < handles.size(); i++) {
    dds_builtintopic_endpoint_t* ep = dds_get_matched_publication_data(rd, handles[i]);
    if (ep == nullptr) {
      continue;
    }
    // The dds_guid layout: 12 prefix bytes, then the entity id in host order.
    const uint32_t eid = (static_cast<uint32_t>(ep->key.v[12]) << 24) |
                         (static_cast<uint32_t>(ep->key.v[13]) << 16) |
                         (static_cast<uint32_t>(ep->key.v[14]) << 8) | ep->key.v[15];
    const bool same = std::memcmp(ep->key.v, guid, 12) == 0 && std::memcmp(&eid, guid + 12, 4) == 0;
    dds_builtintopic_free_endpoint(ep);
    if (same) {
      return dds_RETCODE_OK;
    }
  }
  return dds_RETCODE_NO_DATA;
}

dds_ReturnCode_t dds_DataReader_get_requested_incompatible_qos(dds_DataReader* reader,
                                                               dds_IncompatibleQosStatus* status) {
  if (reader == nullptr || status == nullptr) {
    return dds_RETCODE_BAD_PARAMETER;
  }
  const dds_entity_t rd = reader->cyclone.load();
  if (rd <= 0) {
    return dds_RETCODE_NOT_ENABLED;
  }
  dds_requested_incompatible_qos_status_t s{};
  const dds_return_t rc = dds_get_requested_incompatible_qos_status(rd, &s);
  if (rc < 0) {
    return from_cyclone(rc);
  }
  status->total_count = static_cast<int32_t>(s.total_count);
  status->last_policy_id = static_cast<int32_t>(s.last_policy_id);
  return dds_RETCODE_OK;
}

dds_ReturnCode_t dds_DataWriter_get_offered_incompatible_qos(dds_DataWriter* writer,
                                                             dds_IncompatibleQosStatus* status) {
  if (writer == nullptr || status == nullptr) {
    return dds_RETCODE_BAD_PARAMETER;
  }
  const dds_entity_t wr = writer->cyclone.load();
  if (wr <= 0) {
    return dds_RETCODE_NOT_ENABLED;
  }
  dds_offered_incompatible_qos_status_t s{};
  const dds_return_t rc = dds_get_offered_incompatible_qos_status(wr, &s);
  if (rc < 0) {
    return from_cyclone(rc);
  }
  status->total_count = static_cast<int32_t>(s.total_count);
  status->last_policy_id = static_cast<int32_t>(s.last_policy_id);
  return dds_RETCODE_OK;
}

dds_ReturnCode_t dds_DomainParticipant_get_publication_qos(dds_DomainParticipant* participant,
                                                           const uint8_t guid[16],
                                                           rnr::qos::WriterQos* qos) {
  if (participant == nullptr || guid == nullptr || qos == nullptr) {
    return dds_RETCODE_BAD_PARAMETER;
  }
  if (participant->builtin_reader != nullptr) {
    drain_builtin(participant->builtin_reader);
  }
  std::array<uint8_t, 16> key{};
  std::memcpy(key.data(), guid, key.size());
  std::lock_guard<std::mutex> lock(participant->publications_mutex);
  const auto handle = participant->publication_handles.find(key);
  if (handle == participant->publication_handles.end()) {
    return dds_RETCODE_ERROR;
  }
  const auto known = participant->publications.find(handle->second);
  if (known == participant->publications.end()) {
    return dds_RETCODE_ERROR;
  }
  *qos = known->second.qos;
  return dds_RETCODE_OK;
}

void dds_DomainParticipant_forget_publication(dds_DomainParticipant* participant,
                                              const uint8_t guid[16]) {
  if (participant == nullptr || guid == nullptr) {
    return;
  }
  std::array<uint8_t, 16> key{};
  std::memcpy(key.data(), guid, key.size());
  std::lock_guard<std::mutex> lock(participant->publications_mutex);
  const auto handle = participant->publication_handles.find(key);
  if (handle == participant->publication_handles.end()) {
    return;
  }
  participant->publications.erase(handle->second);
  participant->publication_handles.erase(handle);
}
