// The JSON text the sample decoder writes: strings from UTF-8 or UTF-16
// that stay valid JSON whatever bytes they hold, numbers in their shortest
// exact form, and the non-finite floats JSON has no number for.
// Used by the decoder (src/types/cdr_*.cpp) and the bag tool's JSON lines.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>

namespace rnr::types::json {

// `s[0..n)` as a JSON string. Bytes that are not valid UTF-8 are written as
// the code points of the same value (\u00XX), so the line stays valid JSON.
void append_string(std::string* out, const uint8_t* s, size_t n);
void append_string(std::string* out, const std::string& s);
// Text that should be UTF-8 (names, topic names) as a JSON string: each byte
// that is not part of a valid UTF-8 sequence becomes U+FFFD.
void append_text(std::string* out, const std::string& s);

// `"name": ` before a member's value.
void append_key(std::string* out, const std::string& name);

// One UTF-16 unit as a JSON string; a lone surrogate, which has no UTF-8
// form, as its \u escape.
void append_char16(std::string* out, uint16_t unit);

// UTF-16 text as a JSON string: surrogate pairs are joined, a lone surrogate
// becomes U+FFFD.
void append_utf16(std::string* out, const uint16_t* units, size_t count);

// `n` bytes as a JSON string of hex digits after "0x", in the order given.
void append_hex(std::string* out, const uint8_t* bytes, size_t n);

// `n` bytes as a JSON list of numbers: [0, 1, 255].
void append_byte_list(std::string* out, const uint8_t* bytes, size_t n);

// `n` bytes as a JSON string of base64 (RFC 4648, with padding).
void append_base64(std::string* out, const uint8_t* bytes, size_t n);

template <typename T>
void append_number(std::string* out, T value) {
  char buf[64];
  auto result = std::to_chars(buf, buf + sizeof buf, value);
  out->append(buf, result.ptr);
}

// A float in its shortest form that reads back to the same value, always
// with a '.' or an exponent so that a reader sees a float; NaN and the
// infinities, which JSON cannot write as numbers, as strings.
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
    auto result = std::to_chars(buf, buf + sizeof buf - 2, value);
    bool has_point = false;
    for (const char* c = buf; c != result.ptr; ++c) {
      has_point = has_point || *c == '.' || *c == 'e';
    }
    if (!has_point) {
      *result.ptr++ = '.';
      *result.ptr++ = '0';
    }
    out->append(buf, result.ptr);
  }
}

}  // namespace rnr::types::json
