// Writes a type graph as IDL 4 text that recompiles to the same type objects:
// every annotation that the type objects record is written back, defaults
// (member ids in sequence, enumerator values, flag positions) are left out.
// This file orders the named types (dependencies first), writes the text
// that refers to a type, and opens and closes modules; the declarations
// themselves are written by idl_render_decls.cpp, names by
// idl_render_names.cpp.
#include <array>

#include "types/idl_render_internal.h"
#include "types/type_model.h"

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

namespace idl_render {

namespace {

// Deeper nesting than any real type has; reached only by a damaged graph.
constexpr int kMaxAnonymousDepth = 64;

// The ">" that closes a template type: after another one it is written
// apart, since IDL reads ">>" as the shift operator.
const char* closing(const std::string& text) {
  return !text.empty() && text.back() == '>' ? " >" : ">";
}

}  // namespace

std::optional<std::string> Renderer::run(std::string* error) {
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

std::optional<std::string> Renderer::fail(std::string* error, const std::string& text) {
  if (error != nullptr) {
    *error = text;
  }
  return std::nullopt;
}

bool Renderer::set_error(std::string text) {
  error_ = std::move(text);
  return false;
}

// Depth-first, dependencies first: every named type after all it uses.
// Named types are entered once; the depth bounds the anonymous ones
// (sequences, arrays, maps), which a damaged graph may make circular.
bool Renderer::order(TypeIndex index, int depth) {
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

std::optional<std::string> Renderer::identifier(const std::string& word) {
  return idl_render::identifier(word, &error_, audience_ == Audience::Viewers);
}

std::optional<std::string> Renderer::scoped(const std::string& name) {
  return names_.scoped(name, &error_);
}

// The text that names a type, and the array dimensions that go on the
// declarator.
bool Renderer::type_text(TypeIndex index, std::string* text, std::string* dims, int depth) {
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
      *text += closing(*text);
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
      *text += closing(*text);
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
void Renderer::enter_modules(const std::vector<std::string>& path) {
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

std::string Renderer::indent(int extra) const {
  return std::string(2 * (modules_.size() + static_cast<size_t>(extra)), ' ');
}

}  // namespace idl_render

std::optional<std::string> render_idl(const TypeGraph& graph, std::string* error) {
  return idl_render::Renderer(graph).run(error);
}

}  // namespace rnr::types
