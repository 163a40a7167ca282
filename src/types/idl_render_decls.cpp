// The IDL renderer's declarations: typedefs, enums, bitmasks, structs and
// unions, with their members and the annotations that the type objects
// record.
#include <algorithm>
#include <cstdio>

#include "types/idl_render_internal.h"
#include "types/type_model.h"

namespace rnr::types::idl_render {

namespace {

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

// The unsigned integer that serializes a bitmask of `t.bit_bound` flags.
const char* bitmask_carrier(const Type& t) {
  return t.bit_bound <= 8    ? "uint8"
         : t.bit_bound <= 16 ? "unsigned short"
         : t.bit_bound <= 32 ? "unsigned long"
                             : "unsigned long long";
}

}  // namespace

// The annotations before "struct" or "union": extensibility, @nested and
// @autoid(HASH).
std::string Renderer::type_annotations(const Type& t) {
  std::string a = "@final";
  if (t.flags & flag::kMutable) {
    a = "@mutable";
  } else if (t.flags & flag::kAppendable) {
    a = "@appendable";
  }
  if (t.flags & flag::kNested) {
    a += " @nested";
  }
  if (t.flags & flag::kAutoidHash) {
    a += " @autoid(HASH)";
  }
  return a;
}

std::string Renderer::member_annotations(const Member& m, bool in_union) {
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

// Every member id of a type with hashed ids, and, for viewers, of a mutable
// type: they read the ids in the member headers against the text's.
bool Renderer::ids_written_out(const Type& t) const {
  return (t.flags & flag::kAutoidHash) != 0 ||
         (audience_ == Audience::Viewers && (t.flags & flag::kMutable) != 0);
}

// Member ids: written where they differ from what the compiler would
// assign (the previous id plus one, from 0, across the base types).
std::string Renderer::id_annotation(const Member& m, uint32_t* expected, bool all_ids) {
  std::string a;
  if (m.hash_id && audience_ == Audience::Compiler) {
    a = m.hash_id->empty() ? "@hashid " : "@hashid(" + quote(*m.hash_id) + ") ";
  } else if (all_ids || m.id != *expected) {
    a = wrap("@id(", std::to_string(m.id), ") ");
  }
  *expected = (m.id + 1) & 0x0fffffffu;
  return a;
}

// The id that follows the last member of a struct's base chain.
std::optional<uint32_t> Renderer::next_id_after_bases(const Type& t) {
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

std::optional<std::string> Renderer::label(const Type& disc, int32_t value) {
  switch (disc.kind) {
    case Kind::Boolean:
      return std::string(value != 0 ? "TRUE" : "FALSE");
    case Kind::Char8: {
      auto c = static_cast<unsigned char>(value);
      if (c >= 0x20 && c < 0x7f && c != '\'' && c != '\\') {
        const char quoted[] = {'\'', static_cast<char>(c), '\''};
        return std::string(quoted, sizeof quoted);
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
bool Renderer::emit_literals(const Type& t, const std::string& name, const char* keyword,
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

bool Renderer::emit(TypeIndex index) {
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
  // Names in a typedef and a struct's base are looked up from the module,
  // names in a struct or union (members, discriminator, labels) from the
  // type's own scope.
  std::vector<std::string> module_scope = parts;
  module_scope.pop_back();
  names_.look_up_from(std::move(module_scope), true);
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
      if (audience_ == Audience::Viewers) {
        out_ << in << "typedef " << bitmask_carrier(t) << " " << *name << ";\n";
        return true;
      }
      return emit_literals(t, *name, "bitmask", "@position");
    case Kind::Struct: {
      const bool all_ids = ids_written_out(t);
      out_ << in << type_annotations(t);
      out_ << "\n" << in << "struct " << *name;
      if (t.base) {
        std::string base, dims;
        if (!type_text(*t.base, &base, &dims) || !dims.empty()) {
          return dims.empty() ? false : set_error("struct based on an array");
        }
        out_ << " : " << base;
      }
      names_.look_up_from(parts, false);
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
        out_ << in1 << id_annotation(m, &*expected, all_ids) << member_annotations(m, false) << text
             << " " << *id << dims << ";\n";
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
      // idlc records an int8 discriminator as a char one, with its labels
      // signed: only "int8" compiles back to negative labels.
      const bool int8_labels =
          g_.at(t.element).kind == Kind::Char8 &&
          std::any_of(t.members.begin(), t.members.end(), [](const Member& m) {
            return std::any_of(m.labels.begin(), m.labels.end(), [](int32_t v) { return v < 0; });
          });
      if (int8_labels) {
        disc = "int8";
      }
      const bool all_ids = ids_written_out(t);
      names_.look_up_from(parts, false);
      out_ << in << type_annotations(t);
      out_ << "\n"
           << in << "union " << *name << " switch ("
           << ((t.element_flags & flag::kKey) ? "@key " : "") << disc << ") {\n";
      uint32_t expected = 0;
      for (const auto& m : t.members) {
        for (int32_t value : m.labels) {
          auto text = int8_labels ? std::optional<std::string>(std::to_string(value))
                                  : label(g_.at(*disc_index), value);
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
        out_ << indent(2) << id_annotation(m, &expected, all_ids) << member_annotations(m, true)
             << text << " " << *id << dims << ";\n";
      }
      out_ << in << "};\n";
      return true;
    }
    default:
      return set_error("unexpected named type");
  }
}

}  // namespace rnr::types::idl_render
