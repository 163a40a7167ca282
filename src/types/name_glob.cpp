#include "types/name_glob.h"

#include <cstddef>

namespace rnr::types {
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

}  // namespace rnr::types
