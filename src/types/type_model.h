// A self-contained description of a data type learnt from the network: the
// nodes of a type graph, as the IDL renderer and the sample decoder read them.
// It holds no Cyclone memory, so it outlives the lookup that built it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace rnr::types {

enum class Kind : uint8_t {
  Boolean,
  Byte,
  Int8,
  UInt8,
  Int16,
  UInt16,
  Int32,
  UInt32,
  Int64,
  UInt64,
  Float32,
  Float64,
  Float128,
  Char8,
  Char16,
  String8,
  String16,
  Alias,
  Enum,
  Bitmask,
  Struct,
  Union,
  Sequence,
  Array,
  Map,
};

using TypeIndex = uint32_t;

// Flags as the type objects carry them.
namespace flag {
// members
constexpr uint16_t kTryConstructMask = 0x0003;
constexpr uint16_t kTryConstructDiscard = 0x0001;
constexpr uint16_t kExternal = 0x0004;
constexpr uint16_t kOptional = 0x0008;
constexpr uint16_t kMustUnderstand = 0x0010;
constexpr uint16_t kKey = 0x0020;
constexpr uint16_t kDefault = 0x0040;
// types
constexpr uint16_t kFinal = 0x0001;
constexpr uint16_t kAppendable = 0x0002;
constexpr uint16_t kMutable = 0x0004;
constexpr uint16_t kNested = 0x0008;
constexpr uint16_t kAutoidHash = 0x0010;
}  // namespace flag

struct Member {
  std::string name;
  uint32_t id = 0;
  uint16_t flags = 0;
  TypeIndex type = 0;
  std::vector<int32_t> labels;  // union cases
  int64_t value = 0;            // enumerator value, bit flag position
  std::optional<std::string> hash_id;
  std::optional<std::string> unit;
};

struct Type {
  Kind kind = Kind::Int32;
  std::string name;  // scoped name ("A::B::T") of a named type; empty otherwise
  uint16_t flags = 0;
  std::optional<TypeIndex> base;  // struct base type
  TypeIndex element = 0;          // alias target, collection element, union discriminator
  TypeIndex key = 0;              // map key
  uint16_t element_flags = 0;     // collection element, union discriminator
  std::vector<uint32_t> bounds;   // string, sequence, map: one bound (0: none); array: dims
  uint16_t bit_bound = 0;
  std::vector<Member> members;  // struct and union members, enumerators, bit flags
  bool resolved = true;         // false while a referenced type is still being looked up
};

struct TypeGraph {
  std::vector<Type> types;
  TypeIndex root = 0;
  std::string type_name;  // the root's scoped name

  const Type& at(TypeIndex i) const { return types[i]; }
};

inline bool is_primitive(Kind k) {
  return k <= Kind::Char16;
}

// Follows aliases to the type that is serialized; nullopt on a chain that
// does not end (only possible with a damaged graph).
std::optional<TypeIndex> resolve_alias(const TypeGraph& graph, TypeIndex index);

// The type as IDL text, dependencies first and the root last; nullopt with
// `error` set when the graph cannot be written as IDL.
std::optional<std::string> render_idl(const TypeGraph& graph, std::string* error);

// The type as IDL text that viewers' IDL readers take (the omgidl schema of
// an MCAP file), for the same serialized samples: no inheritance (a struct
// holds the members of its bases first), every member id of a mutable type
// written out, bitmasks as the unsigned integers that carry them, names
// relative to the root. nullopt with `error` set as render_idl.
std::optional<std::string> render_idl_for_viewers(const TypeGraph& graph, std::string* error);

// Decodes one serialized sample (encapsulation header first) into a line of
// JSON without newline; nullopt with `error` set when the bytes do not fit.
std::optional<std::string> decode_to_json(const TypeGraph& graph, const uint8_t* data, size_t size,
                                          std::string* error);

// How a JsonDecoder writes sequences and arrays of octet or uint8.
struct JsonOptions {
  // At most this many of the bytes are written; a longer run becomes
  // {"length": N, "first": FIRST} with FIRST the first max_bytes of them.
  size_t max_bytes = SIZE_MAX;
  // As one base64 string ("AAEC") instead of a list of numbers ([0, 1, 2]).
  bool base64 = false;
  // The value must take the whole sample: bytes left after it, other than
  // the padding up to the next multiple of 4, mean the type does not fit.
  bool whole = false;
};

namespace cdr {
struct WalkCache;
}

// Decodes the samples of one type one after another, reusing what it learnt
// of the type and the caller's text buffer, so that a sample costs no
// allocation once the buffers have grown. Holds a reference to `graph`.
class JsonDecoder {
 public:
  explicit JsonDecoder(const TypeGraph& graph, JsonOptions options = {});
  ~JsonDecoder();
  JsonDecoder(const JsonDecoder&) = delete;
  JsonDecoder& operator=(const JsonDecoder&) = delete;

  // Appends the sample's JSON (as decode_to_json gives it, byte runs as the
  // options say) to `*out`. False with `error` set when the bytes do not
  // fit; `*out` is then as it was.
  bool append(const uint8_t* data, size_t size, std::string* out, std::string* error);

 private:
  const TypeGraph& graph_;
  JsonOptions options_;
  std::unique_ptr<cdr::WalkCache> cache_;
};

}  // namespace rnr::types
