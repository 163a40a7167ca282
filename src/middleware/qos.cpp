// QoS: the values the binding's creators take (defaults and finalize), and
// their translation into Cyclone QoS objects.
#include "middleware/entities.h"

#include <algorithm>

namespace {

constexpr int64_t kDefaultMaxBlockingNs = 1000000000;  // 1 s

// QoS values hold nothing that needs releasing; finalize resets them.
template <typename Qos>
void reset(Qos* qos) {
  if (qos != nullptr)
    *qos = {};
}

// Topics, readers and writers start volatile and reliable, a write blocking
// for at most a second.
template <typename Qos>
void set_delivery_defaults(Qos* qos) {
  qos->durability.kind = dds_VOLATILE_DURABILITY_QOS;
  qos->reliability.kind = dds_RELIABLE_RELIABILITY_QOS;
  qos->reliability.max_blocking_time_ns = kDefaultMaxBlockingNs;
}

// Readers and writers also keep their whole history.
template <typename Qos>
void set_endpoint_defaults(Qos* qos) {
  *qos = {};
  set_delivery_defaults(qos);
  qos->history.kind = dds_KEEP_ALL_HISTORY_QOS;
  qos->history.depth = 1;
}

// Publishers and subscribers enable the entities created in them.
template <typename Qos>
dds_ReturnCode_t get_group_defaults(const dds_DomainParticipant* participant, Qos* qos) {
  if (participant == nullptr || qos == nullptr) {
    return dds_RETCODE_BAD_PARAMETER;
  }
  *qos = {};
  qos->entity_factory.autoenable_created_entities = true;
  return dds_RETCODE_OK;
}

}  // namespace

