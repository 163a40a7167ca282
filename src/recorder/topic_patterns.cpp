#include "recorder/topic_patterns.h"

#include "recorder/dds.h"

namespace recorder_internal {
namespace {

constexpr size_t kNoSet = std::string_view::npos;

// Matches `c` against the set that begins with the `[` at `pattern[at]`.
// Returns the index behind its `]`, or kNoSet when the set is not closed;
// `hit` tells whether `c` belongs to the set. A `]` right after the `[` (or
// after the negation) is a member, as is a `-` first or last.
size_t match_set(std::string_view pattern, size_t at, unsigned char c, bool* hit) {
  size_t i = at + 1;
  bool negated = false;
  if (i < pattern.size() && (pattern[i] == '!' || pattern[i] == '^')) {
    negated = true;
    ++i;
  }
  bool found = false;
  bool first = true;
  while (i < pattern.size() && (first || pattern[i] != ']')) {
    first = false;
    const auto low = static_cast<unsigned char>(pattern[i]);
    if (i + 2 < pattern.size() && pattern[i + 1] == '-' && pattern[i + 2] != ']') {
      const auto high = static_cast<unsigned char>(pattern[i + 2]);
      found = found || (low <= c && c <= high);
      i += 3;
    } else {
      found = found || low == c;
      ++i;
    }
  }
  if (i >= pattern.size()) {
    return kNoSet;
  }
  *hit = found != negated;
  return i + 1;
}

bool is_exclusion_part(std::string_view part) {
  return !part.empty() && part.front() == '!';
}

std::string_view without_bang(std::string_view part) {
  return is_exclusion_part(part) ? part.substr(1) : part;
}

}  // namespace

bool glob_match(std::string_view pattern, std::string_view name) {
  // One backtracking point suffices: every element but `*` consumes exactly
  // one character, so a later `*` always supersedes an earlier one.
  size_t p = 0;
  size_t n = 0;
  size_t star_p = kNoSet;
  size_t star_n = 0;
  while (n < name.size()) {
    if (p < pattern.size()) {
      const char pc = pattern[p];
      if (pc == '*') {
        star_p = ++p;
        star_n = n;
        continue;
      }
      if (pc == '?') {
        ++p;
        ++n;
        continue;
      }
      if (pc == '[') {
        bool hit = false;
        const size_t next = match_set(pattern, p, static_cast<unsigned char>(name[n]), &hit);
        if (next == kNoSet ? name[n] == '[' : hit) {
          p = next == kNoSet ? p + 1 : next;
          ++n;
          continue;
        }
      } else if (pc == name[n]) {
        ++p;
        ++n;
        continue;
      }
    }
    if (star_p == kNoSet) {
      return false;
    }
    p = star_p;
    n = ++star_n;
  }
  while (p < pattern.size() && pattern[p] == '*') {
    ++p;
  }
  return p == pattern.size();
}

bool is_pattern_pair(std::string_view type_name, std::string_view topic_name) {
  const auto has_glob = [](std::string_view s) {
    return s.find_first_of("*?[") != std::string_view::npos;
  };
  return has_glob(type_name) || has_glob(topic_name) || is_exclusion_part(type_name) ||
         is_exclusion_part(topic_name);
}

bool is_application_topic(std::string_view topic_name, uint32_t writer_entity_id) {
  if (topic_name.empty() || topic_name.substr(0, 4) == "DCPS" || topic_name.substr(0, 2) == "__") {
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

}  // namespace recorder_internal
