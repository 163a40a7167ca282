// The QoS of a replay writer from what the bag recorded of the topic's
// writers: one writer that reaches every subscriber any of them reached.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "middleware/dds_api.h"

// What one replay writer offers, merged from the recorded writers of its
// topic; nothing when none was recorded. Transient-local (or stronger) when
// a writer was, with the largest durability service; the union of the
// partitions; the shortest deadline, latency budget and liveliness lease
// with the strongest liveliness kind; exclusive ownership with the highest
// strength when every writer was exclusive; by-source order, and the widest
// presentation, when a writer had them; the longest lifespan.
std::optional<rnr::qos::WriterQos> rnr_replay_merge_qos(
    const std::vector<rnr::qos::WriterQos>& recorded);

// Sets what `merged` asks of the replay writer and of its publisher. The
// writer stays reliable with its whole history, so that it drops nothing.
void rnr_replay_apply_qos(const rnr::qos::WriterQos& merged, dds_DataWriterQos* writer,
                          dds_PublisherQos* publisher);

// Whether the publisher QoS differs from the default one (partitions or a
// presentation), so that the writer needs a publisher of its own.
bool rnr_replay_needs_own_publisher(const dds_PublisherQos& publisher);
