#include "middleware/types/type_lookup.h"

#include <array>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>

#include <dds/ddsi/ddsi_xqos.h>
#include <dds/ddsi/ddsi_typelib.h>
#include <dds/ddsi/ddsi_xt_impl.h>

#include "log/mlog.h"
#include "middleware/entities.h"

namespace rnr::mw {

using namespace rnr::types;

namespace {

using Hash = std::array<uint8_t, 14>;

// Type kinds of XTypes 1.3 that this Cyclone's headers do not name.
constexpr uint8_t kTkInt8 = 0x0C;
constexpr uint8_t kTkUInt8 = 0x0D;

constexpr int kMaxIdentifierDepth = 64;
// More types than any real topic type uses; keeps a hostile peer from making
// a lookup (and the renderer's recursion) unbounded.
constexpr size_t kMaxTypes = 4096;

void log_error(const std::string& text) {
  mlog_write(MLOG_GLOBAL_INSTANCE, 4, 0, 0, 0, "Types %s", text.c_str());
}

std::string hash_text(const Hash& hash) {
  static const char* digits = "0123456789abcdef";
  std::string text;
  for (uint8_t b : hash) {
    text += digits[b >> 4];
    text += digits[b & 15];
  }
  return text;
}

// Bounded copy of a fixed-size name field that may lack its terminator.
template <size_t N>
std::string field_text(const char (&field)[N]) {
  return std::string(field, strnlen(field, N));
}

// Turns complete type objects into a TypeGraph. Referenced named types are
// queued by hash until their own type object arrives.
class GraphBuilder {
 public:
  bool add_root(const DDS_XTypes_TypeIdentifier& id) {
    auto root = from_identifier(id, 0);
    if (!root) {
      return false;
    }
    graph_.root = *root;
    return true;
  }

  bool next_pending(Hash* hash, TypeIndex* index) {
    if (pending_.empty()) {
      return false;
    }
    std::tie(*hash, *index) = pending_.front();
    pending_.pop_front();
    return true;
  }

  bool fill(TypeIndex index, const DDS_XTypes_CompleteTypeObject& object);

  const std::string& error() const { return error_; }
  void set_error(std::string text) { error_ = std::move(text); }

  TypeGraph take() {
    graph_.type_name = graph_.types[graph_.root].name;
    return std::move(graph_);
  }

 private:
  std::optional<TypeIndex> add(Type type) {
    if (graph_.types.size() >= kMaxTypes) {
      return fail("type uses too many types");
    }
    graph_.types.push_back(std::move(type));
    return static_cast<TypeIndex>(graph_.types.size() - 1);
  }

  std::optional<TypeIndex> fail(std::string text) {
    error_ = std::move(text);
    return std::nullopt;
  }

  std::optional<TypeIndex> primitive(Kind kind) {
    auto found = primitives_.find(kind);
    if (found != primitives_.end()) {
      return found->second;
    }
    Type type;
    type.kind = kind;
    auto index = add(std::move(type));
    if (index) {
      primitives_[kind] = *index;
    }
    return index;
  }

  std::optional<TypeIndex> collection(Kind kind, const DDS_XTypes_TypeIdentifier* element,
                                      uint16_t element_flags, std::vector<uint32_t> bounds,
                                      int depth) {
    if (element == nullptr) {
      return fail("collection without element type");
    }
    auto element_index = from_identifier(*element, depth + 1);
    if (!element_index) {
      return std::nullopt;
    }
    Type type;
    type.kind = kind;
    type.element = *element_index;
    type.element_flags = element_flags;
    type.bounds = std::move(bounds);
    return add(std::move(type));
  }

  template <typename Seq>
  std::optional<std::vector<uint32_t>> dims(const Seq& seq) {
    if (seq._length == 0 || seq._buffer == nullptr) {
      return std::nullopt;
    }
    std::vector<uint32_t> out;
    for (uint32_t i = 0; i < seq._length; ++i) {
      if (seq._buffer[i] == 0) {
        return std::nullopt;
      }
      out.push_back(seq._buffer[i]);
    }
    return out;
  }

