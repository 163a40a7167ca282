#include "replayer/replay_qos.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>

#include "log/logger.h"

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

std::string duration_text(int64_t ns) {
  if (ns == kInfinite) {
    return "infinite";
  }
  if (ns != 0 && ns % 1000000 == 0) {
    return std::to_string(ns / 1000000) + " ms";
  }
  return std::to_string(ns) + " ns";
}

// One line about a recorded writer's QoS, unless enough were written.
void note(rnr_replay_qos_notes* notes, const std::string& writer, const std::string& what) {
  if (notes->lines >= rnr_replay_qos_notes::kMaxQosLines) {
    ++notes->unlisted;
    return;
  }
  ++notes->lines;
  rnr_log(RNR_LOG_WARN, "Replayer The recorded QoS of writer %s: %s", writer.c_str(), what.c_str());
}

// A duration the replay can offer: negative ones are left out (`fallback`,
// the policy's default), those the wire cannot carry become infinite, and
// finite ones below `floor` are raised to it (a floor of 0 raises nothing).
void sane_duration(int64_t* ns, const char* policy, int64_t fallback, int64_t floor,
                   const std::string& writer, rnr_replay_qos_notes* notes) {
  const int64_t v = *ns;
  std::string line = std::string(policy) + " " + duration_text(v);
  if (v < 0) {
    *ns = fallback;
    line += " is invalid and left out (" + duration_text(fallback) + " is offered)";
  } else if (v != kInfinite && v > kMaxWireDurationNs) {
    *ns = kInfinite;
    line += " is longer than DDS can announce; it is offered as infinite";
  } else if (v < floor && !(v == 0 && fallback == 0)) {
    *ns = floor;
    line += " is below " + duration_text(floor) + " and raised to it";
  } else {
    return;
  }
  note(notes, writer, line);
}

void sane_limit(int32_t* limit, const char* name, const std::string& writer,
                rnr_replay_qos_notes* notes) {
  if (*limit < 1 && *limit != -1) {
    note(notes, writer,
         std::string("durability_service.") + name + " " + std::to_string(*limit) +
             " is invalid and left out (unlimited)");
    *limit = -1;
  }
}

// Resource limits Cyclone takes as consistent: a depth within the samples
// per instance, and those within the samples.
void consistent_limits(DurabilityService* ds) {
  if (ds->history == History::keep_last && ds->max_samples_per_instance != -1 &&
      ds->depth > ds->max_samples_per_instance) {
    ds->max_samples_per_instance = -1;
  }
  if (ds->max_samples != -1 && ds->max_samples_per_instance != -1 &&
      ds->max_samples < ds->max_samples_per_instance) {
    ds->max_samples = -1;
  }
}

}  // namespace

