// libFuzzer target for the sample decoder: every input is decoded with a
// struct that uses most kinds, in whatever encapsulation its header names.
//   CXX=clang++ cmake -S . -B build-fuzz && cmake --build build-fuzz --target rnr_types_fuzz
//   build-fuzz/tests/types/rnr_types_fuzz -max_total_time=60
#include <cstddef>
#include <cstdint>
#include <string>

#include "sample_graphs.h"

namespace {

rnr::types::TypeGraph make_graph() {
  using namespace rnr::types;
  using rnr::test::GraphMaker;
  GraphMaker g;
  TypeIndex l = g.prim(Kind::Int32);
  TypeIndex d = g.prim(Kind::Float64);
  TypeIndex s = g.string(16);
  TypeIndex q = g.sequence(g.prim(Kind::Int16), 8);
  Type en;
  en.kind = Kind::Enum;
  en.name = "E";
  en.bit_bound = 16;
  en.members = {GraphMaker::member("A", 0, 0), GraphMaker::member("B", 0, 0)};
  en.members[1].value = 5;
  TypeIndex e = g.add(en);
  Type bm;
  bm.kind = Kind::Bitmask;
  bm.name = "BM";
  bm.bit_bound = 40;
  bm.members = {GraphMaker::member("X", 0, 0)};
  bm.members[0].value = 39;
  TypeIndex b = g.add(bm);
  TypeIndex inner =
      g.structure("Inner", flag::kAppendable,
                  {GraphMaker::member("o", 0, s, flag::kOptional), GraphMaker::member("q", 1, q)});
  Type un;
  un.kind = Kind::Union;
  un.name = "U";
  un.flags = flag::kAppendable;
  un.element = e;
  un.members = {GraphMaker::member("x", 0, d), GraphMaker::member("y", 1, inner, flag::kDefault)};
  un.members[0].labels = {5};
  TypeIndex u = g.add(un);
  Type arr;
  arr.kind = Kind::Array;
  arr.element = g.sequence(inner);
  arr.bounds = {2, 2};
  TypeIndex a = g.add(arr);
  TypeIndex root = g.structure(
      "Root", flag::kMutable,
      {GraphMaker::member("l", 0, l), GraphMaker::member("u", 1, u), GraphMaker::member("a", 2, a),
       GraphMaker::member("b", 3, b), GraphMaker::member("o", 9, inner, flag::kOptional)});
  return g.finish(root);
}

const rnr::types::TypeGraph graph = make_graph();

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string error;
  rnr::types::decode_to_json(graph, data, size, &error);
  return 0;
}