  std::optional<TypeIndex> map(const DDS_XTypes_TypeIdentifier* key,
                               const DDS_XTypes_TypeIdentifier* element, uint16_t element_flags,
                               uint32_t bound, int depth) {
    if (key == nullptr) {
      return fail("map without key type");
    }
    auto key_index = from_identifier(*key, depth + 1);
    if (!key_index) {
      return std::nullopt;
    }
    auto index = collection(Kind::Map, element, element_flags, {bound}, depth);
    if (index) {
      graph_.types[*index].key = *key_index;
    }
    return index;
  }

  std::optional<TypeIndex> from_identifier(const DDS_XTypes_TypeIdentifier& id, int depth);

  std::optional<TypeIndex> from_element(const DDS_XTypes_CompleteCollectionElement& element,
                                        int depth) {
    return from_identifier(element.common.type, depth + 1);
  }

  TypeGraph graph_;
  std::map<Kind, TypeIndex> primitives_;
  std::map<Hash, TypeIndex> by_hash_;
  std::deque<std::pair<Hash, TypeIndex>> pending_;
  std::string error_;
};

std::optional<TypeIndex> GraphBuilder::from_identifier(const DDS_XTypes_TypeIdentifier& id,
                                                       int depth) {
  if (depth > kMaxIdentifierDepth) {
    return fail("type identifiers nested too deeply");
  }
  switch (id._d) {
    case DDS_XTypes_TK_BOOLEAN:
      return primitive(Kind::Boolean);
    case DDS_XTypes_TK_BYTE:
      return primitive(Kind::Byte);
    case kTkInt8:
      return primitive(Kind::Int8);
    case kTkUInt8:
      return primitive(Kind::UInt8);
    case DDS_XTypes_TK_INT16:
      return primitive(Kind::Int16);
    case DDS_XTypes_TK_UINT16:
      return primitive(Kind::UInt16);
    case DDS_XTypes_TK_INT32:
      return primitive(Kind::Int32);
    case DDS_XTypes_TK_UINT32:
      return primitive(Kind::UInt32);
    case DDS_XTypes_TK_INT64:
      return primitive(Kind::Int64);
    case DDS_XTypes_TK_UINT64:
      return primitive(Kind::UInt64);
    case DDS_XTypes_TK_FLOAT32:
      return primitive(Kind::Float32);
    case DDS_XTypes_TK_FLOAT64:
      return primitive(Kind::Float64);
    case DDS_XTypes_TK_FLOAT128:
      return primitive(Kind::Float128);
    case DDS_XTypes_TK_CHAR8:
      return primitive(Kind::Char8);
    case DDS_XTypes_TK_CHAR16:
      return primitive(Kind::Char16);
    case DDS_XTypes_TI_STRING8_SMALL:
    case DDS_XTypes_TI_STRING16_SMALL:
    case DDS_XTypes_TI_STRING8_LARGE:
    case DDS_XTypes_TI_STRING16_LARGE: {
      Type type;
      bool wide = id._d == DDS_XTypes_TI_STRING16_SMALL || id._d == DDS_XTypes_TI_STRING16_LARGE;
      bool small = id._d == DDS_XTypes_TI_STRING8_SMALL || id._d == DDS_XTypes_TI_STRING16_SMALL;
      type.kind = wide ? Kind::String16 : Kind::String8;
      type.bounds = {small ? id._u.string_sdefn.bound : id._u.string_ldefn.bound};
      return add(std::move(type));
    }
    case DDS_XTypes_TI_PLAIN_SEQUENCE_SMALL:
      return collection(Kind::Sequence, id._u.seq_sdefn.element_identifier,
                        id._u.seq_sdefn.header.element_flags, {id._u.seq_sdefn.bound}, depth);
    case DDS_XTypes_TI_PLAIN_SEQUENCE_LARGE:
      return collection(Kind::Sequence, id._u.seq_ldefn.element_identifier,
                        id._u.seq_ldefn.header.element_flags, {id._u.seq_ldefn.bound}, depth);
    case DDS_XTypes_TI_PLAIN_ARRAY_SMALL: {
      auto d = dims(id._u.array_sdefn.array_bound_seq);
      if (!d) {
        return fail("array without dimensions");
      }
      return collection(Kind::Array, id._u.array_sdefn.element_identifier,
                        id._u.array_sdefn.header.element_flags, *d, depth);
    }
    case DDS_XTypes_TI_PLAIN_ARRAY_LARGE: {
      auto d = dims(id._u.array_ldefn.array_bound_seq);
      if (!d) {
        return fail("array without dimensions");
      }
      return collection(Kind::Array, id._u.array_ldefn.element_identifier,
                        id._u.array_ldefn.header.element_flags, *d, depth);
    }
    case DDS_XTypes_TI_PLAIN_MAP_SMALL:
      return map(id._u.map_sdefn.key_identifier, id._u.map_sdefn.element_identifier,
                 id._u.map_sdefn.header.element_flags, id._u.map_sdefn.bound, depth);
    case DDS_XTypes_TI_PLAIN_MAP_LARGE:
      return map(id._u.map_ldefn.key_identifier, id._u.map_ldefn.element_identifier,
                 id._u.map_ldefn.header.element_flags, id._u.map_ldefn.bound, depth);
    case DDS_XTypes_EK_COMPLETE: {
      Hash hash;
      memcpy(hash.data(), id._u.equivalence_hash, hash.size());
      auto found = by_hash_.find(hash);
      if (found != by_hash_.end()) {
        return found->second;
      }
      Type type;
      type.resolved = false;
      auto index = add(std::move(type));
      if (index) {
        by_hash_[hash] = *index;
        pending_.emplace_back(hash, *index);
      }
      return index;
    }
    case DDS_XTypes_EK_MINIMAL:
      return fail("a minimal type identifier where a complete one is needed");
    case DDS_XTypes_TI_STRONGLY_CONNECTED_COMPONENT:
      return fail("recursive types are not supported");
    default:
      return fail("unknown type identifier kind " + std::to_string(id._d));
  }
}

void copy_member_annotations(const DDS_XTypes_CompleteMemberDetail& detail, Member* member) {
  member->name = field_text(detail.name);
  if (detail.ann_builtin != nullptr) {
    if (detail.ann_builtin->hash_id != nullptr) {
      member->hash_id = detail.ann_builtin->hash_id;
    }
    if (detail.ann_builtin->unit != nullptr) {
      member->unit = detail.ann_builtin->unit;
    }
  }
}

bool GraphBuilder::fill(TypeIndex index, const DDS_XTypes_CompleteTypeObject& object) {
  Type type;
  switch (object._d) {
    case DDS_XTypes_TK_ALIAS: {
      const auto& alias = object._u.alias_type;
      type.kind = Kind::Alias;
      type.name = field_text(alias.header.detail.type_name);
      type.flags = alias.alias_flags;
      auto target = from_identifier(alias.body.common.related_type, 1);
      if (!target) {
        return false;
      }
      type.element = *target;
      break;
    }
    case DDS_XTypes_TK_ENUM: {
      const auto& en = object._u.enumerated_type;
      type.kind = Kind::Enum;
      type.name = field_text(en.header.detail.type_name);
      type.flags = en.enum_flags;
      type.bit_bound = en.header.common.bit_bound;
      if (type.bit_bound == 0 || type.bit_bound > 32) {
        set_error("enum " + type.name + " with bit bound " + std::to_string(type.bit_bound));
        return false;
      }
      for (uint32_t i = 0; i < en.literal_seq._length && en.literal_seq._buffer != nullptr; ++i) {
        const auto& literal = en.literal_seq._buffer[i];
        Member m;
        copy_member_annotations(literal.detail, &m);
        m.value = literal.common.value;
        m.flags = literal.common.flags;
        type.members.push_back(std::move(m));
      }
      break;
    }
    case DDS_XTypes_TK_BITMASK: {
      const auto& bm = object._u.bitmask_type;
      type.kind = Kind::Bitmask;
      type.name = field_text(bm.header.detail.type_name);
      type.flags = bm.bitmask_flags;
      type.bit_bound = bm.header.common.bit_bound;
      if (type.bit_bound == 0 || type.bit_bound > 64) {
        set_error("bitmask " + type.name + " with bit bound " + std::to_string(type.bit_bound));
        return false;
      }
      for (uint32_t i = 0; i < bm.flag_seq._length && bm.flag_seq._buffer != nullptr; ++i) {
        const auto& bit = bm.flag_seq._buffer[i];
        Member m;
        copy_member_annotations(bit.detail, &m);
        m.value = bit.common.position;
        m.flags = bit.common.flags;
        if (m.value >= type.bit_bound) {
          set_error("bitmask " + type.name + " with a flag beyond its bound");
          return false;
        }
        type.members.push_back(std::move(m));
      }
      break;
    }
    case DDS_XTypes_TK_STRUCTURE: {
      const auto& st = object._u.struct_type;
      type.kind = Kind::Struct;
      type.name = field_text(st.header.detail.type_name);
      type.flags = st.struct_flags;
      if (st.header.base_type._d != DDS_XTypes_TK_NONE) {
        auto base = from_identifier(st.header.base_type, 1);
        if (!base) {
          return false;
        }
        type.base = *base;
      }
      for (uint32_t i = 0; i < st.member_seq._length && st.member_seq._buffer != nullptr; ++i) {
        const auto& member = st.member_seq._buffer[i];
        Member m;
        copy_member_annotations(member.detail, &m);
        m.id = member.common.member_id;
        m.flags = member.common.member_flags;
        auto t = from_identifier(member.common.member_type_id, 1);
        if (!t) {
          return false;
        }
        m.type = *t;
        type.members.push_back(std::move(m));
      }
      break;
    }
    case DDS_XTypes_TK_UNION: {
      const auto& un = object._u.union_type;
      type.kind = Kind::Union;
      type.name = field_text(un.header.detail.type_name);
      type.flags = un.union_flags;
      type.element_flags = un.discriminator.common.member_flags;
      auto disc = from_identifier(un.discriminator.common.type_id, 1);
      if (!disc) {
        return false;
      }
      type.element = *disc;
      for (uint32_t i = 0; i < un.member_seq._length && un.member_seq._buffer != nullptr; ++i) {
        const auto& member = un.member_seq._buffer[i];
        Member m;
        copy_member_annotations(member.detail, &m);
        m.id = member.common.member_id;
        m.flags = member.common.member_flags;
        const auto& labels = member.common.label_seq;
        for (uint32_t j = 0; j < labels._length && labels._buffer != nullptr; ++j) {
          m.labels.push_back(labels._buffer[j]);
        }
        auto t = from_identifier(member.common.type_id, 1);
        if (!t) {
          return false;
        }
        m.type = *t;
        type.members.push_back(std::move(m));
      }
      break;
    }
    case DDS_XTypes_TK_SEQUENCE: {
      const auto& sq = object._u.sequence_type;
      type.kind = Kind::Sequence;
      type.bounds = {sq.header.common.bound};
      type.element_flags = sq.element.common.element_flags;
      auto e = from_element(sq.element, 0);
      if (!e) {
        return false;
      }
      type.element = *e;
      break;
    }
    case DDS_XTypes_TK_ARRAY: {
      const auto& ar = object._u.array_type;
      type.kind = Kind::Array;
      auto d = dims(ar.header.common.bound_seq);
      if (!d) {
        set_error("array without dimensions");
        return false;
      }
      type.bounds = *d;
      type.element_flags = ar.element.common.element_flags;
      auto e = from_element(ar.element, 0);
      if (!e) {
        return false;
      }
      type.element = *e;
      break;
    }
    case DDS_XTypes_TK_MAP: {
      const auto& mp = object._u.map_type;
      type.kind = Kind::Map;
      type.bounds = {mp.header.common.bound};
      type.element_flags = mp.element.common.element_flags;
      auto k = from_element(mp.key, 0);
      auto e = k ? from_element(mp.element, 0) : std::nullopt;
      if (!e) {
        return false;
      }
      type.key = *k;
      type.element = *e;
      break;
    }
    default:
      set_error("unsupported type kind " + std::to_string(object._d));
      return false;
  }
  graph_.types[index] = std::move(type);
  return true;
}

// Resolved graphs by complete type hash, for the life of the process: types
// are immutable, and a recorder sees a handful.
std::mutex cache_mutex;
std::map<Hash, std::shared_ptr<const TypeGraph>>& cache() {
  static std::map<Hash, std::shared_ptr<const TypeGraph>> graphs;
  return graphs;
}

std::shared_ptr<const TypeGraph> resolve(dds_entity_t participant,
                                         const DDS_XTypes_TypeIdentifier& root,
                                         std::chrono::steady_clock::time_point deadline) {
  GraphBuilder builder;
  if (!builder.add_root(root)) {
    log_error("cannot use the announced type: " + builder.error());
    return nullptr;
  }
  Hash hash;
  TypeIndex index;
  while (builder.next_pending(&hash, &index)) {
    auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      log_error("type lookup of " + hash_text(hash) + " timed out");
      return nullptr;
    }
    ddsi_typeid id;
    memset(&id, 0, sizeof id);
    id.x._d = DDS_XTypes_EK_COMPLETE;
    memcpy(id.x._u.equivalence_hash, hash.data(), hash.size());
    dds_typeobj_t* object = nullptr;
    dds_return_t rc = dds_get_typeobj(participant, &id, left.count(), &object);
    if (from_cyclone(rc) != dds_RETCODE_OK || object == nullptr) {
      log_error("type lookup of " + hash_text(hash) + " failed: " + dds_strretcode(rc));
      return nullptr;
    }
    bool ok = object->x._d == DDS_XTypes_EK_COMPLETE;
    if (!ok) {
      builder.set_error("a minimal type object where a complete one was asked for");
    } else {
      ok = builder.fill(index, object->x._u.complete);
    }
    dds_free_typeobj(object);
    if (!ok) {
      log_error("cannot use the type object " + hash_text(hash) + ": " + builder.error());
      return nullptr;
    }
  }
  return std::make_shared<const TypeGraph>(builder.take());
}

}  // namespace

