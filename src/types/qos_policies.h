// The whole QoS a DataWriter offers, as discovery announces it, and its text
// form: one "name=value" line per policy, the form the bag stores and the
// bag tool shows. Free of Cyclone headers; the binding fills it from
// discovery (dds_DomainParticipant_get_publication_qos).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace rnr::qos {

// Durations are nanoseconds; kInfinite stands for an infinite duration.
constexpr int64_t kInfinite = INT64_MAX;

enum class Reliability : uint8_t { best_effort, reliable };
enum class Durability : uint8_t { volatile_, transient_local, transient, persistent };
enum class History : uint8_t { keep_last, keep_all };
enum class Liveliness : uint8_t { automatic, manual_by_participant, manual_by_topic };
enum class Ownership : uint8_t { shared, exclusive };
enum class DestinationOrder : uint8_t { by_reception_timestamp, by_source_timestamp };
enum class AccessScope : uint8_t { instance, topic, group };

struct DurabilityService {
  int64_t cleanup_delay_ns = 0;
  History history = History::keep_last;
  int32_t depth = 1;
  int32_t max_samples = -1;  // -1: unlimited
  int32_t max_instances = -1;
  int32_t max_samples_per_instance = -1;
  bool operator==(const DurabilityService&) const = default;
};

struct Presentation {
  AccessScope access_scope = AccessScope::instance;
  bool coherent_access = false;
  bool ordered_access = false;
  bool operator==(const Presentation&) const = default;
};

// What late joiners of a writer get, per instance, and where that was
// learnt: from discovery (a Cyclone DDS writer's announced durability
// service, which is what its late joiners get), or observed by the recorder
// (the samples a transient-local writer of another implementation delivered
// on matching, which is at most its depth). Unknown for rows recorded before
// it was kept, and for volatile writers.
enum class HistorySource : uint8_t { unknown, discovery, observed };
struct WriterHistory {
  History kind = History::keep_last;
  int32_t depth = 1;
  HistorySource source = HistorySource::unknown;
  bool operator==(const WriterHistory&) const = default;
};

// Defaults are those of a DDS DataWriter.
struct WriterQos {
  Reliability reliability = Reliability::reliable;
  int64_t max_blocking_time_ns = 100000000;
  Durability durability = Durability::volatile_;
  DurabilityService durability_service;
  int64_t deadline_ns = kInfinite;
  int64_t latency_budget_ns = 0;
  Liveliness liveliness = Liveliness::automatic;
  int64_t lease_duration_ns = kInfinite;
  Ownership ownership = Ownership::shared;
  int32_t ownership_strength = 0;
  DestinationOrder destination_order = DestinationOrder::by_reception_timestamp;
  Presentation presentation;
  std::vector<std::string> partitions;  // empty: the default partition
  int64_t lifespan_ns = kInfinite;
  std::vector<int16_t> representations;  // wire ids; empty: none announced (XCDR1)
  std::vector<uint8_t> user_data;
  WriterHistory history;
  bool operator==(const WriterQos&) const = default;
};

// The policies as text, one "name=value" line each (every line ends in
// '\n'), in a fixed order. Durations are decimal nanoseconds or "infinite";
// partitions are listed with ',' between them and '%', ',' and control
// characters escaped as %XX; user data is hexadecimal. The history lines
// ("history", "history.depth", "history.source") come last, and only when
// the history is known, so that a text without them reads as before.
std::string to_text(const WriterQos& qos);
// The partitions a text is read with: more than any DDS writer sensibly
// offers, few enough that one endpoint's announcement of them fits a
// datagram (Cyclone DDS fails on thousands of them).
constexpr size_t kMaxPartitions = 64;
constexpr size_t kMaxPartitionNameBytes = 255;

// What from_text left out to stay within those limits.
struct TextLimitsHit {
  size_t partitions_over_count = 0;  // names beyond the first kMaxPartitions kept
  size_t partition_names_too_long = 0;
  bool any() const { return partitions_over_count > 0 || partition_names_too_long > 0; }
};

// Reads what to_text wrote; lines it does not know are skipped, policies it
// does not find keep their defaults. Nothing for a malformed value.
// Partition names longer than kMaxPartitionNameBytes, and those beyond the
// first kMaxPartitions kept, are left out (counted in `hit`), so that a
// hostile text costs time and memory in proportion to its length alone.
std::optional<WriterQos> from_text(const std::string& text, TextLimitsHit* hit = nullptr);

// The partition set a reader asks for so that it matches a writer in
// `writer_partitions`: the names themselves, and for a wildcard expression
// (which matches no other expression) one name that it matches.
std::vector<std::string> partitions_matching(const std::vector<std::string>& writer_partitions);

// The policy names DDS status reports carry (QosPolicyId_t), e.g. 11 gives
// "PARTITION"; "policy N" for an id it does not know.
std::string policy_name(int32_t policy_id);

}  // namespace rnr::qos
