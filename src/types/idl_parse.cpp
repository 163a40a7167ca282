// Reads IDL text with Cyclone's IDL library (the parser idlc uses) and walks
// the declaration tree it builds into a type graph: named types once each, in
// the order they are first referenced, anonymous ones (strings, sequences,
// arrays) where they are used.
#include "types/idl_parse.h"

#include <map>
#include <memory>

#include "types/idl_tree.h"
#include "types/idl_legacy.h"

namespace rnr::types {
namespace {

// Bounds on a type description, far above what real types need, so that no
// text makes the reader use more than a little stack or more than a moment:
// nesting (of scopes, brackets and named types within one another), the
// number of declarations (Cyclone's parser takes time quadratic in it) and
// the size of the text.
constexpr int kMaxDepth = 256;
constexpr size_t kMaxDeclarations = 10000;
constexpr size_t kMaxTextBytes = 1u << 20;
constexpr const char* kTooLarge = "type description too large or too deep";

// Whether `idl` stays within the bounds, looked at before the parser sees
// it: the depth of braces, parentheses and angle brackets ("<<", a shift,
// is no bracket) and the count of ';' and ',' (each declaration, member,
// enumerator or case ends with one), outside comments and literals.
bool within_bounds(const std::string& idl) {
  if (idl.size() > kMaxTextBytes) {
    return false;
  }
  int depth = 0;
  size_t declarations = 0;
  for (size_t i = 0; i < idl.size(); ++i) {
    const char c = idl[i];
    const char next = i + 1 < idl.size() ? idl[i + 1] : '\0';
    if (c == '/' && next == '/') {
      i = idl.find('\n', i);
      if (i == std::string::npos) {
        break;
      }
    } else if (c == '/' && next == '*') {
      i = idl.find("*/", i + 2);
      if (i == std::string::npos) {
        break;
      }
      ++i;
    } else if (c == '"' || c == '\'') {
      for (++i; i < idl.size() && idl[i] != c; ++i) {
        i += idl[i] == '\\' ? 1 : 0;
      }
    } else if (c == '<' && next == '<') {
      ++i;
    } else if (c == '{' || c == '(' || c == '<') {
      if (++depth > kMaxDepth) {
        return false;
      }
    } else if (c == '}' || c == ')' || c == '>') {
      depth = depth > 0 ? depth - 1 : 0;
    } else if ((c == ';' || c == ',') && ++declarations > kMaxDeclarations) {
      return false;
    }
  }
  return true;
}

rnr_idl_node describe(const void* node) {
  rnr_idl_node info;
  rnr_idl_describe(node, &info);
  return info;
}

std::string name_of(const rnr_idl_node& info) {
  return info.name == nullptr ? std::string() : std::string(info.name);
}

// "A::B::T": the enclosing modules, outermost first, then the node's name.
std::string scoped_name(const rnr_idl_node& info) {
  std::string name = name_of(info);
  for (const void* scope = info.parent; scope != nullptr;) {
    const rnr_idl_node outer = describe(scope);
    if (outer.kind == RNR_IDL_MODULE) {
      name = name_of(outer) + "::" + name;
    }
    scope = outer.parent;
  }
  return name;
}

uint16_t type_flags(const rnr_idl_node& info) {
  uint16_t flags = info.extensibility == RNR_IDL_MUTABLE      ? flag::kMutable
                   : info.extensibility == RNR_IDL_APPENDABLE ? flag::kAppendable
                                                              : flag::kFinal;
  flags |= info.nested ? flag::kNested : 0;
  flags |= info.autoid_hash ? flag::kAutoidHash : 0;
  return flags;
}

class Builder {
 public:
  std::optional<TypeGraph> run(const void* root, const std::string& type_name, std::string* error) {
    const void* top = find(root, type_name);
    if (top == nullptr) {
      *error = "the type description declares no struct or union " + type_name;
      return std::nullopt;
    }
    auto index = type_of(top, 0);
    if (!index) {
      *error = error_;
      return std::nullopt;
    }
    graph_.root = *index;
    graph_.type_name = type_name;
    return std::move(graph_);
  }

 private:
  const void* find(const void* node, const std::string& type_name) {
    for (; node != nullptr;) {
      const rnr_idl_node info = describe(node);
      if (info.kind == RNR_IDL_MODULE) {
        if (const void* found = find(info.children, type_name)) {
          return found;
        }
      } else if ((info.kind == RNR_IDL_STRUCT || info.kind == RNR_IDL_UNION) &&
                 scoped_name(info) == type_name) {
        return node;
      }
      node = info.next;
    }
    return nullptr;
  }

  std::optional<TypeIndex> fail(std::string text) {
    if (error_.empty()) {
      error_ = std::move(text);
    }
    return std::nullopt;
  }

