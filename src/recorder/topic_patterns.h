// Record pairs with glob meaning. DDS topic and type names cannot contain
// `*`, `?` or `[`, so a pair that does is a pattern: `*` matches any run of
// characters, `?` one character, `[...]` one character of a set (ranges
// `a-z`, negated by a leading `!` or `^`), always against the whole name. A
// pair whose type or topic begins with `!` is an exclusion: a topic it
// matches (with the `!` taken off) is brought in by no pattern. A pair that
// is neither is literal and is recorded exactly as given.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "types/name_glob.h"

namespace rnr::recorder::internal {

// The glob matcher of the type library, which the bag tool's play shares.
using rnr::types::glob_match;

// Whether a pair given for recording is a pattern or an exclusion rather than
// a literal (topic, type) pair.
bool is_pattern_pair(std::string_view type_name, std::string_view topic_name);

// Whether a topic is application traffic that a pattern may bring in: not a
// DDS built-in topic (names beginning with "DCPS" or "__"), not one of the
// recorders' own control and status topics ("quorvin_rnr/..."; a literal pair
// still records them), and announced by a writer whose entity kind is neither
// built-in nor vendor-specific.
bool is_application_topic(std::string_view topic_name, uint32_t writer_entity_id);

// The pattern and exclusion pairs of one recording.
class TopicPatterns {
 public:
  // Adds a pattern or exclusion pair; false (nothing added) for a literal one.
  bool add(std::string_view type_name, std::string_view topic_name);
  bool empty() const { return includes_.empty(); }
  // True when an including pair matches the topic and no exclusion does.
  bool matches(std::string_view type_name, std::string_view topic_name) const;
  // Marks the including pairs that match a topic brought in.
  void note_brought_in(std::string_view type_name, std::string_view topic_name);
  // The including pairs (type, topic) that have brought in no topic so far.
  std::vector<std::pair<std::string, std::string>> idle() const;

 private:
  struct Pair {
    std::string type;
    std::string topic;
    bool brought_in = false;
    bool matches(std::string_view type_name, std::string_view topic_name) const;
  };
  std::vector<Pair> includes_;
  std::vector<Pair> excludes_;
};

}  // namespace rnr::recorder::internal
