// GUID keys of remote DDS writers: the 16-byte value, the hash, equality and
// ordering used by the per-topic writer maps, and the text forms used in log
// lines and in the bag's writers table. Standard library only.
#pragma once

#include <cstddef>
#include <cstdint>

// A DDS GUID: the 12-byte participant prefix in the order the middleware
// delivers it, then the entity id as a host-order 32-bit word (24-bit entity
// key in the upper three bytes, entity kind in the low byte).
struct dds_guid {
  uint8_t prefix[12];
  uint32_t entity_id;
};
static_assert(sizeof(dds_guid) == 16, "a GUID is 16 bytes, prefix and entity id back to back");

// Buffer sizes of the two text forms, terminator included.
constexpr size_t DDS_GUID_TEXT_SIZE = 36;         // "pppppppp pppppppp pppppppp eeeeeeee"
constexpr size_t DDS_GUID_PREFIX_TEXT_SIZE = 27;  // "pppppppp pppppppp pppppppp"

// Hash of a 16-byte key: the sum of its four host-order 32-bit words, widened
// to 64 bits (never wraps; at most 0x3FFFFFFFC).
uint64_t dds_guid_hash(const void* key);

// True when the two 16-byte keys are identical.
bool dds_guid_equals(const void* a, const void* b);

// Orders two 16-byte keys with the greater one first: -1 when a is greater
// than b, 1 when it is smaller, 0 when equal. The prefix is compared byte by
// byte as unsigned values, then the entity ids as unsigned integers.
int32_t dds_guid_compare(const void* a, const void* b);

// Writes the 35-character GUID text (prefix bytes in order, then the entity id
// most significant byte first, four groups of eight lower-case hex digits) and
// a terminator into `buffer`. Returns the number of characters written, 35, or
// 0 when `size` is below DDS_GUID_TEXT_SIZE (then `buffer` holds "" if size > 0).
size_t dds_guid_to_text(const dds_guid* guid, char* buffer, size_t size);

// Writes the 26-character text of a 12-byte GUID prefix and a terminator into
// `buffer`. Returns 26, or 0 when `size` is below DDS_GUID_PREFIX_TEXT_SIZE.
size_t dds_guid_prefix_to_text(const uint8_t* prefix, char* buffer, size_t size);
