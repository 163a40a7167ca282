// The QoS of a replay writer from what the bag recorded of the topic's
// writers: one writer that reaches every subscriber any of them reached.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "middleware/dds_api.h"

// Notes on the recorded QoS a replay changed: the first kMaxQosLines are
// logged, the rest counted and summed up once.
struct rnr_replay_qos_notes {
  static constexpr size_t kMaxQosLines = 32;
  size_t lines = 0;
  size_t unlisted = 0;
};

// Brings the QoS one writer recorded (`writer` names it in the log) within
// what a replay writer offers without harm to the domain and what Cyclone DDS
// accepts: a negative duration is invalid and left out (the policy's
// default), a finite one longer than the wire carries (68 years) is taken as
// infinite, a deadline, lease or latency budget below 1 ms is raised to 1 ms,
// a lifespan below 100 ms to 100 ms (a subscriber drops a sample its lifespan
// after receiving it, and a loaded one takes longer than a millisecond); a durability service depth
// below 1 or above kMaxDurabilityDepth, and resource limits Cyclone refuses, are brought in range.
// `limits` says what reading the row's text left out of its partitions. One line per value changed,
// through `notes`.
constexpr int64_t kMinReplayDurationNs = 1000000;
constexpr int64_t kMinReplayLifespanNs = 100000000;
constexpr int64_t kMaxWireDurationNs = 2147483647LL * 1000000000LL;
constexpr int32_t kMaxDurabilityDepth = 1000;
void rnr_replay_sanitize_qos(rnr::qos::WriterQos* qos, const std::string& writer,
                             const rnr::qos::TextLimitsHit& limits, rnr_replay_qos_notes* notes);

// Logs the count of notes that were not listed, once, if any.
void rnr_replay_qos_notes_finish(rnr_replay_qos_notes* notes);

// What one replay writer offers, merged from the recorded writers of its
// topic; nothing when none was recorded. Transient-local (or stronger) when
// a writer was, with the largest durability service (a writer's known
// history, when the row has one, in place of its durability service's
// history: that is what its late joiners got); the union of the
// partitions; the shortest deadline, latency budget and liveliness lease
// with the strongest liveliness kind; exclusive ownership with the highest
// strength when every writer was exclusive; by-source order, and the widest
// presentation, when a writer had them; the longest lifespan. The union of
// the partitions is sorted and holds at most kMaxPartitions names; the
// first ones in sorted order are kept, and `left_out` (optional) counts the
// others. O(n log n) in the number of names.
std::optional<rnr::qos::WriterQos> rnr_replay_merge_qos(
    const std::vector<rnr::qos::WriterQos>& recorded, size_t* left_out = nullptr);

// Sets what `merged` asks of the replay writer and of its publisher. The
// writer stays reliable with its whole history, so that it drops nothing.
void rnr_replay_apply_qos(const rnr::qos::WriterQos& merged, dds_DataWriterQos* writer,
                          dds_PublisherQos* publisher);

// Whether the publisher QoS differs from the default one (partitions or a
// presentation), so that the writer needs a publisher of its own.
bool rnr_replay_needs_own_publisher(const dds_PublisherQos& publisher);
