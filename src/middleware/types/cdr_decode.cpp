// Decodes serialized samples (XCDR1 and XCDR2, either byte order) with a type
// graph into one line of JSON. Every read is checked against the end of the
// enclosing region; bytes that do not fit the type stop the decoding.
#include <bit>
#include <charconv>
#include <limits>
#include <cstring>
#include <map>

#include "middleware/types/type_model.h"

namespace rnr::types {
namespace {

constexpr int kMaxDepth = 100;
constexpr size_t kMaxOutput = size_t{64} << 20;
constexpr uint32_t kMaxZeroSizeElements = 1u << 20;

// Parameter list identifiers of XCDR1.
constexpr uint16_t kPidExtended = 0x3f01;
constexpr uint16_t kPidSentinel = 0x3f02;
constexpr uint16_t kPidMask = 0x3fff;

struct DecodeError {
  std::string text;
};

void append_utf8(std::string* out, uint32_t cp) {
  if (cp < 0x80) {
    *out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    *out += static_cast<char>(0xc0 | (cp >> 6));
    *out += static_cast<char>(0x80 | (cp & 0x3f));
  } else if (cp < 0x10000) {
    *out += static_cast<char>(0xe0 | (cp >> 12));
    *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
    *out += static_cast<char>(0x80 | (cp & 0x3f));
  } else {
    *out += static_cast<char>(0xf0 | (cp >> 18));
    *out += static_cast<char>(0x80 | ((cp >> 12) & 0x3f));
    *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
    *out += static_cast<char>(0x80 | (cp & 0x3f));
  }
}

void append_escape(std::string* out, uint32_t unit) {
  char buf[8];
  snprintf(buf, sizeof buf, "\\u%04x", unit & 0xffffu);
  *out += buf;
}

// Length of the valid UTF-8 sequence at s[0..n), or 0.
size_t utf8_sequence(const uint8_t* s, size_t n) {
  uint8_t c = s[0];
  size_t len;
  uint32_t cp;
  if (c >= 0xc2 && c <= 0xdf) {
    len = 2;
    cp = c & 0x1f;
  } else if (c >= 0xe0 && c <= 0xef) {
    len = 3;
    cp = c & 0x0f;
  } else if (c >= 0xf0 && c <= 0xf4) {
    len = 4;
    cp = c & 0x07;
  } else {
    return 0;
  }
  if (n < len) {
    return 0;
  }
  for (size_t i = 1; i < len; ++i) {
    if ((s[i] & 0xc0) != 0x80) {
      return 0;
    }
    cp = (cp << 6) | (s[i] & 0x3f);
  }
  if ((len == 3 && (cp < 0x800 || (cp >= 0xd800 && cp <= 0xdfff))) ||
      (len == 4 && (cp < 0x10000 || cp > 0x10ffff))) {
    return 0;
  }
  return len;
}

// A JSON string of UTF-8 text; bytes that are no valid UTF-8 are written as
// the code points of the same value, so the line stays valid JSON.
void append_json_string(std::string* out, const uint8_t* s, size_t n) {
  *out += '"';
  for (size_t i = 0; i < n;) {
    uint8_t c = s[i];
    if (c == '"' || c == '\\') {
      *out += '\\';
      *out += static_cast<char>(c);
    } else if (c == '\n') {
      *out += "\\n";
    } else if (c == '\t') {
      *out += "\\t";
    } else if (c == '\r') {
      *out += "\\r";
    } else if (c < 0x20 || c == 0x7f) {
      append_escape(out, c);
    } else if (c < 0x80) {
      *out += static_cast<char>(c);
    } else if (size_t len = utf8_sequence(s + i, n - i); len != 0) {
      out->append(reinterpret_cast<const char*>(s + i), len);
      i += len;
      continue;
    } else {
      append_escape(out, c);
    }
    ++i;
  }
  *out += '"';
}

void append_json_string(std::string* out, const std::string& s) {
  append_json_string(out, reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

template <typename T>
void append_number(std::string* out, T value) {
  char buf[64];
  auto result = std::to_chars(buf, buf + sizeof buf, value);
  out->append(buf, result.ptr);
}

template <typename F>
void append_float(std::string* out, F value) {
  if (value != value) {
    *out += "\"NaN\"";
  } else if (value == std::numeric_limits<F>::infinity()) {
    *out += "\"Infinity\"";
  } else if (value == -std::numeric_limits<F>::infinity()) {
    *out += "\"-Infinity\"";
  } else {
    char buf[64];
    auto result = std::to_chars(buf, buf + sizeof buf, value);
    std::string text(buf, result.ptr);
    if (text.find_first_of(".e") == std::string::npos) {
      text += ".0";
    }
    *out += text;
  }
}

class Decoder {
 public:
  Decoder(const TypeGraph& graph, const uint8_t* data, size_t size)
      : g_(graph), data_(data), end_(size), limit_(size) {}

  std::string run() {
    if (end_ < 4) {
      throw DecodeError{"sample shorter than its encapsulation header"};
    }
    uint16_t representation = static_cast<uint16_t>((data_[0] << 8) | data_[1]);
    uint16_t options = static_cast<uint16_t>((data_[2] << 8) | data_[3]);
    switch (representation) {
      case 0x0000:  // CDR
      case 0x0001:
      case 0x0002:  // PL_CDR
      case 0x0003:
        version_ = 1;
        break;
      case 0x0006:  // CDR2
      case 0x0007:
      case 0x0008:  // D_CDR2
      case 0x0009:
      case 0x000a:  // PL_CDR2
      case 0x000b:
        version_ = 2;
        break;
      default:
        throw DecodeError{"unknown encapsulation " + std::to_string(representation)};
    }
    little_ = (representation & 1) != 0;
    swap_ = little_ != (std::endian::native == std::endian::little);
    pos_ = origin_ = 4;
    size_t padding = options & 3u;
    if (version_ == 2 && padding <= end_ - 4) {
      limit_ = end_ - padding;
    }
    value(g_.root, 0);
    return std::move(out_);
  }

 private:
  [[noreturn]] void fail(const std::string& text) { throw DecodeError{text}; }

  void check_output() {
    if (out_.size() > kMaxOutput) {
      fail("sample too large to print");
    }
  }

  void align(size_t n) {
    if (version_ == 2 && n > 4) {
      n = 4;
    }
    size_t rel = pos_ - origin_;
    size_t pad = (n - rel % n) % n;
    if (pad > limit_ - pos_) {
      fail("sample cut short at byte " + std::to_string(pos_));
    }
    pos_ += pad;
  }

  const uint8_t* take(size_t n) {
    if (n > limit_ - pos_) {
      fail("sample cut short at byte " + std::to_string(pos_));
    }
    const uint8_t* p = data_ + pos_;
    pos_ += n;
    return p;
  }

  template <typename T>
  T read() {
    align(sizeof(T));
    const uint8_t* p = take(sizeof(T));
    uint8_t bytes[sizeof(T)];
    for (size_t i = 0; i < sizeof(T); ++i) {
      bytes[i] = swap_ ? p[sizeof(T) - 1 - i] : p[i];
    }
    T v;
    memcpy(&v, bytes, sizeof v);
    return v;
  }

  uint32_t read_u32() { return read<uint32_t>(); }

  // Bytes left in the current region.
  size_t remaining() const { return limit_ - pos_; }

  // Narrows the region to `length` bytes from here; restores on scope end.
  class Region {
   public:
    Region(Decoder* d, size_t length, bool reset_origin)
        : d_(d), limit_(d->limit_), origin_(d->origin_) {
      if (length > d->remaining()) {
        d->fail("length " + std::to_string(length) + " at byte " + std::to_string(d->pos_) +
                " runs past the end of the sample");
      }
      end_ = d->pos_ + length;
      d->limit_ = end_;
      if (reset_origin) {
        d->origin_ = d->pos_;
      }
    }
    ~Region() {
      d_->limit_ = limit_;
      d_->origin_ = origin_;
    }
    // Leaves the region at its end (skipping what was not read).
    void finish() { d_->pos_ = end_; }
    Region(const Region&) = delete;
    Region& operator=(const Region&) = delete;

   private:
    Decoder* d_;
    size_t limit_, origin_, end_ = 0;
  };

  const Type& type_of(TypeIndex index) {
    auto resolved = resolve_alias(g_, index);
    if (!resolved || !g_.at(*resolved).resolved) {
      fail("type graph is damaged");
    }
    return g_.at(*resolved);
  }

  bool needs_dheader(TypeIndex element) {
    return version_ == 2 && !is_primitive(type_of(element).kind);
  }

  // A conservative lower bound of an element's serialized size, to refuse
  // counts that cannot fit before looping over them. Each type is sized once:
  // a type used by several members at every level of a deep graph would
  // otherwise be walked once per path, and the paths double with each level.
  size_t min_size(TypeIndex index, int depth = 0) {
    if (min_sizes_.empty()) {
      min_sizes_.resize(g_.types.size());
    }
    if (index < min_sizes_.size() && min_sizes_[index]) {
      return *min_sizes_[index];
    }
    const size_t size = compute_min_size(index, depth);
    // Any value found is a valid lower bound, also one cut short by depth.
    if (index < min_sizes_.size()) {
      min_sizes_[index] = size;
    }
    return size;
  }

  size_t compute_min_size(TypeIndex index, int depth) {
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
        return needs_dheader(t.element) ? 4 : min_size(t.element, depth + 1);
      case Kind::Struct:
        if ((version_ == 2 && (t.flags & flag::kAppendable)) || (t.flags & flag::kMutable)) {
          return 4;
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

  static size_t enum_size(const Type& t) {
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

  void check_count(uint64_t count, TypeIndex element) {
    size_t unit = min_size(element);
    if (unit == 0 ? count > kMaxZeroSizeElements : count > remaining() / unit) {
      fail("count " + std::to_string(count) + " at byte " + std::to_string(pos_) +
           " runs past the end of the sample");
    }
  }

  // The members of a struct with those of its bases first.
  std::vector<const Member*> members(const Type& t) {
    std::vector<const Type*> chain;
    const Type* cur = &t;
    while (true) {
      chain.push_back(cur);
      if (!cur->base) {
        break;
      }
      if (chain.size() > g_.types.size()) {
        fail("type graph is damaged");
      }
      cur = &type_of(*cur->base);
      if (cur->kind != Kind::Struct) {
        fail("type graph is damaged");
      }
    }
    std::vector<const Member*> out;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
      for (const auto& m : (*it)->members) {
        out.push_back(&m);
      }
    }
    return out;
  }

  void key_name(const Member& m) {
    append_json_string(&out_, m.name);
    out_ += ": ";
  }

  void value(TypeIndex index, int depth) {
    if (depth > kMaxDepth) {
      fail("type nested too deeply");
    }
    check_output();
    const Type& t = type_of(index);
    switch (t.kind) {
      case Kind::Boolean: {
        uint8_t v = *take(1);
        if (v > 1) {
          fail("boolean of value " + std::to_string(v) + " at byte " + std::to_string(pos_ - 1));
        }
        out_ += v ? "true" : "false";
        return;
      }
      case Kind::Byte:
      case Kind::UInt8:
        append_number(&out_, *take(1));
        return;
      case Kind::Int8:
        append_number(&out_, static_cast<int8_t>(*take(1)));
        return;
      case Kind::Int16:
        append_number(&out_, read<int16_t>());
        return;
      case Kind::UInt16:
        append_number(&out_, read<uint16_t>());
        return;
      case Kind::Int32:
        append_number(&out_, read<int32_t>());
        return;
      case Kind::UInt32:
        append_number(&out_, read<uint32_t>());
        return;
      case Kind::Int64:
        append_number(&out_, read<int64_t>());
        return;
      case Kind::UInt64:
        append_number(&out_, read<uint64_t>());
        return;
      case Kind::Float32:
        append_float(&out_, read<float>());
        return;
      case Kind::Float64:
        append_float(&out_, read<double>());
        return;
      case Kind::Float128: {
        align(8);
        const uint8_t* p = take(16);
        out_ += "\"0x";
        for (int i = 0; i < 16; ++i) {
          char buf[4];
          snprintf(buf, sizeof buf, "%02x", p[swap_ ? i : 15 - i]);
          out_ += buf;
        }
        out_ += '"';
        return;
      }
      case Kind::Char8:
        append_json_string(&out_, take(1), 1);
        return;
      case Kind::Char16: {
        std::string s;
        uint16_t unit = read<uint16_t>();
        if (unit >= 0xd800 && unit <= 0xdfff) {
          out_ += '"';
          append_escape(&out_, unit);
          out_ += '"';
        } else {
          append_utf8(&s, unit);
          append_json_string(&out_, s);
        }
        return;
      }
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

  void string8(const Type& t) {
    uint32_t length = read_u32();
    if (length == 0) {  // some writers send an empty string without terminator
      out_ += "\"\"";
      return;
    }
    size_t at = pos_;
    const uint8_t* p = take(length);
    if (p[length - 1] != 0) {
      fail("string at byte " + std::to_string(at) + " is not terminated");
    }
    if (!t.bounds.empty() && t.bounds[0] != 0 && length - 1 > t.bounds[0]) {
      fail("string at byte " + std::to_string(at) + " is longer than its bound");
    }
    append_json_string(&out_, p, length - 1);
  }

  uint16_t unit16(const uint8_t* p) const {
    return static_cast<uint16_t>(little_ ? p[0] | (p[1] << 8) : (p[0] << 8) | p[1]);
  }

  void string16(const Type& t) {
    uint32_t length = read_u32();
    uint64_t bytes = version_ == 2 ? length : uint64_t{length} * 2;
    if (bytes % 2 != 0) {
      fail("wide string of odd length at byte " + std::to_string(pos_ - 4));
    }
    if (bytes > remaining()) {
      fail("wide string at byte " + std::to_string(pos_ - 4) + " runs past the end");
    }
    uint64_t count = bytes / 2;
    if (!t.bounds.empty() && t.bounds[0] != 0 && count > t.bounds[0]) {
      fail("wide string longer than its bound");
    }
    std::string text;
    for (uint64_t i = 0; i < count; ++i) {
      const uint8_t* p = take(2);
      uint16_t unit = unit16(p);
      if (unit >= 0xd800 && unit <= 0xdbff && i + 1 < count) {
        const uint8_t* q = data_ + pos_;
        uint16_t low = unit16(q);
        if (low >= 0xdc00 && low <= 0xdfff) {
          take(2);
          ++i;
          append_utf8(&text, 0x10000u + ((unit - 0xd800u) << 10) + (low - 0xdc00u));
          continue;
        }
      }
      if (unit >= 0xd800 && unit <= 0xdfff) {
        unit = 0xfffd;  // a lone surrogate has no UTF-8 form
      }
      append_utf8(&text, unit);
    }
    append_json_string(&out_, text);
  }

  int64_t read_enum_raw(const Type& t) {
    switch (enum_size(t)) {
      case 1:
        return static_cast<int8_t>(*take(1));
      case 2:
        return read<int16_t>();
      default:
        return read<int32_t>();
    }
  }

  void enumeration(const Type& t) {
    int64_t v = read_enum_raw(t);
    for (const auto& lit : t.members) {
      if (lit.value == v) {
        append_json_string(&out_, lit.name);
        return;
      }
    }
    append_number(&out_, v);
  }

  void bitmask(const Type& t) {
    uint64_t v;
    switch (enum_size(t)) {
      case 1:
        v = *take(1);
        break;
      case 2:
        v = read<uint16_t>();
        break;
      case 4:
        v = read<uint32_t>();
        break;
      default:
        v = read<uint64_t>();
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
      append_number(&out_, v);
      return;
    }
    out_ += '[';
    bool first = true;
    for (const auto& bit : t.members) {
      if (v & (uint64_t{1} << bit.value)) {
        out_ += first ? "" : ", ";
        first = false;
        append_json_string(&out_, bit.name);
      }
    }
    out_ += ']';
  }

  // The header of an XCDR1 parameter; false at the end of the list.
  bool parameter_header(uint32_t* id, uint32_t* length) {
    align(4);
    uint16_t pid = read<uint16_t>();
    uint16_t len = read<uint16_t>();
    if ((pid & kPidMask) == kPidSentinel) {
      return false;
    }
    if ((pid & kPidMask) == kPidExtended) {
      if (len < 8) {
        fail("extended parameter header too short");
      }
      *id = read_u32() & 0x0fffffffu;
      *length = read_u32();
      // the extended header's own length covers the two words just read
      size_t rest = len - 8;
      if (rest > remaining()) {
        fail("parameter runs past the end");
      }
      pos_ += rest;
    } else {
      *id = pid & kPidMask;
      *length = len;
    }
    return true;
  }

  // An optional member outside mutable types.
  void optional_member(const Member& m, int depth) {
    if (version_ == 2) {
      uint8_t present = *take(1);
      if (present > 1) {
        fail("presence flag of value " + std::to_string(present));
      }
      if (present) {
        value(m.type, depth + 1);
      } else {
        out_ += "null";
      }
      return;
    }
    uint32_t id, length;
    if (!parameter_header(&id, &length)) {
      fail("unexpected end of parameter list");
    }
    if (length == 0) {
      out_ += "null";
      return;
    }
    Region region(this, length, true);
    value(m.type, depth + 1);
    region.finish();
  }

  void structure(const Type& t, int depth) {
    auto list = members(t);
    const bool is_mutable = (t.flags & flag::kMutable) != 0;
    if (is_mutable) {
      mutable_structure(list, depth);
      return;
    }
    const bool delimited = version_ == 2 && (t.flags & flag::kAppendable);
    std::optional<Region> region;
    if (delimited) {
      uint32_t length = read_u32();
      region.emplace(this, length, false);
    }
    out_ += '{';
    bool first = true;
    for (const Member* m : list) {
      if (delimited && remaining() == 0) {
        break;  // a writer with an older version of the type sent fewer members
      }
      out_ += first ? "" : ", ";
      first = false;
      key_name(*m);
      if (m->flags & flag::kOptional) {
        optional_member(*m, depth);
      } else {
        value(m->type, depth + 1);
      }
    }
    out_ += '}';
    if (region) {
      region->finish();
    }
  }

  void mutable_structure(const std::vector<const Member*>& list, int depth) {
    std::map<uint32_t, size_t> by_id;
    for (size_t i = 0; i < list.size(); ++i) {
      by_id.emplace(list[i]->id, i);
    }
    std::vector<std::optional<std::string>> values(list.size());
    std::string saved = std::move(out_);
    auto decode_member = [&](uint32_t id, size_t length, bool reset_origin) {
      Region region(this, length, reset_origin);
      auto found = by_id.find(id);
      if (found != by_id.end()) {
        out_.clear();
        value(list[found->second]->type, depth + 1);
        values[found->second] = std::move(out_);
      }
      region.finish();
    };
    try {
      if (version_ == 2) {
        uint32_t length = read_u32();
        Region all(this, length, false);
        while (remaining() > 0) {
          uint32_t header = read_u32();
          uint32_t id = header & 0x0fffffffu;
          uint32_t code = (header >> 28) & 7u;
          size_t size;
          switch (code) {
            case 0:
            case 1:
            case 2:
            case 3:
              size = size_t{1} << code;
              break;
            case 4:
              size = read_u32();
              break;
            default: {
              // The next word is both the length and the member's first word.
              align(4);
              const uint8_t* p = data_ + pos_;
              if (remaining() < 4) {
                fail("member header cut short");
              }
              uint32_t next;
              memcpy(&next, p, 4);
              if (swap_) {
                next = __builtin_bswap32(next);
              }
              uint64_t unit = code == 5 ? 1 : code == 6 ? 4 : 8;
              uint64_t total = 4 + uint64_t{next} * unit;
              if (total > remaining()) {
                fail("member length runs past the end");
              }
              size = static_cast<size_t>(total);
            }
          }
          decode_member(id, size, false);
        }
        all.finish();
      } else {
        uint32_t id, length;
        while (parameter_header(&id, &length)) {
          decode_member(id, length, true);
        }
      }
    } catch (...) {
      out_ = std::move(saved);
      throw;
    }
    out_ = std::move(saved);
    out_ += '{';
    bool first = true;
    for (size_t i = 0; i < list.size(); ++i) {
      if (!values[i] && !(list[i]->flags & flag::kOptional)) {
        continue;
      }
      out_ += first ? "" : ", ";
      first = false;
      key_name(*list[i]);
      out_ += values[i] ? *values[i] : "null";
    }
    out_ += '}';
    check_output();
  }

  int64_t discriminator(const Type& d) {
    switch (d.kind) {
      case Kind::Boolean:
      case Kind::Byte:
      case Kind::UInt8:
      case Kind::Char8:
        return *take(1);
      case Kind::Int8:
        return static_cast<int8_t>(*take(1));
      case Kind::Int16:
        return read<int16_t>();
      case Kind::UInt16:
      case Kind::Char16:
        return read<uint16_t>();
      case Kind::Int32:
        return read<int32_t>();
      case Kind::UInt32:
        return read<uint32_t>();
      case Kind::Int64:
        return read<int64_t>();
      case Kind::UInt64:
        return static_cast<int64_t>(read<uint64_t>());
      case Kind::Enum:
        return read_enum_raw(d);
      default:
        fail("union discriminator of an unsupported kind");
    }
  }

  void append_discriminator(const Type& d, int64_t v) {
    if (d.kind == Kind::Enum) {
      for (const auto& lit : d.members) {
        if (lit.value == v) {
          append_json_string(&out_, lit.name);
          return;
        }
      }
    } else if (d.kind == Kind::Boolean) {
      out_ += v ? "true" : "false";
      return;
    } else if (d.kind == Kind::Char8) {
      uint8_t c = static_cast<uint8_t>(v);
      append_json_string(&out_, &c, 1);
      return;
    } else if (d.kind == Kind::UInt64) {
      append_number(&out_, static_cast<uint64_t>(v));
      return;
    }
    append_number(&out_, v);
  }

  const Member* selected(const Type& t, int64_t v) {
    const Member* fallback = nullptr;
    for (const auto& m : t.members) {
      for (int32_t label : m.labels) {
        if (label == static_cast<int32_t>(v)) {
          return &m;
        }
      }
      if (m.flags & flag::kDefault) {
        fallback = &m;
      }
    }
    return fallback;
  }

  void union_value(const Type& t, int depth) {
    const Type& d = type_of(t.element);
    std::optional<Region> region;
    const bool is_mutable = (t.flags & flag::kMutable) != 0;
    if (version_ == 2 && (t.flags & (flag::kAppendable | flag::kMutable))) {
      uint32_t length = read_u32();
      region.emplace(this, length, false);
    }
    if (is_mutable) {
      // Discriminator and branch each come as a member with its own header.
      if (version_ == 2) {
        if (((read_u32() >> 28) & 7u) == 4) {
          read_u32();
        }
      } else {
        uint32_t id, length;
        if (!parameter_header(&id, &length)) {
          fail("union without discriminator");
        }
      }
    }
    int64_t v = discriminator(d);
    out_ += "{\"_d\": ";
    append_discriminator(d, v);
    if (const Member* m = selected(t, v)) {
      if (is_mutable) {
        if (version_ == 2) {
          uint32_t header = read_u32();
          if (((header >> 28) & 7u) == 4) {
            read_u32();
          }
        } else {
          uint32_t id, length;
          if (!parameter_header(&id, &length)) {
            fail("union without branch");
          }
        }
      }
      out_ += ", ";
      key_name(*m);
      value(m->type, depth + 1);
    }
    out_ += '}';
    if (region) {
      region->finish();
    }
  }

  void elements(TypeIndex element, uint64_t count, int depth) {
    out_ += '[';
    for (uint64_t i = 0; i < count; ++i) {
      out_ += i ? ", " : "";
      value(element, depth + 1);
    }
    out_ += ']';
  }

  void sequence(const Type& t, int depth) {
    std::optional<Region> region;
    if (needs_dheader(t.element)) {
      uint32_t length = read_u32();
      region.emplace(this, length, false);
    }
    uint32_t count = read_u32();
    if (!t.bounds.empty() && t.bounds[0] != 0 && count > t.bounds[0]) {
      fail("sequence of " + std::to_string(count) + " elements exceeds its bound");
    }
    check_count(count, t.element);
    elements(t.element, count, depth);
    if (region) {
      region->finish();
    }
  }

  void array_dims(const Type& t, size_t dim, int depth) {
    if (dim == t.bounds.size()) {
      value(t.element, depth + 1);
      return;
    }
    out_ += '[';
    for (uint32_t i = 0; i < t.bounds[dim]; ++i) {
      out_ += i ? ", " : "";
      array_dims(t, dim + 1, depth);
    }
    out_ += ']';
  }

  void array(const Type& t, int depth) {
    std::optional<Region> region;
    if (needs_dheader(t.element)) {
      uint32_t length = read_u32();
      region.emplace(this, length, false);
    }
    uint64_t total = 1;
    for (uint32_t d : t.bounds) {
      total *= d;
      if (total > (uint64_t{1} << 32)) {
        fail("array too large");
      }
    }
    check_count(total, t.element);
    array_dims(t, 0, depth);
    if (region) {
      region->finish();
    }
  }

  void map(const Type& t, int depth) {
    std::optional<Region> region;
    if (version_ == 2 &&
        !(is_primitive(type_of(t.key).kind) && is_primitive(type_of(t.element).kind))) {
      uint32_t length = read_u32();
      region.emplace(this, length, false);
    }
    uint32_t count = read_u32();
    if (!t.bounds.empty() && t.bounds[0] != 0 && count > t.bounds[0]) {
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
    if (region) {
      region->finish();
    }
  }

  const TypeGraph& g_;
  const uint8_t* data_;
  size_t end_;
  size_t limit_;
  size_t pos_ = 0;
  size_t origin_ = 0;
  int version_ = 2;
  bool little_ = true;
  bool swap_ = false;
  std::string out_;
  std::vector<std::optional<size_t>> min_sizes_;
};

}  // namespace

std::optional<std::string> decode_to_json(const TypeGraph& graph, const uint8_t* data, size_t size,
                                          std::string* error) {
  if (data == nullptr || graph.root >= graph.types.size()) {
    if (error != nullptr) {
      *error = "nothing to decode";
    }
    return std::nullopt;
  }
  try {
    return Decoder(graph, data, size).run();
  } catch (const DecodeError& e) {
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

}  // namespace rnr::types