namespace rnr::mw {

dds_durability_kind_t to_cyclone(dds_DurabilityQosPolicyKind kind) {
  switch (kind) {
    case dds_TRANSIENT_LOCAL_DURABILITY_QOS:
      return DDS_DURABILITY_TRANSIENT_LOCAL;
    case dds_TRANSIENT_DURABILITY_QOS:
      return DDS_DURABILITY_TRANSIENT;
    case dds_PERSISTENT_DURABILITY_QOS:
      return DDS_DURABILITY_PERSISTENT;
    default:
      return DDS_DURABILITY_VOLATILE;
  }
}

dds_DurabilityQosPolicyKind from_cyclone(dds_durability_kind_t kind) {
  switch (kind) {
    case DDS_DURABILITY_TRANSIENT_LOCAL:
      return dds_TRANSIENT_LOCAL_DURABILITY_QOS;
    case DDS_DURABILITY_TRANSIENT:
      return dds_TRANSIENT_DURABILITY_QOS;
    case DDS_DURABILITY_PERSISTENT:
      return dds_PERSISTENT_DURABILITY_QOS;
    default:
      return dds_VOLATILE_DURABILITY_QOS;
  }
}

void set_reliability(dds_qos_t* q, const dds_ReliabilityQosPolicy& r) {
  const int64_t blocking = r.max_blocking_time_ns < 0 ? DDS_INFINITY : r.max_blocking_time_ns;
  dds_qset_reliability(q,
                       r.kind == dds_RELIABLE_RELIABILITY_QOS ? DDS_RELIABILITY_RELIABLE
                                                              : DDS_RELIABILITY_BEST_EFFORT,
                       blocking);
}

void set_history(dds_qos_t* q, const dds_HistoryQosPolicy& h) {
  if (h.kind == dds_KEEP_LAST_HISTORY_QOS) {
    dds_qset_history(q, DDS_HISTORY_KEEP_LAST, h.depth > 0 ? h.depth : 1);
  } else {
    dds_qset_history(q, DDS_HISTORY_KEEP_ALL, 0);
  }
}

namespace {

dds_duration_t duration(int64_t ns) {
  return ns == rnr::qos::kInfinite || ns < 0 ? DDS_INFINITY : ns;
}

dds_liveliness_kind_t liveliness_kind(rnr::qos::Liveliness kind) {
  switch (kind) {
    case rnr::qos::Liveliness::manual_by_participant:
      return DDS_LIVELINESS_MANUAL_BY_PARTICIPANT;
    case rnr::qos::Liveliness::manual_by_topic:
      return DDS_LIVELINESS_MANUAL_BY_TOPIC;
    default:
      return DDS_LIVELINESS_AUTOMATIC;
  }
}

// The policies readers and writers share that must agree between them.
template <typename Qos>
void set_agreement(dds_qos_t* q, const Qos& qos) {
  dds_qset_deadline(q, duration(qos.deadline_ns));
  dds_qset_latency_budget(q, duration(qos.latency_budget_ns));
  dds_qset_liveliness(q, liveliness_kind(qos.liveliness), duration(qos.lease_duration_ns));
  dds_qset_ownership(q, qos.ownership == rnr::qos::Ownership::exclusive ? DDS_OWNERSHIP_EXCLUSIVE
                                                                        : DDS_OWNERSHIP_SHARED);
  dds_qset_destination_order(
      q, qos.destination_order == rnr::qos::DestinationOrder::by_source_timestamp
             ? DDS_DESTINATIONORDER_BY_SOURCE_TIMESTAMP
             : DDS_DESTINATIONORDER_BY_RECEPTION_TIMESTAMP);
}

}  // namespace

dds_qos_t* group_qos(const std::vector<std::string>& partitions,
                     const rnr::qos::Presentation& presentation) {
  dds_qos_t* q = dds_create_qos();
  if (!partitions.empty()) {
    std::vector<const char*> names;
    names.reserve(partitions.size());
    for (const std::string& p : partitions) {
      names.push_back(p.c_str());
    }
    dds_qset_partition(q, static_cast<uint32_t>(names.size()), names.data());
  }
  const dds_presentation_access_scope_kind_t scope =
      presentation.access_scope == rnr::qos::AccessScope::group   ? DDS_PRESENTATION_GROUP
      : presentation.access_scope == rnr::qos::AccessScope::topic ? DDS_PRESENTATION_TOPIC
                                                                  : DDS_PRESENTATION_INSTANCE;
  dds_qset_presentation(q, scope, presentation.coherent_access, presentation.ordered_access);
  return q;
}

bool valid_representation(dds_DataRepresentationId_t id) {
  return id == dds_XCDR_DATA_REPRESENTATION || id == dds_XCDR2_DATA_REPRESENTATION;
}

// Builds the Cyclone QoS of a raw reader; null for an unusable QoS.
dds_qos_t* reader_qos(const dds_DataReaderQos& qos) {
  dds_data_representation_id_t ids[2] = {DDS_DATA_REPRESENTATION_XCDR1,
                                         DDS_DATA_REPRESENTATION_XCDR2};
  uint32_t n = 2;
  if (qos.representation.length > 0) {
    if (qos.representation.length > 2) {
      return nullptr;
    }
    n = static_cast<uint32_t>(qos.representation.length);
    for (uint32_t i = 0; i < n; i++) {
      if (!valid_representation(qos.representation.value[i])) {
        return nullptr;
      }
      ids[i] = qos.representation.value[i];
    }
  }
  dds_qos_t* q = dds_create_qos();
  set_reliability(q, qos.reliability);
  dds_qset_durability(q, to_cyclone(qos.durability.kind));
  set_history(q, qos.history);
  if (qos.resource_limits.max_samples > 0) {
    dds_qset_resource_limits(q, qos.resource_limits.max_samples, DDS_LENGTH_UNLIMITED,
                             DDS_LENGTH_UNLIMITED);
  }
  set_agreement(q, qos);
  dds_qset_data_representation(q, n, ids);
  return q;
}

dds_qos_t* writer_qos(const dds_DataWriterQos& qos) {
  dds_data_representation_id_t id = DDS_DATA_REPRESENTATION_XCDR1;
  if (qos.representation.length > 0) {
    if (qos.representation.length > 2 || !valid_representation(qos.representation.value[0])) {
      return nullptr;
    }
    id = qos.representation.value[0];
  }
  dds_qos_t* q = dds_create_qos();
  set_reliability(q, qos.reliability);
  dds_qset_durability(q, to_cyclone(qos.durability.kind));
  set_history(q, qos.history);
  set_agreement(q, qos);
  if (qos.ownership == rnr::qos::Ownership::exclusive) {
    dds_qset_ownership_strength(q, qos.ownership_strength);
  }
  if (qos.lifespan_ns != rnr::qos::kInfinite) {
    dds_qset_lifespan(q, duration(qos.lifespan_ns));
  }
  if (!qos.autodispose_unregistered_instances) {
    dds_qset_writer_data_lifecycle(q, false);
  }
  if (qos.durability_service) {
    const rnr::qos::DurabilityService& ds = *qos.durability_service;
    const bool all = ds.history == rnr::qos::History::keep_all;
    dds_qset_durability_service(
        q, duration(ds.cleanup_delay_ns), all ? DDS_HISTORY_KEEP_ALL : DDS_HISTORY_KEEP_LAST,
        std::max(1, ds.depth), ds.max_samples, ds.max_instances, ds.max_samples_per_instance);
  } else if (qos.durability.kind != dds_VOLATILE_DURABILITY_QOS) {
    // What late joiners receive is governed by the durability service
    // history: keep as much as the writer's own history does.
    const bool all = qos.history.kind == dds_KEEP_ALL_HISTORY_QOS;
    dds_qset_durability_service(q, 0, all ? DDS_HISTORY_KEEP_ALL : DDS_HISTORY_KEEP_LAST,
                                all ? 1 : std::max(1, qos.history.depth), DDS_LENGTH_UNLIMITED,
                                DDS_LENGTH_UNLIMITED, DDS_LENGTH_UNLIMITED);
  }
  dds_qset_data_representation(q, 1, &id);
  return q;
}

}  // namespace rnr::mw