std::vector<std::shared_ptr<const TypeGraph>> lookup_type_graphs(
    dds_entity_t participant, const std::vector<std::shared_ptr<const dds_typeinfo_t>>& infos,
    std::chrono::milliseconds bound) {
  std::vector<std::shared_ptr<const TypeGraph>> graphs;
  auto deadline = std::chrono::steady_clock::now() + bound;
  for (const auto& info : infos) {
    if (info == nullptr) {
      continue;
    }
    const DDS_XTypes_TypeIdentifier& root = info->x.complete.typeid_with_size.type_id;
    if (root._d != DDS_XTypes_EK_COMPLETE) {
      continue;  // no complete type announced: nothing to describe it with
    }
    Hash hash;
    memcpy(hash.data(), root._u.equivalence_hash, hash.size());
    {
      std::lock_guard<std::mutex> lock(cache_mutex);
      auto found = cache().find(hash);
      if (found != cache().end()) {
        graphs.push_back(found->second);
        continue;
      }
    }
    auto graph = resolve(participant, root, deadline);
    if (graph == nullptr) {
      continue;
    }
    std::lock_guard<std::mutex> lock(cache_mutex);
    graphs.push_back(cache().emplace(hash, std::move(graph)).first->second);
  }
  return graphs;
}

}  // namespace rnr::mw
