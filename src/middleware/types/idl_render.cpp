// Writes a type graph as IDL 4 text that recompiles to the same type objects:
// every annotation that the type objects record is written back, defaults
// (member ids in sequence, enumerator values, flag positions) are left out.
// Scoped names are written relative to the root ("geom::Vec3"), which every
// IDL tool reads; only a name whose first identifier would be found in an
// enclosing scope first keeps the leading "::".
#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <map>
#include <set>
#include <sstream>

#include "middleware/types/type_model.h"

namespace rnr::types {

std::optional<TypeIndex> resolve_alias(const TypeGraph& graph, TypeIndex index) {
  for (size_t hops = 0; hops <= graph.types.size(); ++hops) {
    if (index >= graph.types.size()) {
      return std::nullopt;
    }
    if (graph.types[index].kind != Kind::Alias) {
      return index;
    }
    index = graph.types[index].element;
  }
  return std::nullopt;
}

namespace {

// Deeper nesting than any real type has; reached only by a damaged graph.
constexpr int kMaxAnonymousDepth = 64;

bool is_named(const Type& t) {
  return t.kind == Kind::Alias || t.kind == Kind::Enum || t.kind == Kind::Bitmask ||
         t.kind == Kind::Struct || t.kind == Kind::Union;
}

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

// Concatenation written out: GCC 12 warns falsely on `"x" + s + "y"`.
std::string wrap(const char* before, const std::string& middle, const char* after) {
  std::string out(before);
  out.append(middle);
  out.append(after);
  return out;
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

std::string quote(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7f) {
      char buf[8];
      snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

class Renderer {
 public:
  explicit Renderer(const TypeGraph& graph) : g_(graph) { collect_declarations(); }

  std::optional<std::string> run(std::string* error) {
    if (g_.root >= g_.types.size() || !is_named(g_.at(g_.root))) {
      return fail(error, "the topic type is not a named type");
    }
    for (const auto& t : g_.types) {
      if (!t.resolved) {
        return fail(error, "the type graph is incomplete");
      }
    }
    if (!order(g_.root)) {
      return fail(error, error_);
    }
    for (TypeIndex index : order_) {
      if (!emit(index)) {
        return fail(error, error_);
      }
    }
    enter_modules({});
    return out_.str();
  }

 private:
  std::optional<std::string> fail(std::string* error, const std::string& text) {
    if (error != nullptr) {
      *error = text;
    }
    return std::nullopt;
  }

  bool set_error(std::string text) {
    error_ = std::move(text);
    return false;
  }

  // Depth-first, dependencies first: every named type after all it uses.
  // Named types are entered once; the depth bounds the anonymous ones
  // (sequences, arrays, maps), which a damaged graph may make circular.
  bool order(TypeIndex index, int depth = 0) {
    if (index >= g_.types.size()) {
      return set_error("reference to a missing type");
    }
    if (depth > kMaxAnonymousDepth) {
      return set_error("type nested too deeply");
    }
    const Type& t = g_.at(index);
    if (is_named(t)) {
      if (done_.count(index) != 0) {
        return true;
      }
      if (!visiting_.insert(index).second) {
        return set_error("recursive type " + t.name);
      }
    }
    const int next = is_named(t) ? 0 : depth + 1;
    bool ok = true;
    switch (t.kind) {
      case Kind::Struct:
        if (t.base) {
          ok = order(*t.base, next);
        }
        for (const auto& m : t.members) {
          ok = ok && order(m.type, next);
        }
        break;
      case Kind::Union:
        ok = order(t.element, next);
        for (const auto& m : t.members) {
          ok = ok && order(m.type, next);
        }
        break;
      case Kind::Map:
        ok = order(t.key, next) && order(t.element, next);
        break;
      case Kind::Alias:
      case Kind::Sequence:
      case Kind::Array:
        ok = order(t.element, next);
        break;
      default:
        break;
    }
    if (!ok) {
      return false;
    }
    if (is_named(t)) {
      visiting_.erase(index);
      done_.insert(index);
      order_.push_back(index);
    }
    return true;
  }

  std::optional<std::string> identifier(const std::string& word) {
    if (!is_identifier(word)) {
      error_ = "name \"" + word + "\" is not an IDL identifier";
      return std::nullopt;
    }
    // A leading underscore escapes an identifier and is dropped when read.
    if (word[0] == '_' || is_keyword(word)) {
      return "_" + word;
    }
    return word;
  }

  void declare(const std::vector<std::string>& scope, size_t depth, const std::string& name) {
    declared_[scope_key(scope, depth)].insert(lower(name));
  }

  // Every identifier that the text declares, by scope: modules, types,
  // enumerators and bit flags (in the scope around their type), and the
  // members of structs (with those of their bases) and unions. Later
  // declarations count as well: some readers resolve names only once the
  // whole text is read.
  void collect_declarations() {
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
  bool shadowed(const std::string& first) const {
    const std::string wanted = lower(first);
    for (size_t depth = scope_.size(); depth > 0; --depth) {
      auto found = declared_.find(scope_key(scope_, depth));
      if (found != declared_.end() && found->second.count(wanted) != 0) {
        return true;
      }
    }
    return false;
  }

  std::optional<std::string> scoped(const std::string& name) {
    const auto parts = split_scoped(name);
    std::string text = shadowed(parts.front()) ? "::" : "";
    for (size_t i = 0; i < parts.size(); ++i) {
      auto id = identifier(parts[i]);
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

  // The text that names a type, and the array dimensions that go on the
  // declarator.
  bool type_text(TypeIndex index, std::string* text, std::string* dims, int depth = 0) {
    if (index >= g_.types.size() || depth > kMaxAnonymousDepth) {
      return set_error("reference to a missing type");
    }
    const Type& t = g_.at(index);
    if (is_named(t)) {
      auto name = scoped(t.name);
      if (!name) {
        return false;
      }
      *text = *name;
      return true;
    }
    static const std::array<const char*, 15> primitive_names = {
        "boolean",        "octet",  "int8",          "uint8",     "short",
        "unsigned short", "long",   "unsigned long", "long long", "unsigned long long",
        "float",          "double", "long double",   "char",      "wchar"};
    if (is_primitive(t.kind)) {
      *text = primitive_names[static_cast<size_t>(t.kind)];
      return true;
    }
    std::string inner, inner_dims;
    switch (t.kind) {
      case Kind::String8:
      case Kind::String16:
        *text = t.kind == Kind::String8 ? "string" : "wstring";
        if (!t.bounds.empty() && t.bounds[0] != 0) {
          *text += wrap("<", std::to_string(t.bounds[0]), ">");
        }
        return true;
      case Kind::Sequence:
        if (!type_text(t.element, &inner, &inner_dims, depth + 1)) {
          return false;
        }
        if (!inner_dims.empty()) {
          return set_error("sequence of anonymous arrays");
        }
        *text = "sequence<" + inner;
        if (!t.bounds.empty() && t.bounds[0] != 0) {
          *text += ", " + std::to_string(t.bounds[0]);
        }
        *text += ">";
        return true;
      case Kind::Map: {
        std::string key, key_dims;
        if (!type_text(t.key, &key, &key_dims, depth + 1) ||
            !type_text(t.element, &inner, &inner_dims, depth + 1)) {
          return false;
        }
        if (!key_dims.empty() || !inner_dims.empty()) {
          return set_error("map of anonymous arrays");
        }
        *text = "map<" + key + ", " + inner;
        if (!t.bounds.empty() && t.bounds[0] != 0) {
          *text += ", " + std::to_string(t.bounds[0]);
        }
        *text += ">";
        return true;
      }
      case Kind::Array:
        if (!type_text(t.element, &inner, &inner_dims, depth + 1)) {
          return false;
        }
        *text = inner;
        for (uint32_t d : t.bounds) {
          *dims += wrap("[", std::to_string(d), "]");
        }
        *dims += inner_dims;
        return true;
      default:
        return set_error("unexpected type kind");
    }
  }

  // Opens and closes modules so that the next definition sits in `path`.
  void enter_modules(const std::vector<std::string>& path) {
    size_t common = 0;
    while (common < path.size() && common < modules_.size() && path[common] == modules_[common]) {
      ++common;
    }
    while (modules_.size() > common) {
      modules_.pop_back();
      out_ << indent() << "};\n";
    }
    for (size_t i = common; i < path.size(); ++i) {
      out_ << indent() << "module " << path[i] << " {\n";
      modules_.push_back(path[i]);
    }
  }

  std::string indent(int extra = 0) const {
    return std::string(2 * (modules_.size() + static_cast<size_t>(extra)), ' ');
  }

  static std::string extensibility(uint16_t flags) {
    if (flags & flag::kMutable) {
      return "@mutable";
    }
    if (flags & flag::kAppendable) {
      return "@appendable";
    }
    return "@final";
  }

  std::string member_annotations(const Member& m, bool in_union) {
    std::string a;
    if (!in_union && (m.flags & flag::kKey)) {
      a += "@key ";
    }
    if (!in_union && (m.flags & flag::kOptional)) {
      a += "@optional ";
    }
    if (m.flags & flag::kExternal) {
      a += "@external ";
    }
    if (!in_union && (m.flags & flag::kMustUnderstand) && !(m.flags & flag::kKey)) {
      a += "@must_understand ";
    }
    switch (m.flags & flag::kTryConstructMask) {
      case 2:
        a += "@try_construct(USE_DEFAULT) ";
        break;
      case 3:
        a += "@try_construct(TRIM) ";
        break;
      default:
        break;
    }
    if (m.unit) {
      a += "@unit(" + quote(*m.unit) + ") ";
    }
    return a;
  }

  // Member ids: written where they differ from what the compiler would
  // assign (the previous id plus one, from 0, across the base types).
  std::string id_annotation(const Member& m, uint32_t* expected, bool hash_ids) {
    std::string a;
    if (m.hash_id) {
      a = m.hash_id->empty() ? "@hashid " : "@hashid(" + quote(*m.hash_id) + ") ";
    } else if (hash_ids || m.id != *expected) {
      a = wrap("@id(", std::to_string(m.id), ") ");
    }
    *expected = (m.id + 1) & 0x0fffffffu;
    return a;
  }

  // The id that follows the last member of a struct's base chain.
  std::optional<uint32_t> next_id_after_bases(const Type& t) {
    std::optional<TypeIndex> base = t.base;
    for (size_t hops = 0; base && hops <= g_.types.size(); ++hops) {
      auto b = resolve_alias(g_, *base);
      if (!b || g_.at(*b).kind != Kind::Struct) {
        return std::nullopt;
      }
      const Type& bt = g_.at(*b);
      if (!bt.members.empty()) {
        return (bt.members.back().id + 1) & 0x0fffffffu;
      }
      base = bt.base;
    }
    return base ? std::nullopt : std::optional<uint32_t>(0);
  }

  std::optional<std::string> label(const Type& disc, int32_t value) {
    switch (disc.kind) {
      case Kind::Boolean:
        return std::string(value != 0 ? "TRUE" : "FALSE");
      case Kind::Char8: {
        auto c = static_cast<unsigned char>(value);
        if (c >= 0x20 && c < 0x7f && c != '\'' && c != '\\') {
          return "'" + std::string(1, static_cast<char>(c)) + "'";
        }
        char buf[8];
        snprintf(buf, sizeof buf, "'\\x%02x'", c);
        return std::string(buf);
      }
      case Kind::Byte:
      case Kind::UInt8:
        return std::to_string(static_cast<uint8_t>(value));
      case Kind::UInt16:
        return std::to_string(static_cast<uint16_t>(value));
      case Kind::UInt32:
      case Kind::UInt64:
        return std::to_string(static_cast<uint32_t>(value));
      case Kind::Enum: {
        for (const auto& lit : disc.members) {
          if (lit.value == value) {
            // Enumerators belong to the scope around their enum.
            auto parts = split_scoped(disc.name);
            parts.back() = lit.name;
            std::string joined;
            for (size_t i = 0; i < parts.size(); ++i) {
              joined += (i ? "::" : "") + parts[i];
            }
            return scoped(joined);
          }
        }
        error_ = wrap("union label ", std::to_string(value), " is no enumerator of ") + disc.name;
        return std::nullopt;
      }
      default:
        return std::to_string(value);
    }
  }

  // An enum or a bitmask: its literals in order, each value (or flag
  // position) written only where it is not the previous one plus one.
  bool emit_literals(const Type& t, const std::string& name, const char* keyword,
                     const char* value_annotation) {
    const std::string in = indent();
    out_ << in << ((t.flags & flag::kAppendable) ? "@appendable" : "@final");
    if (t.bit_bound != 32) {
      out_ << " @bit_bound(" << t.bit_bound << ")";
    }
    out_ << "\n" << in << keyword << " " << name << " {\n";
    int64_t expected = 0;
    for (size_t i = 0; i < t.members.size(); ++i) {
      const auto& literal = t.members[i];
      auto id = identifier(literal.name);
      if (!id) {
        return false;
      }
      out_ << indent(1);
      if (literal.value != expected) {
        out_ << value_annotation << "(" << literal.value << ") ";
      }
      out_ << *id << (i + 1 < t.members.size() ? ",\n" : "\n");
      expected = literal.value + 1;
    }
    out_ << in << "};\n";
    return true;
  }

  bool emit(TypeIndex index) {
    const Type& t = g_.at(index);
    auto parts = split_scoped(t.name);
    std::vector<std::string> path;
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
      auto id = identifier(parts[i]);
      if (!id) {
        return false;
      }
      path.push_back(*id);
    }
    auto name = identifier(parts.back());
    if (!name) {
      return false;
    }
    enter_modules(path);
    // Names in a typedef are looked up from its module, names in a struct or
    // union (base, members, discriminator, labels) from the type's own scope.
    scope_ = parts;
    if (t.kind == Kind::Alias) {
      scope_.pop_back();
    }
    const std::string in = indent();
    const std::string in1 = indent(1);
    switch (t.kind) {
      case Kind::Alias: {
        std::string text, dims;
        if (!type_text(t.element, &text, &dims)) {
          return false;
        }
        out_ << in << "typedef " << text << " " << *name << dims << ";\n";
        return true;
      }
      case Kind::Enum:
        return emit_literals(t, *name, "enum", "@value");
      case Kind::Bitmask:
        return emit_literals(t, *name, "bitmask", "@position");
      case Kind::Struct: {
        out_ << in << extensibility(t.flags);
        if (t.flags & flag::kNested) {
          out_ << " @nested";
        }
        const bool hash_ids = (t.flags & flag::kAutoidHash) != 0;
        if (hash_ids) {
          out_ << " @autoid(HASH)";
        }
        out_ << "\n" << in << "struct " << *name;
        if (t.base) {
          std::string base, dims;
          if (!type_text(*t.base, &base, &dims) || !dims.empty()) {
            return dims.empty() ? false : set_error("struct based on an array");
          }
          out_ << " : " << base;
        }
        out_ << " {\n";
        auto expected = next_id_after_bases(t);
        if (!expected) {
          return set_error("struct " + t.name + " has a base that is no struct");
        }
        for (const auto& m : t.members) {
          std::string text, dims;
          auto id = identifier(m.name);
          if (!id || !type_text(m.type, &text, &dims)) {
            return false;
          }
          out_ << in1 << id_annotation(m, &*expected, hash_ids) << member_annotations(m, false)
               << text << " " << *id << dims << ";\n";
        }
        out_ << in << "};\n";
        return true;
      }
      case Kind::Union: {
        auto disc_index = resolve_alias(g_, t.element);
        if (!disc_index) {
          return set_error("union " + t.name + " without discriminator");
        }
        std::string disc, disc_dims;
        if (!type_text(t.element, &disc, &disc_dims) || !disc_dims.empty()) {
          return disc_dims.empty() ? false : set_error("array discriminator");
        }
        out_ << in << extensibility(t.flags);
        if (t.flags & flag::kNested) {
          out_ << " @nested";
        }
        const bool hash_ids = (t.flags & flag::kAutoidHash) != 0;
        if (hash_ids) {
          out_ << " @autoid(HASH)";
        }
        out_ << "\n"
             << in << "union " << *name << " switch ("
             << ((t.element_flags & flag::kKey) ? "@key " : "") << disc << ") {\n";
        uint32_t expected = 0;
        for (const auto& m : t.members) {
          for (int32_t value : m.labels) {
            auto text = label(g_.at(*disc_index), value);
            if (!text) {
              return false;
            }
            out_ << in1 << "case " << *text << ":\n";
          }
          if (m.flags & flag::kDefault) {
            out_ << in1 << "default:\n";
          }
          if (m.labels.empty() && !(m.flags & flag::kDefault)) {
            return set_error("union member " + m.name + " without label");
          }
          std::string text, dims;
          auto id = identifier(m.name);
          if (!id || !type_text(m.type, &text, &dims)) {
            return false;
          }
          out_ << indent(2) << id_annotation(m, &expected, hash_ids) << member_annotations(m, true)
               << text << " " << *id << dims << ";\n";
        }
        out_ << in << "};\n";
        return true;
      }
      default:
        return set_error("unexpected named type");
    }
  }

  const TypeGraph& g_;
  std::set<TypeIndex> visiting_, done_;
  std::vector<TypeIndex> order_;
  std::vector<std::string> modules_;
  std::vector<std::string> scope_;  // where the names being written are looked up
  std::map<std::string, std::set<std::string>> declared_;  // scope key -> identifiers
  std::ostringstream out_;
  std::string error_;
};

}  // namespace

std::optional<std::string> render_idl(const TypeGraph& graph, std::string* error) {
  return Renderer(graph).run(error);
}

}  // namespace rnr::types