  TypeIndex add(Type type) {
    graph_.types.push_back(std::move(type));
    return static_cast<TypeIndex>(graph_.types.size() - 1);
  }

  TypeIndex primitive(Kind kind) {
    Type t;
    t.kind = kind;
    return add(std::move(t));
  }

  // `element` wrapped in the array dimensions of a declarator, if any.
  TypeIndex with_dimensions(TypeIndex element, const void* declarator) {
    const rnr_idl_node d = describe(declarator);
    if (d.dims == nullptr) {
      return element;
    }
    Type t;
    t.kind = Kind::Array;
    t.element = element;
    for (const void* dim = d.dims; dim != nullptr;) {
      const rnr_idl_node literal = describe(dim);
      t.bounds.push_back(literal.bound);
      dim = literal.next;
    }
    return add(std::move(t));
  }

  std::optional<TypeIndex> base_type(rnr_idl_base base) {
    static const Kind kinds[] = {Kind::Boolean, Kind::Byte,    Kind::Char8,   Kind::Char16,
                                 Kind::Int8,    Kind::UInt8,   Kind::Int16,   Kind::UInt16,
                                 Kind::Int32,   Kind::UInt32,  Kind::Int64,   Kind::UInt64,
                                 Kind::Float32, Kind::Float64, Kind::Float128};
    if (base >= RNR_IDL_UNSUPPORTED) {
      return fail("unsupported base type");
    }
    return primitive(kinds[base]);
  }

  std::optional<TypeIndex> type_of(const void* type, int depth) {
    if (depth > kMaxDepth) {
      return fail(kTooLarge);
    }
    rnr_idl_node info = describe(type);
    for (int hops = 0; info.kind == RNR_IDL_FORWARD && hops < kMaxDepth; ++hops) {
      type = info.type_spec;
      info = describe(type);
    }
    if (type == nullptr) {
      return fail("reference to a type that is never defined");
    }
    if (auto known = named_.find(type); known != named_.end()) {
      return known->second;
    }
    switch (info.kind) {
      case RNR_IDL_BASE:
        return base_type(info.base);
      case RNR_IDL_STRING:
      case RNR_IDL_WSTRING: {
        Type t;
        t.kind = info.kind == RNR_IDL_STRING ? Kind::String8 : Kind::String16;
        t.bounds = {info.bound};
        return add(std::move(t));
      }
      case RNR_IDL_SEQUENCE: {
        auto element = type_of(info.type_spec, depth + 1);
        if (!element) {
          return std::nullopt;
        }
        Type t;
        t.kind = Kind::Sequence;
        t.element = *element;
        t.bounds = {info.bound};
        return add(std::move(t));
      }
      case RNR_IDL_ALIAS:
        return alias(type, info, depth);
      case RNR_IDL_STRUCT:
        return structure(type, info, depth);
      case RNR_IDL_UNION:
        return union_type(type, info, depth);
      case RNR_IDL_ENUM:
      case RNR_IDL_BITMASK:
        return literals(type, info);
      default:
        return fail("unsupported type " + name_of(info));
    }
  }

  // A named type enters the graph before its parts, so that a type that
  // refers to itself (through a sequence) finds its own index.
  TypeIndex declare(const void* node, const rnr_idl_node& info, Kind kind) {
    Type t;
    t.kind = kind;
    t.name = scoped_name(info);
    t.flags = kind == Kind::Alias ? 0 : type_flags(info);
    t.bit_bound = info.bit_bound;
    const TypeIndex index = add(std::move(t));
    named_[node] = index;
    return index;
  }

  // The named types below carry the depth on to their parts, so that a chain
  // of types each holding the next is as deep as it nests.
  std::optional<TypeIndex> alias(const void* node, const rnr_idl_node& info, int depth) {
    const TypeIndex index = declare(node, info, Kind::Alias);
    auto target = type_of(info.type_spec, depth + 1);
    if (!target) {
      return std::nullopt;
    }
    graph_.types[index].element = with_dimensions(*target, node);
    return index;
  }

