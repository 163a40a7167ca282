// Decodes serialized samples (XCDR1 and XCDR2, either byte order) with a type
// graph into one line of JSON. Every read is checked against the end of the
// enclosing region; bytes that do not fit the type stop the decoding.
//
// This file holds the entry point and the values that are not aggregates or
// collections; cdr_walk.h says where the rest is.
#include <new>

#include "types/cdr_walk.h"
#include "types/instance_key.h"
#include "types/json_text.h"

namespace rnr::types {
namespace cdr {
namespace {

// A sample whose JSON would be larger than this is refused rather than
// printed: a few bytes of counts can describe gigabytes of text.
constexpr size_t kMaxOutput = size_t{64} << 20;
// Text of values walked only for their extent is dropped once it grows
// beyond this.
constexpr size_t kDiscardedText = size_t{64} << 10;

}  // namespace

size_t enum_size(const Type& t) {
  if (t.bit_bound <= 8) {
    return 1;
  }
  if (t.bit_bound <= 16) {
    return 2;
  }
  if (t.bit_bound <= 32) {
    return 4;
  }
  return 8;
}

std::string TypeWalk::run() {
  value(g_.root, 0);
  return std::move(out_);
}

void TypeWalk::run_append(std::string* out) {
  out_ = std::move(*out);
  out_start_ = out_.size();
  try {
    value(g_.root, 0);
    if (options_ != nullptr && options_->whole && in_.beyond_padding() > 0) {
      fail(std::to_string(in_.beyond_padding()) + " bytes left after the value at byte " +
           std::to_string(in_.pos()));
    }
  } catch (...) {
    *out = std::move(out_);
    throw;
  }
  *out = std::move(out_);
}

std::string TypeWalk::run_key() {
  key_depth_ = 0;
  value(g_.root, 0);
  return std::move(key_);
}

void TypeWalk::check_output() {
  if (discard_) {
    // Nothing of this text is read again: keep it small.
    if (out_.size() > kDiscardedText) {
      out_.clear();
    }
    return;
  }
  if (out_.size() > out_start_ + kMaxOutput) {
    fail("sample too large to print");
  }
}

// The type serialized for `index`, aliases followed. A graph whose aliases
// loop or whose types were never resolved cannot be decoded.
const Type& TypeWalk::type_of(TypeIndex index) {
  auto resolved = resolve_alias(g_, index);
  if (!resolved || !g_.at(*resolved).resolved) {
    fail("type graph is damaged");
  }
  return g_.at(*resolved);
}

void TypeWalk::value(TypeIndex index, int depth) {
  if (depth > kMaxDepth) {
    fail("type nested too deeply");
  }
  check_output();
  const Type& t = type_of(index);
  switch (t.kind) {
    case Kind::Boolean: {
      uint8_t v = *in_.take(1);
      if (v > 1) {
        fail("boolean of value " + std::to_string(v) + " at byte " + std::to_string(in_.pos() - 1));
      }
      out_ += v ? "true" : "false";
      return;
    }
    case Kind::Byte:
    case Kind::UInt8:
      json::append_number(&out_, *in_.take(1));
      return;
    case Kind::Int8:
      json::append_number(&out_, static_cast<int8_t>(*in_.take(1)));
      return;
    case Kind::Int16:
      json::append_number(&out_, in_.read<int16_t>());
      return;
    case Kind::UInt16:
      json::append_number(&out_, in_.read<uint16_t>());
      return;
    case Kind::Int32:
      json::append_number(&out_, in_.read<int32_t>());
      return;
    case Kind::UInt32:
      json::append_number(&out_, in_.read<uint32_t>());
      return;
    case Kind::Int64:
      json::append_number(&out_, in_.read<int64_t>());
      return;
    case Kind::UInt64:
      json::append_number(&out_, in_.read<uint64_t>());
      return;
    case Kind::Float32:
      json::append_float(&out_, in_.read<float>());
      return;
    case Kind::Float64:
      json::append_float(&out_, in_.read<double>());
      return;
    case Kind::Float128: {
      // No native type to print it with: its 16 bytes as hex, most
      // significant first. Aligned like a 64-bit value (to 4 in XCDR2).
      in_.align(8);
      uint8_t bytes[16];
      in_.take_msb_first(bytes, sizeof bytes);
      json::append_hex(&out_, bytes, sizeof bytes);
      return;
    }
    case Kind::Char8:
      json::append_string(&out_, in_.take(1), 1);
      return;
    case Kind::Char16:
      json::append_char16(&out_, in_.read<uint16_t>());
      return;
    case Kind::String8:
      string8(t);
      return;
    case Kind::String16:
      string16(t);
      return;
    case Kind::Enum:
      enumeration(t);
      return;
    case Kind::Bitmask:
      bitmask(t);
      return;
    case Kind::Struct:
      structure(t, depth);
      return;
    case Kind::Union:
      union_value(t, depth);
      return;
    case Kind::Sequence:
      sequence(t, depth);
      return;
    case Kind::Array:
      array(t, depth);
      return;
    case Kind::Map:
      map(t, depth);
      return;
    case Kind::Alias:
      fail("type graph is damaged");
  }
}

// A 32-bit length that counts the terminating NUL, then the bytes.
void TypeWalk::string8(const Type& t) {
  uint32_t length = in_.read_u32();
  if (length == 0) {  // some writers send an empty string without terminator
    out_ += "\"\"";
    return;
  }
  size_t at = in_.pos();
  const uint8_t* p = in_.take(length);
  if (p[length - 1] != 0) {
    fail("string at byte " + std::to_string(at) + " is not terminated");
  }
  if (has_bound(t) && length - 1 > t.bounds[0]) {
    fail("string at byte " + std::to_string(at) + " is longer than its bound");
  }
  json::append_string(&out_, p, length - 1);
}

// A 32-bit length, then UTF-16 units without terminator. XCDR1 counts the
// length in characters, XCDR2 in bytes.
void TypeWalk::string16(const Type& t) {
  uint32_t length = in_.read_u32();
  uint64_t bytes = in_.xcdr2() ? length : uint64_t{length} * 2;
  if (bytes % 2 != 0) {
    fail("wide string of odd length at byte " + std::to_string(in_.pos() - 4));
  }
  if (bytes > in_.remaining()) {
    fail("wide string at byte " + std::to_string(in_.pos() - 4) + " runs past the end");
  }
  uint64_t count = bytes / 2;
  if (has_bound(t) && count > t.bounds[0]) {
    fail("wide string longer than its bound");
  }
  const uint8_t* p = in_.take(static_cast<size_t>(bytes));
  std::vector<uint16_t> units(static_cast<size_t>(count));
  for (size_t i = 0; i < units.size(); ++i) {
    units[i] = in_.unit16(p + 2 * i);
  }
  json::append_utf16(&out_, units.data(), units.size());
}

// An enum's value in as many bytes as its bit bound needs (a 64-bit bound is
// read as 32 bits: enumerators are 32-bit).
int64_t TypeWalk::read_enum_raw(const Type& t) {
  switch (enum_size(t)) {
    case 1:
      return static_cast<int8_t>(*in_.take(1));
    case 2:
      return in_.read<int16_t>();
    default:
      return in_.read<int32_t>();
  }
}

// The enumerator's name; a value no enumerator has, as its number.
void TypeWalk::enumeration(const Type& t) {
  int64_t v = read_enum_raw(t);
  for (const auto& lit : t.members) {
    if (lit.value == v) {
      json::append_string(&out_, lit.name);
      return;
    }
  }
  json::append_number(&out_, v);
}

// The names of the flags set, as a list; a value with a bit no flag names,
// as its number, so that nothing is lost.
void TypeWalk::bitmask(const Type& t) {
  uint64_t v;
  switch (enum_size(t)) {
    case 1:
      v = *in_.take(1);
      break;
    case 2:
      v = in_.read<uint16_t>();
      break;
    case 4:
      v = in_.read<uint32_t>();
      break;
    default:
      v = in_.read<uint64_t>();
      break;
  }
  uint64_t known = 0;
  for (const auto& bit : t.members) {
    if (bit.value < 0 || bit.value > 63) {
      fail("type graph is damaged");
    }
    known |= uint64_t{1} << bit.value;
  }
  if ((v & ~known) != 0) {
    json::append_number(&out_, v);
    return;
  }
  out_ += '[';
  bool first = true;
  for (const auto& bit : t.members) {
    if (v & (uint64_t{1} << bit.value)) {
      out_ += first ? "" : ", ";
      first = false;
      json::append_string(&out_, bit.name);
    }
  }
  out_ += ']';
}

}  // namespace cdr

namespace {

// Runs `walk` on the sample with decoding failures turned into `error`.
template <typename Walk>
std::optional<std::string> guarded(const TypeGraph& graph, const uint8_t* data, size_t size,
                                   std::string* error, Walk walk) {
  if (data == nullptr || graph.root >= graph.types.size()) {
    if (error != nullptr) {
      *error = "nothing to decode";
    }
    return std::nullopt;
  }
  try {
    cdr::TypeWalk type_walk(graph, data, size);
    return walk(type_walk);
  } catch (const cdr::DecodeError& e) {
    if (error != nullptr) {
      *error = e.text;
    }
  } catch (const std::bad_alloc&) {
    if (error != nullptr) {
      *error = "out of memory";
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> decode_to_json(const TypeGraph& graph, const uint8_t* data, size_t size,
                                          std::string* error) {
  return guarded(graph, data, size, error, [](cdr::TypeWalk& walk) { return walk.run(); });
}

std::optional<std::string> instance_key(const TypeGraph& graph, const uint8_t* data, size_t size,
                                        std::string* error) {
  return guarded(graph, data, size, error, [](cdr::TypeWalk& walk) { return walk.run_key(); });
}

JsonDecoder::JsonDecoder(const TypeGraph& graph, JsonOptions options)
    : graph_(graph), options_(options), cache_(std::make_unique<cdr::WalkCache>()) {}

JsonDecoder::~JsonDecoder() = default;

bool JsonDecoder::append(const uint8_t* data, size_t size, std::string* out, std::string* error) {
  const size_t start = out->size();
  if (data == nullptr || graph_.root >= graph_.types.size()) {
    *error = "nothing to decode";
    return false;
  }
  try {
    cdr::TypeWalk walk(graph_, data, size, cache_.get(), &options_);
    walk.run_append(out);
    return true;
  } catch (const cdr::DecodeError& e) {
    *error = e.text;
  } catch (const std::bad_alloc&) {
    *error = "out of memory";
  }
  out->resize(start);
  return false;
}

bool has_key_members(const TypeGraph& graph) {
  if (graph.root >= graph.types.size()) {
    return false;
  }
  std::optional<TypeIndex> at = resolve_alias(graph, graph.root);
  // Along the chain of bases, as long as it does not loop.
  for (size_t steps = 0; at && *at < graph.types.size() && steps <= graph.types.size(); ++steps) {
    const Type& t = graph.at(*at);
    if (t.kind != Kind::Struct) {
      return false;
    }
    for (const Member& m : t.members) {
      if ((m.flags & flag::kKey) != 0) {
        return true;
      }
    }
    if (!t.base) {
      return false;
    }
    at = resolve_alias(graph, *t.base);
  }
  return false;
}

}  // namespace rnr::types