void rnr_replay_sanitize_qos(WriterQos* q, const std::string& writer, const TextLimitsHit& limits,
                             rnr_replay_qos_notes* notes) {
  if (limits.partitions_over_count > 0) {
    note(notes, writer,
         std::to_string(limits.partitions_over_count) + " partitions beyond the first " +
             std::to_string(kMaxPartitions) + " are left out");
  }
  if (limits.partition_names_too_long > 0) {
    note(notes, writer,
         std::to_string(limits.partition_names_too_long) + " partition names longer than " +
             std::to_string(kMaxPartitionNameBytes) + " bytes are left out");
  }
  const WriterQos defaults;
  sane_duration(&q->deadline_ns, "deadline", defaults.deadline_ns, kMinReplayDurationNs, writer,
                notes);
  sane_duration(&q->latency_budget_ns, "latency_budget", defaults.latency_budget_ns,
                kMinReplayDurationNs, writer, notes);
  sane_duration(&q->lease_duration_ns, "liveliness.lease_duration", defaults.lease_duration_ns,
                kMinReplayDurationNs, writer, notes);
  sane_duration(&q->lifespan_ns, "lifespan", defaults.lifespan_ns, kMinReplayLifespanNs, writer,
                notes);
  sane_duration(&q->max_blocking_time_ns, "reliability.max_blocking_time",
                defaults.max_blocking_time_ns, 0, writer, notes);
  DurabilityService& ds = q->durability_service;
  sane_duration(&ds.cleanup_delay_ns, "durability_service.cleanup_delay", 0, 0, writer, notes);
  if (ds.history == History::keep_last && ds.depth < 1) {
    note(notes, writer,
         "durability_service.depth " + std::to_string(ds.depth) + " is invalid; 1 is offered");
    ds.depth = 1;
  } else if (ds.history == History::keep_last && ds.depth > kMaxDurabilityDepth) {
    note(notes, writer,
         "durability_service.depth " + std::to_string(ds.depth) + " is more than " +
             std::to_string(kMaxDurabilityDepth) + " a replay keeps per instance; " +
             std::to_string(kMaxDurabilityDepth) + " is offered");
    ds.depth = kMaxDurabilityDepth;
  }
  WriterHistory& h = q->history;
  if (h.source != HistorySource::unknown && h.kind == History::keep_last &&
      (h.depth < 1 || h.depth > kMaxDurabilityDepth)) {
    const int32_t depth = h.depth < 1 ? 1 : kMaxDurabilityDepth;
    note(notes, writer,
         "history.depth " + std::to_string(h.depth) + " is out of range; " + std::to_string(depth) +
             " is offered");
    h.depth = depth;
  }
  sane_limit(&ds.max_samples, "max_samples", writer, notes);
  sane_limit(&ds.max_instances, "max_instances", writer, notes);
  sane_limit(&ds.max_samples_per_instance, "max_samples_per_instance", writer, notes);
  const DurabilityService before = ds;
  consistent_limits(&ds);
  if (!(before == ds)) {
    note(notes, writer,
         "durability_service resource limits are inconsistent (depth " +
             std::to_string(before.depth) + ", max_samples " + std::to_string(before.max_samples) +
             ", max_samples_per_instance " + std::to_string(before.max_samples_per_instance) +
             "); the inconsistent ones are left out (unlimited)");
  }
}

void rnr_replay_qos_notes_finish(rnr_replay_qos_notes* notes) {
  if (notes->unlisted > 0) {
    rnr_log(RNR_LOG_WARN,
            "Replayer %zu more values of the recorded writers' QoS were changed or left out (not "
            "listed)",
            notes->unlisted);
    notes->unlisted = 0;
  }
}

std::optional<WriterQos> rnr_replay_merge_qos(const std::vector<WriterQos>& recorded,
                                              size_t* left_out) {
  if (recorded.empty()) {
    return std::nullopt;
  }
  WriterQos m = recorded.front();
  std::vector<std::string> names;
  m.reliability = Reliability::reliable;
  bool all_exclusive = true;
  bool durable_seen = false;
  for (const WriterQos& w : recorded) {
    if (w.durability != Durability::volatile_) {
      // What the writer's late joiners got: its known history, else what
      // its durability service announced.
      DurabilityService ds = w.durability_service;
      if (w.history.source != HistorySource::unknown) {
        ds.history = w.history.kind;
        ds.depth = w.history.depth;
      }
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
    names.insert(names.end(), w.partitions.begin(), w.partitions.end());
    m.lifespan_ns = std::max(m.lifespan_ns, w.lifespan_ns);
  }
  // Writers in the default partition reached subscribers there too.
  const bool default_partition_seen = std::any_of(
      recorded.begin(), recorded.end(), [](const WriterQos& w) { return w.partitions.empty(); });
  if (default_partition_seen && !names.empty()) {
    names.emplace_back();
  }
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  if (left_out != nullptr) {
    *left_out = names.size() > kMaxPartitions ? names.size() - kMaxPartitions : 0;
  }
  if (names.size() > kMaxPartitions) {
    names.resize(kMaxPartitions);
  }
  m.partitions = std::move(names);
  consistent_limits(&m.durability_service);
  m.ownership = all_exclusive ? Ownership::exclusive : Ownership::shared;
  if (!all_exclusive) {
    m.ownership_strength = 0;
  }
  m.user_data.clear();
  m.history = {};  // taken into the durability service
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
