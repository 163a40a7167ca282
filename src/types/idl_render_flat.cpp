// IDL text for viewers. Their IDL readers know no struct inheritance, so
// each struct is written with the members of its base chain first, as the
// serialized form has them: a final or appendable struct serializes its
// base's members before its own in one body, a mutable one lists them all
// in one parameter list under their own member ids, which the text then
// writes out (the reader checks each member header's id against them).
#include "types/idl_render_internal.h"
#include "types/type_model.h"

namespace rnr::types {
namespace {

// The members of `t`'s base chain, outermost base first, then its own;
// nullopt when a base is no struct or the chain does not end.
std::optional<std::vector<Member>> flattened_members(const TypeGraph& graph, const Type& t) {
  std::vector<const Type*> chain = {&t};
  for (const Type* level = &t; level->base;) {
    auto base = resolve_alias(graph, *level->base);
    if (!base || graph.at(*base).kind != Kind::Struct || chain.size() > graph.types.size()) {
      return std::nullopt;
    }
    level = &graph.at(*base);
    chain.push_back(level);
  }
  std::vector<Member> members;
  for (auto level = chain.rbegin(); level != chain.rend(); ++level) {
    members.insert(members.end(), (*level)->members.begin(), (*level)->members.end());
  }
  return members;
}

}  // namespace

std::optional<std::string> render_idl_for_viewers(const TypeGraph& graph, std::string* error) {
  TypeGraph flat = graph;
  for (auto& t : flat.types) {
    if (t.kind != Kind::Struct || !t.base) {
      continue;
    }
    auto members = flattened_members(graph, t);
    if (!members) {
      if (error != nullptr) {
        *error = "struct " + t.name + " has a base that is no struct";
      }
      return std::nullopt;
    }
    t.members = std::move(*members);
    t.base.reset();
  }
  return idl_render::Renderer(flat, idl_render::Audience::Viewers).run(error);
}

}  // namespace rnr::types
