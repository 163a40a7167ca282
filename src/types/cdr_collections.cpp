// Sequences, arrays and maps, and the guard that refuses an element count
// the rest of the sample cannot hold before any element is decoded.
#include "types/cdr_walk.h"
#include "types/json_text.h"

namespace rnr::types::cdr {
namespace {

// Elements whose smallest form takes no bytes (empty structs) cannot be
// bounded by the bytes left; this many are allowed before the count is
// refused.
constexpr uint32_t kMaxZeroSizeElements = 1u << 20;

// Arrays are refused above this many elements in all dimensions together.
constexpr uint64_t kMaxArrayElements = uint64_t{1} << 32;

}  // namespace

// XCDR2 puts a DHEADER before a collection whose elements are not
// primitive, so that a reader can skip it whole; XCDR1 never does.
bool TypeWalk::needs_dheader(TypeIndex element) {
  return in_.xcdr2() && !is_primitive(type_of(element).kind);
}

// A conservative lower bound of an element's serialized size, to refuse
// counts that cannot fit before looping over them. Each type is sized once:
// a type used by several members at every level of a deep graph would
// otherwise be walked once per path, and the paths double with each level.
size_t TypeWalk::min_size(TypeIndex index, int depth) {
  auto& sizes = (cache_ != nullptr ? *cache_ : own_cache_).min_sizes[in_.xcdr2() ? 1 : 0];
  if (sizes.empty()) {
    sizes.resize(g_.types.size());
  }
  if (index < sizes.size() && sizes[index]) {
    return *sizes[index];
  }
  const size_t size = compute_min_size(index, depth);
  // Any value found is a valid lower bound, also one cut short by depth.
  if (index < sizes.size()) {
    sizes[index] = size;
  }
  return size;
}

// Padding is left out (it may be absent), and so is everything that may be
// empty: a union may be one byte, a struct counts only its first member that
// takes room. A DHEADER or a length counts as 4 bytes.
size_t TypeWalk::compute_min_size(TypeIndex index, int depth) {
  const Type& t = type_of(index);
  if (depth > kMaxDepth) {
    return 0;
  }
  switch (t.kind) {
    case Kind::Boolean:
    case Kind::Byte:
    case Kind::Int8:
    case Kind::UInt8:
    case Kind::Char8:
      return 1;
    case Kind::Int16:
    case Kind::UInt16:
    case Kind::Char16:
      return 2;
    case Kind::Int32:
    case Kind::UInt32:
    case Kind::Float32:
    case Kind::String8:
    case Kind::String16:
    case Kind::Sequence:
    case Kind::Map:
      return 4;
    case Kind::Int64:
    case Kind::UInt64:
    case Kind::Float64:
      return 8;
    case Kind::Float128:
      return 16;
    case Kind::Enum:
    case Kind::Bitmask:
      return enum_size(t);
    case Kind::Union:
      return 1;
    case Kind::Array:
      return needs_dheader(t.element) ? kDheaderSize : min_size(t.element, depth + 1);
    case Kind::Struct:
      // A DHEADER: XCDR2 appendable and mutable. An XCDR1 parameter list
      // holds at least its sentinel.
      static_assert(kDheaderSize == pid::kHeaderSize);
      if ((in_.xcdr2() && (t.flags & flag::kAppendable)) || (t.flags & flag::kMutable)) {
        return kDheaderSize;
      }
      for (const Member* m : members(t)) {
        if (m->flags & flag::kOptional) {
          continue;
        }
        if (size_t s = min_size(m->type, depth + 1); s != 0) {
          return s;
        }
      }
      return 0;
    default:
      return 0;
  }
}

void TypeWalk::check_count(uint64_t count, TypeIndex element) {
  size_t unit = min_size(element);
  if (unit == 0 ? count > kMaxZeroSizeElements : count > in_.remaining() / unit) {
    fail("count " + std::to_string(count) + " at byte " + std::to_string(in_.pos()) +
         " runs past the end of the sample");
  }
}

// Octets and uint8 values, which come without padding one after another.
bool TypeWalk::is_byte(TypeIndex element) {
  const Kind kind = type_of(element).kind;
  return kind == Kind::Byte || kind == Kind::UInt8;
}

// `count` bytes as the options say: in full as a list of numbers by
// default; as base64 text; beyond max_bytes, an object with the full length
// and the first bytes.
void TypeWalk::bytes(uint64_t count) {
  const uint8_t* p = in_.take(static_cast<size_t>(count));
  const bool base64 = options_ != nullptr && options_->base64;
  const size_t most = options_ != nullptr ? options_->max_bytes : SIZE_MAX;
  const bool cut = count > most;
  const size_t shown = cut ? most : static_cast<size_t>(count);
  if (cut) {
    out_ += "{\"length\": ";
    json::append_number(&out_, count);
    out_ += ", \"first\": ";
  }
  if (base64) {
    json::append_base64(&out_, p, shown);
  } else {
    json::append_byte_list(&out_, p, shown);
  }
  if (cut) {
    out_ += '}';
  }
  check_output();
}

void TypeWalk::elements(TypeIndex element, uint64_t count, int depth) {
  if (depth + 1 <= kMaxDepth && is_byte(element)) {
    bytes(count);
    return;
  }
  out_ += '[';
  for (uint64_t i = 0; i < count; ++i) {
    out_ += i ? ", " : "";
    value(element, depth + 1);
  }
  out_ += ']';
}

// [DHEADER] count, then the elements.
void TypeWalk::sequence(const Type& t, int depth) {
  Cursor::Delimited dheader(&in_, needs_dheader(t.element));
  uint32_t count = in_.read_u32();
  if (has_bound(t) && count > t.bounds[0]) {
    fail("sequence of " + std::to_string(count) + " elements exceeds its bound");
  }
  check_count(count, t.element);
  elements(t.element, count, depth);
  dheader.finish();
}

// Nested JSON lists, one level per dimension, the last dimension innermost.
void TypeWalk::array_dims(const Type& t, size_t dim, int depth) {
  if (dim == t.bounds.size()) {
    value(t.element, depth + 1);
    return;
  }
  if (dim + 1 == t.bounds.size() && depth + 1 <= kMaxDepth && is_byte(t.element)) {
    bytes(t.bounds[dim]);
    return;
  }
  out_ += '[';
  for (uint32_t i = 0; i < t.bounds[dim]; ++i) {
    out_ += i ? ", " : "";
    array_dims(t, dim + 1, depth);
  }
  out_ += ']';
}

// [DHEADER] then the elements: the count comes from the type, not the bytes.
void TypeWalk::array(const Type& t, int depth) {
  Cursor::Delimited dheader(&in_, needs_dheader(t.element));
  uint64_t total = 1;
  for (uint32_t d : t.bounds) {
    total *= d;
    if (total > kMaxArrayElements) {
      fail("array too large");
    }
  }
  check_count(total, t.element);
  array_dims(t, 0, depth);
  dheader.finish();
}

// [DHEADER] count, then key and value in turn. XCDR2 has the DHEADER unless
// both key and value are primitive. Keys that JSON can hold as object keys
// (strings, integers, characters, booleans) make an
// object; others (floats, aggregates) a list of [key, value] pairs.
void TypeWalk::map(const Type& t, int depth) {
  Cursor::Delimited dheader(&in_, in_.xcdr2() && !(is_primitive(type_of(t.key).kind) &&
                                                   is_primitive(type_of(t.element).kind)));
  uint32_t count = in_.read_u32();
  if (has_bound(t) && count > t.bounds[0]) {
    fail("map of " + std::to_string(count) + " entries exceeds its bound");
  }
  check_count(count, t.key);
  Kind key_kind = type_of(t.key).kind;
  const bool as_object = key_kind == Kind::String8 || key_kind == Kind::String16 ||
                         (is_primitive(key_kind) && key_kind != Kind::Float32 &&
                          key_kind != Kind::Float64 && key_kind != Kind::Float128);
  out_ += as_object ? '{' : '[';
  for (uint32_t i = 0; i < count; ++i) {
    out_ += i ? ", " : "";
    if (as_object) {
      // The key is decoded on its own and quoted when it is not a string
      // already (a number, a boolean).
      std::string saved = std::move(out_);
      out_.clear();
      value(t.key, depth + 1);
      std::string key = std::move(out_);
      out_ = std::move(saved);
      if (key.empty() || key[0] != '"') {
        key = "\"" + key + "\"";
      }
      out_ += key + ": ";
      value(t.element, depth + 1);
    } else {
      out_ += '[';
      value(t.key, depth + 1);
      out_ += ", ";
      value(t.element, depth + 1);
      out_ += ']';
    }
  }
  out_ += as_object ? '}' : ']';
  dheader.finish();
}

}  // namespace rnr::types::cdr
