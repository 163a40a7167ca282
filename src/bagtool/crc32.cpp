#include "bagtool/crc32.h"

#include <array>
#include <bit>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

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

#if defined(__x86_64__)
// Carry-less multiplication folds 64 bytes at a time into four 128-bit
// remainders, then into one, then reduces it to the 32-bit CRC (Barrett
// reduction), all in the reflected bit order of this CRC. The constants are
// x^k mod P for the fold distances (k = 4*128+32, 4*128-32, 128+32, 128-32,
// 64), P itself and floor(x^64 / P), each bit-reflected. `size` is at least
// 64 and a multiple of 16; returns the new state.
#define RNR_CLMUL __attribute__((target("pclmul,sse4.1")))

RNR_CLMUL inline __m128i load(const uint8_t* at) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

// x moved 128 bits (or 512) further on with k, plus the next 16 bytes.
RNR_CLMUL inline __m128i fold(__m128i x, __m128i k, __m128i next) {
  return _mm_xor_si128(
      _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11)), next);
}

RNR_CLMUL uint32_t fold_crc(uint32_t state, const uint8_t* p, size_t size) {
  __m128i x1 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(static_cast<int>(state)));
  __m128i x2 = load(p + 16);
  __m128i x3 = load(p + 32);
  __m128i x4 = load(p + 48);
  p += 64;
  size -= 64;
  const __m128i k1k2 = _mm_set_epi64x(0x1c6e41596, 0x154442bd4);
  while (size >= 64) {
    x1 = fold(x1, k1k2, load(p));
    x2 = fold(x2, k1k2, load(p + 16));
    x3 = fold(x3, k1k2, load(p + 32));
    x4 = fold(x4, k1k2, load(p + 48));
    p += 64;
    size -= 64;
  }
  const __m128i k3k4 = _mm_set_epi64x(0x0ccaa009e, 0x1751997d0);
  x1 = fold(x1, k3k4, x2);
  x1 = fold(x1, k3k4, x3);
  x1 = fold(x1, k3k4, x4);
  while (size >= 16) {
    x1 = fold(x1, k3k4, load(p));
    p += 16;
    size -= 16;
  }
  // 128 bits to 64, with 32 zero bits appended.
  x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), _mm_clmulepi64_si128(k3k4, x1, 0x01));
  const __m128i mask32 = _mm_set_epi32(0, 0, 0, -1);
  const __m128i k5 = _mm_set_epi64x(0, 0x163cd6124);
  x1 = _mm_xor_si128(_mm_srli_si128(x1, 4),
                     _mm_clmulepi64_si128(_mm_and_si128(x1, mask32), k5, 0x00));
  // Barrett reduction, 64 bits to 32.
  const __m128i poly_mu = _mm_set_epi64x(0x1f7011641, 0x1db710641);
  __m128i t = _mm_clmulepi64_si128(_mm_and_si128(x1, mask32), poly_mu, 0x10);
  t = _mm_clmulepi64_si128(_mm_and_si128(t, mask32), poly_mu, 0x00);
  x1 = _mm_xor_si128(x1, t);
  return static_cast<uint32_t>(_mm_extract_epi32(x1, 1));
}

bool has_clmul() {
  static const bool has = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
  return has;
}
#endif

}  // namespace

void Crc32::update(const void* data, size_t size) {
  const Tables& t = tables();
  const auto* p = static_cast<const uint8_t*>(data);
  uint32_t c = state_;
#if defined(__x86_64__)
  if (size >= 64 && has_clmul()) {
    const size_t folded = size & ~size_t{15};
    c = fold_crc(c, p, folded);
    p += folded;
    size -= folded;
  }
#endif
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
