// What `play --start` writes before the interval: the latched state of the
// topics whose recorded writers kept their samples for late joiners
// (durability transient-local, transient or persistent).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "bag/bag_reader.h"

namespace rnr::bagtool {

// The topics among `played` with a recorded writer of durability
// transient-local or stronger, by the bag's writer_qos rows; none for a bag
// without them. False with `error` set when the rows cannot be read.
bool latched_topics(bag::BagReader& reader, const std::vector<int32_t>& played,
                    std::vector<int32_t>* out, std::string* error);

// Instances of one topic kept apart at most; beyond them the topic falls back
// to its latest sample alone.
constexpr size_t kMaxLatchedInstances = 100000;

// The ids of the latest sample before `start` (greatest timestamp, then
// greatest id) of each instance of each of `topics`, in id order, that is in
// order of reception. A topic is split by instance when its stored key flag
// is set and its type description reads as a type with key members;
// otherwise, or beyond `max_instances` instances (one warning line), it
// contributes its latest sample. Samples whose bytes do not fit the type
// count as one instance of their own (one warning line). Only ids and keys
// are held, never sample bytes. False with `error` set when the bag cannot
// be read.
bool latched_sample_ids(bag::BagReader& reader, const std::vector<bag::TopicSummary>& all_topics,
                        const std::vector<int32_t>& topics, int64_t start,
                        std::vector<int64_t>* ids, std::string* error,
                        size_t max_instances = kMaxLatchedInstances);

}  // namespace rnr::bagtool
