#include "types/dds_guid.h"

#include <cstdio>
#include <cstring>

namespace {

uint32_t load_word(const void* key, size_t index) {
  uint32_t word;
  std::memcpy(&word, static_cast<const uint8_t*>(key) + index * sizeof(word), sizeof(word));
  return word;
}

}  // namespace

uint64_t dds_guid_hash(const void* key) {
  return uint64_t{load_word(key, 0)} + uint64_t{load_word(key, 1)} + uint64_t{load_word(key, 2)} +
         uint64_t{load_word(key, 3)};
}

bool dds_guid_equals(const void* a, const void* b) {
  const auto* pa = static_cast<const uint8_t*>(a);
  const auto* pb = static_cast<const uint8_t*>(b);
  for (size_t i = 0; i < sizeof(dds_guid::prefix); ++i) {
    if (pa[i] != pb[i]) {
      return false;
    }
  }
  return load_word(a, 3) == load_word(b, 3);
}

int32_t dds_guid_compare(const void* a, const void* b) {
  const auto* pa = static_cast<const uint8_t*>(a);
  const auto* pb = static_cast<const uint8_t*>(b);
  for (size_t i = 0; i < sizeof(dds_guid::prefix); ++i) {
    if (pa[i] > pb[i]) {
      return -1;
    }
    if (pa[i] < pb[i]) {
      return 1;
    }
  }
  const uint32_t ea = load_word(a, 3);
  const uint32_t eb = load_word(b, 3);
  if (ea > eb) {
    return -1;
  }
  if (ea < eb) {
    return 1;
  }
  return 0;
}

size_t dds_guid_to_text(const dds_guid* guid, char* buffer, size_t size) {
  if (buffer == nullptr || size < DDS_GUID_TEXT_SIZE || guid == nullptr) {
    if (buffer != nullptr && size > 0) {
      buffer[0] = '\0';
    }
    return 0;
  }
  const uint8_t* p = guid->prefix;
  const uint32_t e = guid->entity_id;
  const int n =
      std::snprintf(buffer, DDS_GUID_TEXT_SIZE,
                    "%02x%02x%02x%02x %02x%02x%02x%02x %02x%02x%02x%02x %02x%02x%02x%02x", p[0],
                    p[1], p[2], p[3], p[4], p[5], p[6], p[7], p[8], p[9], p[10], p[11],
                    (e >> 24) & 0xffu, (e >> 16) & 0xffu, (e >> 8) & 0xffu, e & 0xffu);
  return n < 0 ? 0 : static_cast<size_t>(n);
}

size_t dds_guid_prefix_to_text(const uint8_t* prefix, char* buffer, size_t size) {
  if (buffer == nullptr || size < DDS_GUID_PREFIX_TEXT_SIZE || prefix == nullptr) {
    if (buffer != nullptr && size > 0) {
      buffer[0] = '\0';
    }
    return 0;
  }
  const uint8_t* p = prefix;
  const int n = std::snprintf(buffer, DDS_GUID_PREFIX_TEXT_SIZE,
                              "%02x%02x%02x%02x %02x%02x%02x%02x %02x%02x%02x%02x", p[0], p[1],
                              p[2], p[3], p[4], p[5], p[6], p[7], p[8], p[9], p[10], p[11]);
  return n < 0 ? 0 : static_cast<size_t>(n);
}

dds_guid_text dds_guid_format(const dds_guid* guid) {
  dds_guid_text out{};
  dds_guid_to_text(guid, out.text, sizeof out.text);
  return out;
}

dds_guid_prefix_text dds_guid_prefix_format(const uint8_t* prefix) {
  dds_guid_prefix_text out{};
  dds_guid_prefix_to_text(prefix, out.text, sizeof out.text);
  return out;
}