  std::optional<TypeIndex> structure(const void* node, const rnr_idl_node& info, int depth) {
    const TypeIndex index = declare(node, info, Kind::Struct);
    if (info.type_spec != nullptr) {
      auto base = type_of(info.type_spec, depth + 1);
      if (!base) {
        return std::nullopt;
      }
      graph_.types[index].base = *base;
    }
    std::vector<Member> members;
    for (const void* m = info.children; m != nullptr;) {
      const rnr_idl_node member = describe(m);
      auto type = type_of(member.type_spec, depth + 1);
      if (!type) {
        return std::nullopt;
      }
      uint16_t flags = static_cast<uint16_t>(member.try_construct);
      flags |= member.key ? flag::kKey | flag::kMustUnderstand : 0;
      flags |= member.optional ? flag::kOptional : 0;
      flags |= member.external ? flag::kExternal : 0;
      flags |= member.must_understand ? flag::kMustUnderstand : 0;
      for (const void* d = member.children; d != nullptr;) {
        const rnr_idl_node declarator = describe(d);
        Member out;
        out.name = name_of(declarator);
        out.id = declarator.id;
        out.flags = flags;
        out.type = with_dimensions(*type, d);
        if (member.unit != nullptr) {
          out.unit = member.unit;
        }
        members.push_back(std::move(out));
        d = declarator.next;
      }
      m = member.next;
    }
    graph_.types[index].members = std::move(members);
    return index;
  }

  std::optional<TypeIndex> union_type(const void* node, const rnr_idl_node& info, int depth) {
    const TypeIndex index = declare(node, info, Kind::Union);
    auto discriminator = type_of(info.type_spec, depth + 1);
    if (!discriminator) {
      return std::nullopt;
    }
    graph_.types[index].element = *discriminator;
    graph_.types[index].element_flags = info.key ? flag::kKey | flag::kMustUnderstand : 0;
    std::vector<Member> members;
    for (const void* c = info.children; c != nullptr;) {
      const rnr_idl_node branch = describe(c);
      auto type = type_of(branch.type_spec, depth + 1);
      if (!type) {
        return std::nullopt;
      }
      const rnr_idl_node declarator = describe(branch.declarator);
      Member out;
      out.name = name_of(declarator);
      out.id = declarator.id;
      out.flags = static_cast<uint16_t>(branch.try_construct);
      out.flags |= branch.external ? flag::kExternal : 0;
      out.type = with_dimensions(*type, branch.declarator);
      for (const void* l = branch.labels; l != nullptr;) {
        const rnr_idl_node label = describe(l);
        if (label.is_default) {
          out.flags |= flag::kDefault;
        } else {
          out.labels.push_back(static_cast<int32_t>(label.label));
        }
        l = label.next;
      }
      members.push_back(std::move(out));
      c = branch.next;
    }
    graph_.types[index].members = std::move(members);
    return index;
  }

  // An enum's enumerators with their values, a bitmask's flags with their
  // positions.
  std::optional<TypeIndex> literals(const void* node, const rnr_idl_node& info) {
    const TypeIndex index =
        declare(node, info, info.kind == RNR_IDL_ENUM ? Kind::Enum : Kind::Bitmask);
    for (const void* e = info.children; e != nullptr;) {
      const rnr_idl_node literal = describe(e);
      Member out;
      out.name = name_of(literal);
      out.value = literal.value;
      graph_.types[index].members.push_back(std::move(out));
      e = literal.next;
    }
    return index;
  }

  TypeGraph graph_;
  std::map<const void*, TypeIndex> named_;
  std::string error_;
};

struct TreeDeleter {
  void operator()(void* tree) const { rnr_idl_free(tree); }
};

// The library (0.10.2) reads the file name of a text's location when it
// meets an annotation it does not know (or a type whose name it mistakes for
// one, such as a struct "Key" with @key members) and crashes on a text that
// has none: the line directive gives it one.
void* parse(const std::string& idl, const void** root) {
  const std::string text = "#line 1 \"type description\"\n" + idl;
  return rnr_idl_parse(text.c_str(), root);
}

}  // namespace

std::optional<TypeGraph> type_graph_from_idl(const std::string& idl, const std::string& type_name,
                                             std::string* error) {
  std::string ignored;
  if (error == nullptr) {
    error = &ignored;
  }
  if (!within_bounds(idl)) {
    *error = kTooLarge;
    return std::nullopt;
  }
  const void* root = nullptr;
  std::unique_ptr<void, TreeDeleter> tree(parse(idl, &root));
  if (tree == nullptr) {
    if (auto mended = mend_legacy_idl(idl)) {
      tree.reset(parse(*mended, &root));
    }
  }
  if (tree == nullptr) {
    *error = "the type description does not parse as IDL";
    return std::nullopt;
  }
  const std::string wanted = type_name.rfind("::", 0) == 0 ? type_name.substr(2) : type_name;
  return Builder().run(root, wanted, error);
}

bool idl_parses(const std::string& idl, std::string* error) {
  if (!within_bounds(idl)) {
    *error = kTooLarge;
    return false;
  }
  const void* root = nullptr;
  std::unique_ptr<void, TreeDeleter> tree(parse(idl, &root));
  if (tree == nullptr) {
    *error = "the type description does not parse as IDL";
    return false;
  }
  return true;
}

}  // namespace rnr::types
