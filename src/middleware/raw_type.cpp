#include "middleware/raw_type.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include <dds/ddsi/q_radmin.h>

namespace rnr::mw {
namespace {

extern const ddsi_serdata_ops kSerdataOps;

// The most serialized keys a sertype remembers; beyond it they are dropped
// and remembered anew.
constexpr size_t kMaxRememberedKeys = 65536;

struct RawSertype {
  ddsi_sertype c;
  // The serialized key of each instance that a dispose or unregister named
  // with one, by key hash: a reader hands out an instance's state change
  // without its key (the key lives in Cyclone's instance map, untyped), so
  // the take looks it up here.
  std::mutex keys_mutex;
  struct Key {
    std::vector<uint8_t> bytes;
    uint64_t sequence_number = 0;  // of the message that carried it
  };
  std::unordered_map<std::string, Key> keys;
};

void remember_key(const ddsi_sertype* type, const RawSerdata* d) {
  if (type == nullptr || type->serdata_ops != &kSerdataOps || !d->has_keyhash || d->size == 0) {
    return;
  }
  auto* st = const_cast<RawSertype*>(reinterpret_cast<const RawSertype*>(type));
  try {
    std::lock_guard<std::mutex> lock(st->keys_mutex);
    if (st->keys.size() >= kMaxRememberedKeys) {
      st->keys.clear();
    }
    RawSertype::Key& key =
        st->keys[std::string(reinterpret_cast<const char*>(d->keyhash.value), 16)];
    key.bytes.assign(d->bytes, d->bytes + d->size);
    key.sequence_number = d->sequence_number;
  } catch (const std::exception&) {
    // Out of memory: the key is not remembered, the state change is still taken.
  }
}

constexpr uint32_t kKeylessHash = 0x5a3c96e1u;

size_t padded(size_t size) {
  return (size + 3u) & ~static_cast<size_t>(3u);
}

uint32_t hash_keyhash(const ddsi_keyhash_t& kh) {
  // FNV-1a over the 16 key hash bytes.
  uint32_t h = 2166136261u;
  for (unsigned char b : kh.value) {
    h = (h ^ b) * 16777619u;
  }
  return h;
}

RawSerdata* to_raw(ddsi_serdata* d) {
  return reinterpret_cast<RawSerdata*>(d);
}
const RawSerdata* to_raw(const ddsi_serdata* d) {
  return reinterpret_cast<const RawSerdata*>(d);
}

void set_key(RawSerdata* d, const ddsi_keyhash_t* kh) {
  if (kh != nullptr) {
    d->has_keyhash = true;
    d->keyhash = *kh;
    d->c.hash = hash_keyhash(*kh);
  } else {
    d->has_keyhash = false;
    std::memset(&d->keyhash, 0, sizeof d->keyhash);
    d->c.hash = kKeylessHash;
  }
}

// One allocation holds the header struct and the bytes padded to 4 with zeros.
RawSerdata* serdata_alloc(const ddsi_sertype* type, ddsi_serdata_kind kind, size_t size) {
  if (size > UINT32_MAX - 8u) {
    return nullptr;
  }
  const size_t room = padded(size);
  void* mem = std::malloc(sizeof(RawSerdata) + room);
  if (mem == nullptr) {
    return nullptr;
  }
  auto* d = static_cast<RawSerdata*>(mem);
  std::memset(d, 0, sizeof(RawSerdata));
  if (type != nullptr) {
    ddsi_serdata_init(&d->c, type, kind);
  } else {
    // An untyped key copy: the same fields, without a type to take them from.
    d->c.ops = &kSerdataOps;
    d->c.kind = kind;
    d->c.timestamp.v = INT64_MIN;
    d->c.twrite.v = INT64_MIN;
    ddsrt_atomic_st32(&d->c.refc, 1);
  }
  d->size = static_cast<uint32_t>(size);
  d->bytes = reinterpret_cast<uint8_t*>(d + 1);
  if (room > size) {
    std::memset(d->bytes + size, 0, room - size);
  }
  set_key(d, nullptr);
  return d;
}

// --- serdata operations ----------------------------------------------------

bool sd_eqkey(const ddsi_serdata* a, const ddsi_serdata* b) {
  const RawSerdata* x = to_raw(a);
  const RawSerdata* y = to_raw(b);
  if (x->has_keyhash != y->has_keyhash) {
    return false;
  }
  return !x->has_keyhash || std::memcmp(x->keyhash.value, y->keyhash.value, 16) == 0;
}

uint32_t sd_get_size(const ddsi_serdata* d) {
  return to_raw(d)->size;
}

// The writer sequence number of the DATA or DATA_FRAG submessage a sample
// came in: behind the submessage header (4 bytes), extra flags and the
// inline QoS offset (2 + 2), reader and writer ids (4 + 4) come the high
// (signed) and low 32-bit words. Cyclone has turned the submessage's fields
// into host order when it validated it.
uint64_t sequence_number_of(const nn_rdata* f) {
  constexpr uint8_t kData = 0x15;
  constexpr uint8_t kDataFrag = 0x16;
  if (f == nullptr || f->submsg_zoff == 0) {
    return 0;
  }
  const unsigned char* sm = NN_RMSG_PAYLOADOFF(f->rmsg, NN_RDATA_SUBMSG_OFF(f));
  if (sm[0] != kData && sm[0] != kDataFrag) {
    return 0;
  }
  int32_t high = 0;
  uint32_t low = 0;
  std::memcpy(&high, sm + 16, sizeof high);
  std::memcpy(&low, sm + 20, sizeof low);
  if (high < 0) {
    return 0;  // not a valid sequence number
  }
  return (static_cast<uint64_t>(high) << 32) | low;
}

ddsi_serdata* sd_from_ser(const ddsi_sertype* type, ddsi_serdata_kind kind,
                          const nn_rdata* fragchain, size_t size) {
  RawSerdata* d = serdata_alloc(type, kind, size);
  if (d == nullptr) {
    return nullptr;
  }
  // Fragments arrive in order and may overlap; copy only what extends the
  // bytes gathered so far.
  size_t off = 0;
  for (const nn_rdata* f = fragchain; f != nullptr && off < size; f = f->nextfrag) {
    if (f->min > off) {
      break;  // a gap: the sample is incomplete
    }
    const size_t end = f->maxp1 < size ? f->maxp1 : size;
    if (end > off) {
      const unsigned char* payload = NN_RMSG_PAYLOADOFF(f->rmsg, NN_RDATA_PAYLOAD_OFF(f));
      std::memcpy(d->bytes + off, payload + (off - f->min), end - off);
      off = end;
    }
  }
  if (off < size) {
    std::free(d);
    return nullptr;
  }
  set_key(d, fragchain != nullptr ? ddsi_serdata_keyhash_from_fragchain(fragchain) : nullptr);
  d->sequence_number = sequence_number_of(fragchain);
  if (kind == SDK_KEY) {
    remember_key(type, d);
  }
  return &d->c;
}

ddsi_serdata* sd_from_ser_iov(const ddsi_sertype* type, ddsi_serdata_kind kind,
                              ddsrt_msg_iovlen_t niov, const ddsrt_iovec_t* iov, size_t size) {
  RawSerdata* d = serdata_alloc(type, kind, size);
  if (d == nullptr) {
    return nullptr;
  }
  size_t off = 0;
  for (ddsrt_msg_iovlen_t i = 0; i < niov && off < size; i++) {
    size_t n = iov[i].iov_len;
    if (n > size - off) {
      n = size - off;
    }
    std::memcpy(d->bytes + off, iov[i].iov_base, n);
    off += n;
  }
  if (off < size) {
    std::free(d);
    return nullptr;
  }
  return &d->c;
}

ddsi_serdata* sd_from_keyhash(const ddsi_sertype* type, const ddsi_keyhash* keyhash) {
  RawSerdata* d = serdata_alloc(type, SDK_KEY, 0);
  if (d == nullptr) {
    return nullptr;
  }
  set_key(d, keyhash);
  return &d->c;
}

ddsi_serdata* sd_from_sample(const ddsi_sertype* type, ddsi_serdata_kind kind, const void* sample) {
  const auto* s = static_cast<const RawSample*>(sample);
  if (s == nullptr || (s->data == nullptr && s->size != 0)) {
    return nullptr;
  }
  RawSerdata* d = serdata_alloc(type, kind, s->size);
  if (d == nullptr) {
    return nullptr;
  }
  if (s->size != 0) {
    std::memcpy(d->bytes, s->data, s->size);
  }
  return &d->c;
}

void sd_to_ser(const ddsi_serdata* d, size_t off, size_t sz, void* buf) {
  const RawSerdata* r = to_raw(d);
  const size_t room = padded(r->size);
  if (off >= room) {
    return;
  }
  if (sz > room - off) {
    sz = room - off;
  }
  std::memcpy(buf, r->bytes + off, sz);
}

ddsi_serdata* sd_to_ser_ref(const ddsi_serdata* d, size_t off, size_t sz, ddsrt_iovec_t* ref) {
  const RawSerdata* r = to_raw(d);
  const size_t room = padded(r->size);
  if (off > room) {
    off = room;
  }
  if (sz > room - off) {
    sz = room - off;
  }
  ref->iov_base = r->bytes + off;
  ref->iov_len = static_cast<ddsrt_iov_len_t>(sz);
  return ddsi_serdata_ref(d);
}

void sd_to_ser_unref(ddsi_serdata* d, const ddsrt_iovec_t* ref) {
  (void)ref;
  ddsi_serdata_unref(d);
}

bool copy_to_sample(const RawSerdata* r, void* sample) {
  auto* s = static_cast<RawSample*>(sample);
  std::free(s->data);
  s->data = nullptr;
  s->size = 0;
  if (r->size == 0) {
    return true;
  }
  s->data = static_cast<uint8_t*>(std::malloc(r->size));
  if (s->data == nullptr) {
    return false;
  }
  std::memcpy(s->data, r->bytes, r->size);
  s->size = r->size;
  return true;
}

bool sd_to_sample(const ddsi_serdata* d, void* sample, void** bufptr, void* buflim) {
  (void)bufptr;
  (void)buflim;
  return copy_to_sample(to_raw(d), sample);
}

// The untyped copy keeps only the key identity; it never looks at its type.
ddsi_serdata* sd_to_untyped(const ddsi_serdata* d) {
  const RawSerdata* r = to_raw(d);
  RawSerdata* u = serdata_alloc(r->c.type, SDK_KEY, 0);
  if (u == nullptr) {
    return nullptr;
  }
  set_key(u, r->has_keyhash ? &r->keyhash : nullptr);
  u->c.type = nullptr;
  return &u->c;
}

bool sd_untyped_to_sample(const ddsi_sertype* type, const ddsi_serdata* d, void* sample,
                          void** bufptr, void* buflim) {
  (void)type;
  (void)bufptr;
  (void)buflim;
  return copy_to_sample(to_raw(d), sample);
}

void sd_free(ddsi_serdata* d) {
  std::free(to_raw(d));
}

size_t sd_print(const ddsi_sertype* type, const ddsi_serdata* d, char* buf, size_t size) {
  (void)type;
  const int n = std::snprintf(buf, size, "raw(%u bytes)", static_cast<unsigned>(to_raw(d)->size));
  return n < 0 ? 0 : static_cast<size_t>(n);
}

void sd_get_keyhash(const ddsi_serdata* d, ddsi_keyhash* buf, bool force_md5) {
  (void)force_md5;
  const RawSerdata* r = to_raw(d);
  if (r->has_keyhash) {
    *buf = r->keyhash;
  } else {
    std::memset(buf->value, 0, sizeof buf->value);
  }
}

#ifdef DDS_HAS_SHM
uint32_t sd_get_sample_size(const ddsi_serdata* d) {
  return to_raw(d)->size;
}
#endif

const ddsi_serdata_ops kSerdataOps = {
    sd_eqkey,
    sd_get_size,
    sd_from_ser,
    sd_from_ser_iov,
    sd_from_keyhash,
    sd_from_sample,
    sd_to_ser,
    sd_to_ser_ref,
    sd_to_ser_unref,
    sd_to_sample,
    sd_to_untyped,
    sd_untyped_to_sample,
    sd_free,
    sd_print,
    sd_get_keyhash,
#ifdef DDS_HAS_SHM
    sd_get_sample_size,
    nullptr,  // no shared-memory transport: Cyclone falls back to from_sample
#endif
};

// --- sertype operations ----------------------------------------------------

void st_free(ddsi_sertype* tp) {
  ddsi_sertype_fini(tp);
  delete reinterpret_cast<RawSertype*>(tp);
}

void st_zero_samples(const ddsi_sertype* tp, void* samples, size_t count) {
  (void)tp;
  std::memset(samples, 0, count * sizeof(RawSample));
}

void st_realloc_samples(void** ptrs, const ddsi_sertype* tp, void* old, size_t oldcount,
                        size_t count) {
  (void)tp;
  auto* grown = static_cast<RawSample*>(std::realloc(old, count * sizeof(RawSample)));
  if (grown != nullptr && count > oldcount) {
    std::memset(grown + oldcount, 0, (count - oldcount) * sizeof(RawSample));
  }
  for (size_t i = 0; i < count; i++) {
    ptrs[i] = grown == nullptr ? nullptr : grown + i;
  }
}

void st_free_samples(const ddsi_sertype* tp, void** ptrs, size_t count, dds_free_op_t op) {
  (void)tp;
  if (count == 0 || ptrs == nullptr) {
    return;
  }
  if (op & DDS_FREE_CONTENTS_BIT) {
    for (size_t i = 0; i < count; i++) {
      auto* s = static_cast<RawSample*>(ptrs[i]);
      if (s != nullptr) {
        std::free(s->data);
        s->data = nullptr;
        s->size = 0;
      }
    }
  }
  if (op & DDS_FREE_ALL_BIT) {
    std::free(ptrs[0]);
  }
}

bool st_equal(const ddsi_sertype* a, const ddsi_sertype* b) {
  // Name, key flag and operations are compared by Cyclone already; raw
  // sertypes have nothing else.
  (void)a;
  (void)b;
  return true;
}

uint32_t st_hash(const ddsi_sertype* tp) {
  (void)tp;
  return 0;
}

size_t st_get_serialized_size(const ddsi_sertype* tp, const void* sample) {
  (void)tp;
  return static_cast<const RawSample*>(sample)->size;
}

bool st_serialize_into(const ddsi_sertype* tp, const void* sample, void* dst, size_t dst_size) {
  (void)tp;
  const auto* s = static_cast<const RawSample*>(sample);
  if (s->size > dst_size || (s->size != 0 && s->data == nullptr)) {
    return false;
  }
  if (s->size != 0) {
    std::memcpy(dst, s->data, s->size);
  }
  return true;
}

const ddsi_sertype_ops kSertypeOps = {
    ddsi_sertype_v0,
    nullptr,
    st_free,
    st_zero_samples,
    st_realloc_samples,
    st_free_samples,
    st_equal,
    st_hash,
    nullptr,  // type_id: raw types announce no type information
    nullptr,  // type_map
    nullptr,  // type_info
    nullptr,  // derive_sertype: the bytes are sent as they are in every representation
    st_get_serialized_size,
    st_serialize_into,
};

}  // namespace

ddsi_sertype* raw_sertype_create(const std::string& type_name, bool keyed) {
  auto* st = new (std::nothrow) RawSertype();
  if (st == nullptr) {
    return nullptr;
  }
  // Keyed types ask remote writers for the key hash so that their instances
  // stay apart; keyless types have a single instance.
  const uint32_t flags =
      keyed ? DDSI_SERTYPE_FLAG_REQUEST_KEYHASH : DDSI_SERTYPE_FLAG_TOPICKIND_NO_KEY;
  ddsi_sertype_init_flags(&st->c, type_name.c_str(), &kSertypeOps, &kSerdataOps, flags);
  st->c.allowed_data_representation =
      DDS_DATA_REPRESENTATION_FLAG_XCDR1 | DDS_DATA_REPRESENTATION_FLAG_XCDR2;
  return &st->c;
}

ddsi_serdata* raw_serdata_from_bytes(const ddsi_sertype* type, const void* data, size_t size) {
  RawSerdata* d = serdata_alloc(type, SDK_DATA, size);
  if (d == nullptr) {
    return nullptr;
  }
  if (size != 0) {
    std::memcpy(d->bytes, data, size);
  }
  return &d->c;
}

ddsi_serdata* raw_serdata_from_key(const ddsi_sertype* type, const void* key, size_t size) {
  RawSerdata* d = serdata_alloc(type, SDK_KEY, size);
  if (d == nullptr) {
    return nullptr;
  }
  if (size != 0) {
    std::memcpy(d->bytes, key, size);
  }
  return &d->c;
}

bool raw_sertype_key(const ddsi_sertype* type, const uint8_t (&key_hash)[16],
                     std::vector<uint8_t>* key, uint64_t* sequence_number) {
  if (type == nullptr || type->serdata_ops != &kSerdataOps) {
    return false;
  }
  auto* st = const_cast<RawSertype*>(reinterpret_cast<const RawSertype*>(type));
  try {
    std::lock_guard<std::mutex> lock(st->keys_mutex);
    const auto found = st->keys.find(std::string(reinterpret_cast<const char*>(key_hash), 16));
    if (found == st->keys.end()) {
      return false;
    }
    *key = found->second.bytes;
    *sequence_number = found->second.sequence_number;
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

bool is_raw_serdata(const ddsi_serdata* d) {
  return d != nullptr && d->ops == &kSerdataOps;
}

}  // namespace rnr::mw
