#include "bagtool/topic_select.h"

#include <algorithm>

#include "types/name_glob.h"

namespace rnr::bagtool {

bool matches_any(const std::vector<std::string>& patterns, const std::string& name) {
  return std::any_of(patterns.begin(), patterns.end(),
                     [&](const std::string& pattern) { return types::glob_match(pattern, name); });
}

bool select_topics(const std::vector<bag::TopicSummary>& topics,
                   const std::vector<std::string>& patterns, std::vector<int64_t>* ids,
                   std::string* error) {
  for (const auto& pattern : patterns) {
    if (std::none_of(topics.begin(), topics.end(), [&](const bag::TopicSummary& t) {
          return types::glob_match(pattern, t.name);
        })) {
      *error = "--topic " + pattern + ": no topic of the bag matches";
      return false;
    }
  }
  for (const auto& t : topics) {
    if (patterns.empty() || matches_any(patterns, t.name)) {
      ids->push_back(t.id);
    }
  }
  return true;
}

}  // namespace rnr::bagtool
