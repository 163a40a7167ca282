// GUID keys of remote DDS writers: the 16-byte value, the hash, equality and
// ordering used by the per-topic writer maps, and the text forms used in log
// lines and in the bag's writers table, and the entity kinds an entity id
// carries. Standard library only: the bag store links it without the binding.
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

// The two text forms held in fixed buffers, for `%s` in log lines and for the
// bag's writers table. The text is empty when the input is null.
struct dds_guid_text {
  char text[DDS_GUID_TEXT_SIZE];
};
struct dds_guid_prefix_text {
  char text[DDS_GUID_PREFIX_TEXT_SIZE];
};
dds_guid_text dds_guid_format(const dds_guid* guid);
dds_guid_prefix_text dds_guid_prefix_format(const uint8_t* prefix);

// Entity kinds, the low byte of an entity id. The two top bits flag built-in
// (0xc0) and vendor-specific (0x40) entities; the low nibble is the kind
// proper.
constexpr uint32_t DDS_ENTITY_KIND_WRITER_WITH_KEY = 0x02u;
constexpr uint32_t DDS_ENTITY_KIND_WRITER_NO_KEY = 0x03u;
constexpr uint32_t DDS_ENTITY_KIND_READER_NO_KEY = 0x04u;
constexpr uint32_t DDS_ENTITY_KIND_READER_WITH_KEY = 0x07u;
constexpr uint32_t DDS_ENTITY_KIND_BUILTIN_FLAG = 0xc0u;
constexpr uint32_t DDS_ENTITY_KIND_VENDOR_FLAG = 0x40u;
// The kind proper, without the built-in and vendor flags.
constexpr uint32_t DDS_ENTITY_KIND_BASE_MASK = 0x0fu;

// True when the entity id names a writer, keyed or not, built-in or not.
constexpr bool dds_entity_id_is_writer(uint32_t entity_id) {
  const uint32_t kind = entity_id & DDS_ENTITY_KIND_BASE_MASK;
  return kind == DDS_ENTITY_KIND_WRITER_WITH_KEY || kind == DDS_ENTITY_KIND_WRITER_NO_KEY;
}

// True when the entity id names an entity of a keyed topic: a writer with key
// or a reader with key.
constexpr bool dds_entity_id_is_keyed(uint32_t entity_id) {
  const uint32_t kind = entity_id & DDS_ENTITY_KIND_BASE_MASK;
  return kind == DDS_ENTITY_KIND_WRITER_WITH_KEY || kind == DDS_ENTITY_KIND_READER_WITH_KEY;
}
