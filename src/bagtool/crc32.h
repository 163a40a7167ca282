// CRC-32 as used by zip and MCAP (polynomial 0x04C11DB7, reflected, initial
// value and final xor 0xFFFFFFFF), computed incrementally.
#pragma once

#include <cstddef>
#include <cstdint>

namespace rnr::bagtool {

class Crc32 {
 public:
  void update(const void* data, size_t size);
  uint32_t value() const { return ~state_; }
  void reset() { state_ = 0xffffffffu; }

 private:
  uint32_t state_ = 0xffffffffu;
};

}  // namespace rnr::bagtool
