// A multiset of byte strings, for comparing sent and received samples
// regardless of arrival order.
#pragma once

#include <cstdint>
#include <cstring>
#include <set>
#include <vector>

namespace rnr::test {

// Orders by length first, then by content. Spelled out with memcmp because
// GCC 12 at -O3 warns falsely inside std::vector's three-way comparison.
struct BytesLess {
  bool operator()(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) const {
    if (a.size() != b.size()) {
      return a.size() < b.size();
    }
    return a.empty() ? false : std::memcmp(a.data(), b.data(), a.size()) < 0;
  }
};

using ByteMultiset = std::multiset<std::vector<uint8_t>, BytesLess>;

}  // namespace rnr::test
