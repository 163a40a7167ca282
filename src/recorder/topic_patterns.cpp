#include "recorder/topic_patterns.h"

#include "types/dds_guid.h"

namespace rnr::recorder::internal {
namespace {

bool is_exclusion_part(std::string_view part) {
  return !part.empty() && part.front() == '!';
}

std::string_view without_bang(std::string_view part) {
  return is_exclusion_part(part) ? part.substr(1) : part;
}

}  // namespace

bool is_pattern_pair(std::string_view type_name, std::string_view topic_name) {
  const auto has_glob = [](std::string_view s) {
    return s.find_first_of("*?[") != std::string_view::npos;
  };
  return has_glob(type_name) || has_glob(topic_name) || is_exclusion_part(type_name) ||
         is_exclusion_part(topic_name);
}

bool is_application_topic(std::string_view topic_name, uint32_t writer_entity_id) {
  if (topic_name.empty() || topic_name.substr(0, 4) == "DCPS" || topic_name.substr(0, 2) == "__" ||
      topic_name.substr(0, 12) == "quorvin_rnr/") {
    return false;
  }
  return (writer_entity_id & (DDS_ENTITY_KIND_BUILTIN_FLAG | DDS_ENTITY_KIND_VENDOR_FLAG)) == 0;
}

bool TopicPatterns::add(std::string_view type_name, std::string_view topic_name) {
  if (!is_pattern_pair(type_name, topic_name)) {
    return false;
  }
  if (is_exclusion_part(type_name) || is_exclusion_part(topic_name)) {
    excludes_.push_back(
        {std::string(without_bang(type_name)), std::string(without_bang(topic_name))});
  } else {
    includes_.push_back({std::string(type_name), std::string(topic_name)});
  }
  return true;
}

void TopicPatterns::note_brought_in(std::string_view type_name, std::string_view topic_name) {
  for (Pair& pair : includes_) {
    if (pair.matches(type_name, topic_name)) {
      pair.brought_in = true;
    }
  }
}

std::vector<std::pair<std::string, std::string>> TopicPatterns::idle() const {
  std::vector<std::pair<std::string, std::string>> result;
  for (const Pair& pair : includes_) {
    if (!pair.brought_in) {
      result.emplace_back(pair.type, pair.topic);
    }
  }
  return result;
}

bool TopicPatterns::Pair::matches(std::string_view type_name, std::string_view topic_name) const {
  return glob_match(type, type_name) && glob_match(topic, topic_name);
}

bool TopicPatterns::matches(std::string_view type_name, std::string_view topic_name) const {
  if (type_name.empty() || topic_name.empty()) {
    return false;
  }
  bool included = false;
  for (const Pair& pair : includes_) {
    if (pair.matches(type_name, topic_name)) {
      included = true;
      break;
    }
  }
  if (!included) {
    return false;
  }
  for (const Pair& pair : excludes_) {
    if (pair.matches(type_name, topic_name)) {
      return false;
    }
  }
  return true;
}

}  // namespace rnr::recorder::internal
