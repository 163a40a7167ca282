// Glob patterns over topic and type names, shared by `record` (pattern
// pairs) and the bag tool's `play --topic/--exclude`, so that a pattern means
// the same in both: `*` matches any run of characters, `?` one character,
// `[...]` one character of a set (ranges `a-z`, negated by a leading `!` or
// `^`), always against the whole name. Standard library only.
#pragma once

#include <string_view>

namespace rnr::types {

// True when `name` as a whole matches the glob `pattern`. A `[` without a
// closing `]` stands for itself.
bool glob_match(std::string_view pattern, std::string_view name);

}  // namespace rnr::types
