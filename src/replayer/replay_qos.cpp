#include "replayer/replay_qos.h"

#include <algorithm>

namespace {

using namespace rnr::qos;

int liveliness_rank(Liveliness kind) {
  switch (kind) {
    case Liveliness::manual_by_topic:
      return 2;
    case Liveliness::manual_by_participant:
      return 1;
    default:
      return 0;
  }
}

// -1 stands for no limit, which is larger than any limit.
int32_t larger_limit(int32_t a, int32_t b) {
  return a < 0 || b < 0 ? -1 : std::max(a, b);
}

}  // namespace

std::optional<WriterQos> rnr_replay_merge_qos(const std::vector<WriterQos>& recorded) {
  if (recorded.empty()) {
    return std::nullopt;
  }
  WriterQos m = recorded.front();
  m.reliability = Reliability::reliable;
  bool all_exclusive = true;
  bool durable_seen = false;
  for (const WriterQos& w : recorded) {
    if (w.durability != Durability::volatile_) {
      const DurabilityService& ds = w.durability_service;
      DurabilityService& out = m.durability_service;
      if (!durable_seen) {
        out = ds;
      } else {
        if (ds.history == History::keep_all || out.history == History::keep_all) {
          out.history = History::keep_all;
        }
        out.depth = std::max(out.depth, ds.depth);
        out.max_samples = larger_limit(out.max_samples, ds.max_samples);
        out.max_instances = larger_limit(out.max_instances, ds.max_instances);
        out.max_samples_per_instance =
            larger_limit(out.max_samples_per_instance, ds.max_samples_per_instance);
        out.cleanup_delay_ns = std::max(out.cleanup_delay_ns, ds.cleanup_delay_ns);
      }
      durable_seen = true;
    }
    m.durability = std::max(m.durability, w.durability);
    m.deadline_ns = std::min(m.deadline_ns, w.deadline_ns);
    m.latency_budget_ns = std::min(m.latency_budget_ns, w.latency_budget_ns);
    if (liveliness_rank(w.liveliness) > liveliness_rank(m.liveliness)) {
      m.liveliness = w.liveliness;
    }
    m.lease_duration_ns = std::min(m.lease_duration_ns, w.lease_duration_ns);
    all_exclusive = all_exclusive && w.ownership == Ownership::exclusive;
    m.ownership_strength = std::max(m.ownership_strength, w.ownership_strength);
    if (w.destination_order == DestinationOrder::by_source_timestamp) {
      m.destination_order = DestinationOrder::by_source_timestamp;
    }
    m.presentation.access_scope =
        std::max(m.presentation.access_scope, w.presentation.access_scope);
    m.presentation.coherent_access |= w.presentation.coherent_access;
    m.presentation.ordered_access |= w.presentation.ordered_access;
    for (const std::string& p : w.partitions) {
      if (std::find(m.partitions.begin(), m.partitions.end(), p) == m.partitions.end()) {
        m.partitions.push_back(p);
      }
    }
    m.lifespan_ns = std::max(m.lifespan_ns, w.lifespan_ns);
  }
  // Writers in the default partition reached subscribers there too.
  const bool default_partition_seen = std::any_of(
      recorded.begin(), recorded.end(), [](const WriterQos& w) { return w.partitions.empty(); });
  if (default_partition_seen && !m.partitions.empty() &&
      std::find(m.partitions.begin(), m.partitions.end(), "") == m.partitions.end()) {
    m.partitions.insert(m.partitions.begin(), "");
  }
  m.ownership = all_exclusive ? Ownership::exclusive : Ownership::shared;
  if (!all_exclusive) {
    m.ownership_strength = 0;
  }
  m.user_data.clear();
  return m;
}

void rnr_replay_apply_qos(const WriterQos& m, dds_DataWriterQos* writer,
                          dds_PublisherQos* publisher) {
  writer->reliability.kind = dds_RELIABLE_RELIABILITY_QOS;
  writer->history.kind = dds_KEEP_ALL_HISTORY_QOS;
  writer->durability.kind = static_cast<dds_DurabilityQosPolicyKind>(m.durability);
  if (m.durability != Durability::volatile_) {
    // Late joiners get what the durability service of the recorded writers
    // kept: the last N per instance, or everything.
    writer->durability_service = m.durability_service;
  }
  writer->deadline_ns = m.deadline_ns;
  writer->latency_budget_ns = m.latency_budget_ns;
  writer->liveliness = m.liveliness;
  writer->lease_duration_ns = m.lease_duration_ns;
  writer->ownership = m.ownership;
  writer->ownership_strength = m.ownership_strength;
  writer->destination_order = m.destination_order;
  writer->lifespan_ns = m.lifespan_ns;
  publisher->partitions = m.partitions;
  publisher->presentation = m.presentation;
}

bool rnr_replay_needs_own_publisher(const dds_PublisherQos& publisher) {
  return !publisher.partitions.empty() || !(publisher.presentation == Presentation{});
}
