// The topics that --topic patterns choose, in every command that has the
// option: `*`, `?` and `[...]` against the whole name, as `record` reads its
// patterns (types/name_glob.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bag/bag_reader.h"

namespace rnr::bagtool {

// Whether `name` matches one of the patterns.
bool matches_any(const std::vector<std::string>& patterns, const std::string& name);

// The ids of the topics that match one of the patterns (every topic when
// there is none), in the topics' order. False with `error` set when a
// pattern matches no topic of the bag.
bool select_topics(const std::vector<bag::TopicSummary>& topics,
                   const std::vector<std::string>& patterns, std::vector<int64_t>* ids,
                   std::string* error);

}  // namespace rnr::bagtool
