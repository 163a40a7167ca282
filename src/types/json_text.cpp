// The JSON text the sample decoder writes: see json_text.h.
#include "types/json_text.h"

#include <cstdio>

namespace rnr::types::json {
namespace {

// UTF-16 surrogates: a high one (D800-DBFF) followed by a low one
// (DC00-DFFF) encodes a code point above U+FFFF. Alone, either is no
// character, and UTF-8 has no form for it.
bool is_high_surrogate(uint32_t unit) {
  return unit >= 0xd800 && unit <= 0xdbff;
}
bool is_low_surrogate(uint32_t unit) {
  return unit >= 0xdc00 && unit <= 0xdfff;
}
bool is_surrogate(uint32_t unit) {
  return is_high_surrogate(unit) || is_low_surrogate(unit);
}

// What a lone surrogate becomes in UTF-8 text: U+FFFD REPLACEMENT CHARACTER.
constexpr uint32_t kReplacementCharacter = 0xfffd;

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

// \uXXXX for a control character, a byte that is no UTF-8, a lone surrogate.
void append_escape(std::string* out, uint32_t unit) {
  char buf[8];
  snprintf(buf, sizeof buf, "\\u%04x", unit & 0xffffu);
  *out += buf;
}

// Length of the valid UTF-8 sequence at s[0..n), or 0. Overlong forms,
// surrogates and code points above U+10FFFF are not valid.
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
  if ((len == 3 && (cp < 0x800 || is_surrogate(cp))) ||
      (len == 4 && (cp < 0x10000 || cp > 0x10ffff))) {
    return 0;
  }
  return len;
}

// `s[0..n)` as a JSON string; a byte outside any valid UTF-8 sequence as
// \u00XX, or as U+FFFD with `replace`.
void append_escaped(std::string* out, const uint8_t* s, size_t n, bool replace) {
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
      // A run of characters that need no escape, appended at once.
      size_t end = i + 1;
      while (end < n && s[end] >= 0x20 && s[end] < 0x7f && s[end] != '"' && s[end] != '\\') {
        ++end;
      }
      out->append(reinterpret_cast<const char*>(s + i), end - i);
      i = end;
      continue;
    } else if (size_t len = utf8_sequence(s + i, n - i); len != 0) {
      out->append(reinterpret_cast<const char*>(s + i), len);
      i += len;
      continue;
    } else {
      append_escape(out, replace ? kReplacementCharacter : c);
    }
    ++i;
  }
  *out += '"';
}

}  // namespace

void append_string(std::string* out, const uint8_t* s, size_t n) {
  append_escaped(out, s, n, false);
}

void append_text(std::string* out, const std::string& s) {
  append_escaped(out, reinterpret_cast<const uint8_t*>(s.data()), s.size(), true);
}

void append_string(std::string* out, const std::string& s) {
  append_string(out, reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

void append_key(std::string* out, const std::string& name) {
  append_string(out, name);
  *out += ": ";
}

void append_char16(std::string* out, uint16_t unit) {
  if (is_surrogate(unit)) {
    *out += '"';
    append_escape(out, unit);
    *out += '"';
    return;
  }
  std::string s;
  append_utf8(&s, unit);
  append_string(out, s);
}

void append_utf16(std::string* out, const uint16_t* units, size_t count) {
  std::string text;
  for (size_t i = 0; i < count; ++i) {
    uint32_t unit = units[i];
    if (is_high_surrogate(unit) && i + 1 < count && is_low_surrogate(units[i + 1])) {
      const uint32_t low = units[++i];
      append_utf8(&text, 0x10000u + ((unit - 0xd800u) << 10) + (low - 0xdc00u));
      continue;
    }
    if (is_surrogate(unit)) {
      unit = kReplacementCharacter;
    }
    append_utf8(&text, unit);
  }
  append_string(out, text);
}

void append_hex(std::string* out, const uint8_t* bytes, size_t n) {
  static const char digits[] = "0123456789abcdef";
  *out += "\"0x";
  const size_t at = out->size();
  out->resize(at + 2 * n);
  char* p = out->data() + at;
  for (size_t i = 0; i < n; ++i) {
    *p++ = digits[bytes[i] >> 4];
    *p++ = digits[bytes[i] & 0xf];
  }
  *out += '"';
}

void append_byte_list(std::string* out, const uint8_t* bytes, size_t n) {
  // Each byte is at most three digits and its ", ": the text is written in
  // place and the string cut to what was used.
  const size_t at = out->size();
  out->resize(at + 2 + 5 * n);
  char* const begin = out->data() + at;
  char* p = begin;
  *p++ = '[';
  for (size_t i = 0; i < n; ++i) {
    if (i > 0) {
      *p++ = ',';
      *p++ = ' ';
    }
    const unsigned v = bytes[i];
    if (v >= 100) {
      *p++ = static_cast<char>('0' + v / 100);
      *p++ = static_cast<char>('0' + v / 10 % 10);
    } else if (v >= 10) {
      *p++ = static_cast<char>('0' + v / 10);
    }
    *p++ = static_cast<char>('0' + v % 10);
  }
  *p++ = ']';
  out->resize(at + static_cast<size_t>(p - begin));
}

void append_base64(std::string* out, const uint8_t* bytes, size_t n) {
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const size_t at = out->size();
  out->resize(at + 2 + (n + 2) / 3 * 4);
  char* p = out->data() + at;
  *p++ = '"';
  size_t i = 0;
  for (; i + 3 <= n; i += 3) {
    const uint32_t v = (uint32_t{bytes[i]} << 16) | (uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
    *p++ = alphabet[v >> 18];
    *p++ = alphabet[(v >> 12) & 0x3f];
    *p++ = alphabet[(v >> 6) & 0x3f];
    *p++ = alphabet[v & 0x3f];
  }
  if (i < n) {
    const uint32_t v = (uint32_t{bytes[i]} << 16) | (i + 1 < n ? uint32_t{bytes[i + 1]} << 8 : 0);
    *p++ = alphabet[v >> 18];
    *p++ = alphabet[(v >> 12) & 0x3f];
    *p++ = i + 1 < n ? alphabet[(v >> 6) & 0x3f] : '=';
    *p++ = '=';
  }
  *p = '"';
}

}  // namespace rnr::types::json
