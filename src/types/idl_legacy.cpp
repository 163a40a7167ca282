// Earlier recorders wrote every scoped name of a type description relative
// to the root ("geo::Base"), unless another declaration would be found first
// (then "::geo::Base"), and closed nested template types with ">>". Read as
// their writer meant them, the relative names are all absolute; so the
// mended text puts "::" before each, and a blank between two ">". String and
// character literals and comments are copied unchanged.
#include "types/idl_legacy.h"

#include <cctype>

namespace rnr::types {
namespace {

bool identifier_start(char c) {
  return std::isalpha(static_cast<unsigned char>(c)) != 0 || c == '_';
}

bool identifier_char(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_';
}

// The end of the literal or comment that starts at `at`, or `at` when none
// starts there.
size_t skip_literal(const std::string& s, size_t at) {
  const char c = s[at];
  if (c == '"' || c == '\'') {
    size_t i = at + 1;
    while (i < s.size() && s[i] != c) {
      i += s[i] == '\\' ? 2 : 1;
    }
    return i < s.size() ? i + 1 : s.size();
  }
  if (c == '/' && at + 1 < s.size() && s[at + 1] == '/') {
    size_t end = s.find('\n', at);
    return end == std::string::npos ? s.size() : end;
  }
  if (c == '/' && at + 1 < s.size() && s[at + 1] == '*') {
    size_t end = s.find("*/", at + 2);
    return end == std::string::npos ? s.size() : end + 2;
  }
  return at;
}

}  // namespace

std::optional<std::string> mend_legacy_idl(const std::string& idl) {
  std::string out;
  out.reserve(idl.size() + idl.size() / 8);
  bool mended = false;
  for (size_t i = 0; i < idl.size();) {
    if (size_t end = skip_literal(idl, i); end != i) {
      out.append(idl, i, end - i);
      i = end;
      continue;
    }
    const char c = idl[i];
    if (c == '>' && i + 1 < idl.size() && idl[i + 1] == '>') {
      out += "> ";
      mended = true;
      ++i;
      continue;
    }
    if (!identifier_start(c) || (i > 0 && identifier_char(idl[i - 1]))) {
      out += c;
      ++i;
      continue;
    }
    // An identifier, with the scoped name it may begin.
    size_t end = i;
    bool scoped = false;
    while (true) {
      while (end < idl.size() && identifier_char(idl[end])) {
        ++end;
      }
      if (end + 2 < idl.size() && idl.compare(end, 2, "::") == 0 &&
          identifier_start(idl[end + 2])) {
        scoped = true;
        end += 2;
        continue;
      }
      break;
    }
    const bool absolute = i >= 2 && idl.compare(i - 2, 2, "::") == 0;
    if (scoped && !absolute) {
      out += "::";
      mended = true;
    }
    out.append(idl, i, end - i);
    i = end;
  }
  if (!mended) {
    return std::nullopt;
  }
  return out;
}

}  // namespace rnr::types
