// Type graphs built by hand, for decoder cases no Cyclone writer produces
// (big-endian streams, XCDR1 parameter lists, other vendors' choices).
#pragma once

#include "types/type_model.h"

namespace rnr::test {

using rnr::types::Kind;
using rnr::types::Member;
using rnr::types::Type;
using rnr::types::TypeGraph;
using rnr::types::TypeIndex;

class GraphMaker {
 public:
  TypeIndex add(Type t) {
    graph.types.push_back(std::move(t));
    return static_cast<TypeIndex>(graph.types.size() - 1);
  }
  TypeIndex prim(Kind k) {
    Type t;
    t.kind = k;
    return add(t);
  }
  TypeIndex string(uint32_t bound = 0) {
    Type t;
    t.kind = Kind::String8;
    t.bounds = {bound};
    return add(t);
  }
  TypeIndex sequence(TypeIndex element, uint32_t bound = 0) {
    Type t;
    t.kind = Kind::Sequence;
    t.element = element;
    t.bounds = {bound};
    return add(t);
  }
  static Member member(const char* name, uint32_t id, TypeIndex type, uint16_t flags = 0) {
    Member m;
    m.name = name;
    m.id = id;
    m.type = type;
    m.flags = flags;
    return m;
  }
  TypeIndex structure(const char* name, uint16_t flags, std::vector<Member> members) {
    Type t;
    t.kind = Kind::Struct;
    t.name = name;
    t.flags = flags;
    t.members = std::move(members);
    return add(t);
  }
  TypeGraph finish(TypeIndex root) {
    graph.root = root;
    graph.type_name = graph.types[root].name;
    return graph;
  }
  TypeGraph graph;
};

// struct { long a; double b; string s; sequence<short> q; wstring w;
//          map<string, long> m; } with the given extensibility.
inline TypeGraph mixed_struct(uint16_t extensibility) {
  GraphMaker g;
  TypeIndex l = g.prim(Kind::Int32);
  TypeIndex d = g.prim(Kind::Float64);
  TypeIndex s = g.string();
  TypeIndex q = g.sequence(g.prim(Kind::Int16));
  Type w;
  w.kind = Kind::String16;
  w.bounds = {0};
  TypeIndex wi = g.add(w);
  Type m;
  m.kind = Kind::Map;
  m.key = s;
  m.element = l;
  m.bounds = {0};
  TypeIndex mi = g.add(m);
  TypeIndex root = g.structure("m::Mixed", extensibility,
                               {GraphMaker::member("a", 0, l), GraphMaker::member("b", 1, d),
                                GraphMaker::member("s", 2, s), GraphMaker::member("q", 3, q),
                                GraphMaker::member("w", 4, wi), GraphMaker::member("m", 5, mi)});
  return g.finish(root);
}

}  // namespace rnr::test
