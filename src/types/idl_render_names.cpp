// How the IDL renderer writes names.
//
// Scoped names are written relative to the root ("geom::Vec3"), not in the
// absolute form ("::geom::Vec3"): widely used IDL tooling rejects a name
// that begins with "::", while every IDL reader accepts the relative form.
// A relative name is looked up from the scope it is written in outwards, so
// it is wrong where its first identifier is also declared in an enclosing
// scope: the lookup finds that declaration before the one at the root (a
// member "geom" of a struct whose member type is "geom::Vec3"; a module
// "app::geom" around a use of the root's "geom::Vec3"). Only there the name
// keeps the leading "::", the one form that reaches the root past the
// shadowing declaration.
//
// Cyclone's IDL compiler (0.10.2) adds one more case, at module level (the
// type of a typedef, the base of a struct): there it rejects a scoped name
// whose first identifier is declared in the scope where the name stands or
// is the name of the module it stands in ("Declaration 'geo' collides ...":
// `module geo { struct Pose : geo::Base`, or `typedef geo::Base B;` at the
// root). Inside a struct or union the same names are accepted. Such names
// are written in the absolute form too, which it accepts everywhere.
#include "types/idl_render_names.h"

#include <algorithm>
#include <cctype>

namespace rnr::types::idl_render {

namespace {

bool is_keyword(const std::string& word) {
  static const std::set<std::string> keywords = {
      "abstract",  "any",       "alias",      "attribute", "bitfield",    "bitmask",
      "bitset",    "boolean",   "case",       "char",      "component",   "connector",
      "const",     "consumes",  "context",    "custom",    "default",     "double",
      "exception", "emits",     "enum",       "eventtype", "factory",     "false",
      "finder",    "fixed",     "float",      "getraises", "getter",      "home",
      "import",    "in",        "inout",      "interface", "local",       "long",
      "manages",   "map",       "mirrorport", "module",    "multiple",    "native",
      "object",    "octet",     "oneway",     "out",       "primarykey",  "private",
      "port",      "porttype",  "provides",   "public",    "publishes",   "raises",
      "readonly",  "setraises", "setter",     "sequence",  "short",       "string",
      "struct",    "supports",  "switch",     "true",      "truncatable", "typedef",
      "typeid",    "typename",  "typeprefix", "unsigned",  "union",       "uses",
      "valuebase", "valuetype", "void",       "wchar",     "wstring",     "int8",
      "uint8",     "int16",     "int32",      "int64",     "uint16",      "uint32",
      "uint64"};
  std::string lower = word;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return keywords.count(lower) != 0;
}

bool is_identifier(const std::string& word) {
  if (word.empty() || !(std::isalpha(static_cast<unsigned char>(word[0])) || word[0] == '_')) {
    return false;
  }
  return std::all_of(word.begin(), word.end(),
                     [](unsigned char c) { return std::isalnum(c) || c == '_'; });
}

std::string lower(std::string word) {
  std::transform(word.begin(), word.end(), word.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return word;
}

// The key of a scope: its identifiers in lower case, joined by "::" (the
// root is ""). IDL identifiers that differ only in case collide, so lookups
// compare them in lower case.
std::string scope_key(const std::vector<std::string>& parts, size_t count) {
  std::string key;
  for (size_t i = 0; i < count && i < parts.size(); ++i) {
    if (i > 0) {
      key += "::";
    }
    key += lower(parts[i]);
  }
  return key;
}

// The keywords that viewers' IDL readers do not take as names.
bool is_viewer_keyword(const std::string& word) {
  static const std::set<std::string> keywords = {
      "boolean", "case",   "char",   "const",    "double", "enum",    "false",  "float",
      "int16",   "int32",  "int64",  "int8",     "long",   "module",  "octet",  "sequence",
      "short",   "string", "struct", "switch",   "true",   "typedef", "uint16", "uint32",
      "uint64",  "uint8",  "union",  "unsigned", "wchar",  "wstring"};
  return keywords.count(lower(word)) != 0;
}

}  // namespace

bool is_named(const Type& t) {
  return t.kind == Kind::Alias || t.kind == Kind::Enum || t.kind == Kind::Bitmask ||
         t.kind == Kind::Struct || t.kind == Kind::Union;
}

std::vector<std::string> split_scoped(const std::string& name) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (true) {
    size_t pos = name.find("::", start);
    parts.push_back(name.substr(start, pos == std::string::npos ? pos : pos - start));
    if (pos == std::string::npos) {
      return parts;
    }
    start = pos + 2;
  }
}

std::optional<std::string> identifier(const std::string& word, std::string* error,
                                      bool for_viewers) {
  if (!is_identifier(word)) {
    *error = "name \"" + word + "\" is not an IDL identifier";
    return std::nullopt;
  }
  if (for_viewers) {
    return is_viewer_keyword(word) ? "_" + word : word;
  }
  // A leading underscore escapes an identifier and is dropped when read.
  if (word[0] == '_' || is_keyword(word)) {
    return "_" + word;
  }
  return word;
}

void ScopedNames::declare(const std::vector<std::string>& scope, size_t depth,
                          const std::string& name) {
  declared_[scope_key(scope, depth)].insert(lower(name));
}

// Every identifier that the text declares, by scope: modules, types,
// enumerators and bit flags (in the scope around their type), and the
// members of structs (with those of their bases) and unions. Later
// declarations count as well: some readers resolve names only once the
// whole text is read.
void ScopedNames::collect_declarations() {
  for (const auto& t : g_.types) {
    if (!is_named(t)) {
      continue;
    }
    auto parts = split_scoped(t.name);
    for (size_t i = 0; i < parts.size(); ++i) {
      declare(parts, i, parts[i]);
    }
    if (t.kind == Kind::Enum || t.kind == Kind::Bitmask) {
      for (const auto& literal : t.members) {
        declare(parts, parts.size() - 1, literal.name);
      }
    } else if (t.kind == Kind::Struct || t.kind == Kind::Union) {
      const Type* level = &t;
      for (size_t hops = 0; level != nullptr && hops <= g_.types.size(); ++hops) {
        for (const auto& m : level->members) {
          declare(parts, parts.size(), m.name);
        }
        auto base = level->base ? resolve_alias(g_, *level->base) : std::nullopt;
        level = base && g_.at(*base).kind == Kind::Struct ? &g_.at(*base) : nullptr;
      }
    }
  }
}

// Whether the first identifier of a scoped name, looked up from `scope_`
// outwards, is found before the root: then only the absolute form names
// the declaration at the root.
bool ScopedNames::shadowed(const std::string& first) const {
  const std::string wanted = lower(first);
  for (size_t depth = scope_.size(); depth > 0; --depth) {
    auto found = declared_.find(scope_key(scope_, depth));
    if (found != declared_.end() && found->second.count(wanted) != 0) {
      return true;
    }
  }
  return false;
}

bool ScopedNames::rejected_at_module_level(const std::vector<std::string>& parts) const {
  if (!module_level_ || parts.size() < 2) {
    return false;
  }
  const std::string first = lower(parts.front());
  if (!scope_.empty() && lower(scope_.back()) == first) {
    return true;
  }
  auto here = declared_.find(scope_key(scope_, scope_.size()));
  return here != declared_.end() && here->second.count(first) != 0;
}

std::optional<std::string> ScopedNames::scoped(const std::string& name, std::string* error) const {
  const auto parts = split_scoped(name);
  const bool absolute =
      !for_viewers_ && (shadowed(parts.front()) || rejected_at_module_level(parts));
  std::string text = absolute ? "::" : "";
  for (size_t i = 0; i < parts.size(); ++i) {
    auto id = identifier(parts[i], error, for_viewers_);
    if (!id) {
      return std::nullopt;
    }
    if (i > 0) {
      text += "::";
    }
    text += *id;
  }
  return text;
}

}  // namespace rnr::types::idl_render