const dds_DomainParticipantQos dds_PARTICIPANT_QOS_DEFAULT = {{true}};

void dds_DomainParticipantQos_finalize(dds_DomainParticipantQos* qos) {
  reset(qos);
}
void dds_PublisherQos_finalize(dds_PublisherQos* qos) {
  reset(qos);
}
void dds_SubscriberQos_finalize(dds_SubscriberQos* qos) {
  reset(qos);
}
void dds_TopicQos_finalize(dds_TopicQos* qos) {
  reset(qos);
}
void dds_DataReaderQos_finalize(dds_DataReaderQos* qos) {
  reset(qos);
}
void dds_DataWriterQos_finalize(dds_DataWriterQos* qos) {
  reset(qos);
}

dds_ReturnCode_t dds_DomainParticipantFactory_get_default_participant_qos(
    dds_DomainParticipantFactory* factory, dds_DomainParticipantQos* qos) {
  if (factory == nullptr || qos == nullptr) {
    return dds_RETCODE_BAD_PARAMETER;
  }
  *qos = dds_PARTICIPANT_QOS_DEFAULT;
  return dds_RETCODE_OK;
}

dds_ReturnCode_t dds_DomainParticipant_get_default_publisher_qos(dds_DomainParticipant* participant,
                                                                 dds_PublisherQos* qos) {
  return get_group_defaults(participant, qos);
}

dds_ReturnCode_t dds_DomainParticipant_get_default_subscriber_qos(
    dds_DomainParticipant* participant, dds_SubscriberQos* qos) {
  return get_group_defaults(participant, qos);
}

dds_ReturnCode_t dds_DomainParticipant_get_default_topic_qos(dds_DomainParticipant* participant,
                                                             dds_TopicQos* qos) {
  if (participant == nullptr || qos == nullptr) {
    return dds_RETCODE_BAD_PARAMETER;
  }
  set_delivery_defaults(qos);
  return dds_RETCODE_OK;
}

dds_ReturnCode_t dds_Publisher_get_default_datawriter_qos(dds_Publisher* publisher,
                                                          dds_DataWriterQos* qos) {
  if (publisher == nullptr || qos == nullptr) {
    return dds_RETCODE_BAD_PARAMETER;
  }
  set_endpoint_defaults(qos);
  qos->representation.length = 1;
  qos->representation.value[0] = dds_XCDR_DATA_REPRESENTATION;
  return dds_RETCODE_OK;
}

dds_ReturnCode_t dds_Subscriber_get_default_datareader_qos(dds_Subscriber* subscriber,
                                                           dds_DataReaderQos* qos) {
  if (subscriber == nullptr || qos == nullptr) {
    return dds_RETCODE_BAD_PARAMETER;
  }
  set_endpoint_defaults(qos);
  qos->representation.length = 2;
  qos->representation.value[0] = dds_XCDR_DATA_REPRESENTATION;
  qos->representation.value[1] = dds_XCDR2_DATA_REPRESENTATION;
  return dds_RETCODE_OK;
}
