// Damaged bags and bags with hostile type descriptions, one or more of each
// kind of fault that a crash, another tool or a hand can leave in a bag, for
// running every command against them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace rnr::test {

struct DamagedBag {
  std::string name;  // the kind of damage
  std::string path;
  // Whether a replay of it ends by itself within seconds (a bag with a
  // century-long gap does not).
  bool replay_ends = true;
  // A hot journal that opening the bag rolls back: its bytes may change.
  bool rolled_back = false;
};

// Writes the corpus into `dir`. `seed` varies the mutated samples and
// bytes; the kinds of damage are always the same.
std::vector<DamagedBag> write_damaged_bags(const std::string& dir, uint64_t seed);

// One more bag of kind `index % count` with seeded random mutations on top
// (for longer fuzz runs); `count` is the number of kinds.
DamagedBag write_mutated_bag(const std::string& dir, uint64_t seed, size_t index);

// The number of data rows, or -1 when the bag cannot be read.
int64_t readable_rows(const std::string& path);

}  // namespace rnr::test
