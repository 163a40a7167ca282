#include "bagtool/crc32.h"

#include <array>
#include <bit>
#include <cstring>

namespace rnr::bagtool {
namespace {

// tables[k][b]: the CRC of byte b followed by k zero bytes, so that eight
// bytes are folded in with eight lookups (slicing by eight).
using Tables = std::array<std::array<uint32_t, 256>, 8>;

Tables make_tables() {
  Tables t{};
  for (uint32_t b = 0; b < 256; ++b) {
    uint32_t c = b;
    for (int bit = 0; bit < 8; ++bit) {
      c = (c & 1u) ? (c >> 1) ^ 0xedb88320u : c >> 1;
    }
    t[0][b] = c;
  }
  for (uint32_t b = 0; b < 256; ++b) {
    for (size_t k = 1; k < 8; ++k) {
      t[k][b] = (t[k - 1][b] >> 8) ^ t[0][t[k - 1][b] & 0xffu];
    }
  }
  return t;
}

const Tables& tables() {
  static const Tables t = make_tables();
  return t;
}

}  // namespace

void Crc32::update(const void* data, size_t size) {
  const Tables& t = tables();
  const auto* p = static_cast<const uint8_t*>(data);
  uint32_t c = state_;
  while (size >= 8) {
    uint32_t lo, hi;
    std::memcpy(&lo, p, 4);
    std::memcpy(&hi, p + 4, 4);
    if constexpr (std::endian::native == std::endian::big) {
      lo = __builtin_bswap32(lo);
      hi = __builtin_bswap32(hi);
    }
    lo ^= c;
    c = t[7][lo & 0xffu] ^ t[6][(lo >> 8) & 0xffu] ^ t[5][(lo >> 16) & 0xffu] ^ t[4][lo >> 24] ^
        t[3][hi & 0xffu] ^ t[2][(hi >> 8) & 0xffu] ^ t[1][(hi >> 16) & 0xffu] ^ t[0][hi >> 24];
    p += 8;
    size -= 8;
  }
  while (size-- > 0) {
    c = (c >> 8) ^ t[0][(c ^ *p++) & 0xffu];
  }
  state_ = c;
}

}  // namespace rnr::bagtool
