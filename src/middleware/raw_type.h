// Cyclone sertype and serdata that carry samples as opaque serialized bytes
// (the 4-byte encapsulation header included), so that readers hand over what
// arrived and writers send what they are given, without knowing the type.
// Only src/middleware includes this header.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <dds/dds.h>
#include <dds/ddsi/ddsi_keyhash.h>
#include <dds/ddsi/ddsi_serdata.h>
#include <dds/ddsi/ddsi_sertype.h>

#include "middleware/binding_internal.h"

namespace rnr::mw {

// One raw sample: `size` bytes at `bytes`, followed by zero bytes up to the
// next multiple of 4 (Cyclone reads the transmitted length rounded up to 4).
// The key identity of a sample is the key hash the sender supplied, if any;
// samples without one all compare equal, which is why the binding's raw
// endpoints keep their whole history (KEEP_ALL).
struct RawSerdata {
  ddsi_serdata c;
  uint32_t size;
  bool has_keyhash;
  ddsi_keyhash_t keyhash;
  uint8_t* bytes;  // points just behind this struct, in the same allocation
  // The writer's sequence number of a received sample (from its DATA or
  // DATA_FRAG submessage); 0 when not known.
  uint64_t sequence_number;
};

// The application-side sample of a raw type, used by dds_write/dds_take on a
// raw topic: a malloc'ed copy of the bytes.
struct RawSample {
  uint8_t* data;
  uint32_t size;
};

// A new raw sertype for (type name, keyed); its reference belongs to the
// caller (dds_create_topic_sertype consumes it). Null when out of memory.
ddsi_sertype* raw_sertype_create(const std::string& type_name, bool keyed);

// A data serdata holding a copy of `size` bytes, or null.
ddsi_serdata* raw_serdata_from_bytes(const ddsi_sertype* type, const void* data, size_t size);

// A key serdata holding a copy of a serialized key of `size` bytes, or null.
ddsi_serdata* raw_serdata_from_key(const ddsi_sertype* type, const void* key, size_t size);

// The serialized key a dispose or unregister of the instance with this key
// hash last carried to a reader of the sertype, and the writer's sequence
// number of that message (0: not known); false when none is known.
bool raw_sertype_key(const ddsi_sertype* type, const uint8_t (&key_hash)[16],
                     std::vector<uint8_t>* key, uint64_t* sequence_number);

bool is_raw_serdata(const ddsi_serdata* d);

// The bytes of a raw serdata (null when it holds none) and their count.
inline const uint8_t* raw_serdata_bytes(const ddsi_serdata* d) {
  const auto* rd = reinterpret_cast<const RawSerdata*>(d);
  return rd->size == 0 ? nullptr : rd->bytes;
}
inline uint64_t raw_serdata_sequence_number(const ddsi_serdata* d) {
  return reinterpret_cast<const RawSerdata*>(d)->sequence_number;
}
// The key hash the sender supplied with a raw serdata, if any.
inline void raw_serdata_key_hash(const ddsi_serdata* d, bool* has, uint8_t (&hash)[16]) {
  const auto* rd = reinterpret_cast<const RawSerdata*>(d);
  *has = rd->has_keyhash;
  if (rd->has_keyhash) {
    std::memcpy(hash, rd->keyhash.value, sizeof hash);
  }
}
inline uint32_t raw_serdata_size(const ddsi_serdata* d) {
  return reinterpret_cast<const RawSerdata*>(d)->size;
}

}  // namespace rnr::mw

// The raw type supports handed out by dds_TypeSupport_raw_create(_w_key):
// registering one records (type name, keyed) with the participant.
struct RawTypeSupport : dds_TypeSupport {
  explicit RawTypeSupport(bool keyed_) : keyed(keyed_) {}
  bool is_dynamic() const override { return false; }
  bool keyed;
};
