// IDL text read and written without DDS: every corpus type and the texts
// that idlc reads in one scope and rejects in another, read into a graph and
// written again, compile to the type information of the original; type
// descriptions that earlier recorders stored are still read.
#include <string>

#include <gtest/gtest.h>

#include "corpus_cases.h"
#include "files.h"
#include "idlc.h"
#include "types/idl_parse.h"
#include "types/type_model.h"

namespace {

using rnr::test::idlc_type_info;

std::string corpus_text(const std::string& file) {
  return rnr::test::read_file(std::string(RNR_CORPUS_DIR) + "/" + file);
}

// `idl` read and written again compiles to what `idl` compiles to (or, for
// a text with named hash ids, which the IDL reader does not keep, at least
// compiles).
void expect_same_after_rewriting(const std::string& idl, const std::string& type,
                                 bool same = true) {
  std::string message;
  const auto original = idlc_type_info(RNR_IDLC, idl, type, &message);
  ASSERT_FALSE(original.empty()) << message;
  std::string error;
  auto graph = rnr::types::type_graph_from_idl(idl, type, &error);
  ASSERT_TRUE(graph) << error;
  auto text = rnr::types::render_idl(*graph, &error);
  ASSERT_TRUE(text) << error;
  const auto rewritten = idlc_type_info(RNR_IDLC, *text, type, &message);
  EXPECT_FALSE(rewritten.empty()) << message << *text;
  if (same) {
    EXPECT_EQ(rewritten, original) << *text;
  }
}

TEST(IdlText, CorpusTypesRewrittenCompileToTheSameTypes) {
  for (const auto& c : rnr::test::kCorpus) {
    SCOPED_TRACE(c.type);
    expect_same_after_rewriting(corpus_text(c.file), c.type, !c.hashid_names);
  }
}

// Where a relative name resolves but idlc rejects it (at module level, a
// name whose first identifier is declared in that scope or is the module's
// own name), and nested template types.
TEST(IdlText, NamesAtModuleLevelAndNestedTemplatesCompile) {
  const char* const cases[][2] = {
      {"module geo { @final struct Base { long a; }; @final struct Pose : Base { long b; }; };",
       "geo::Pose"},
      {"module a { module b { @final struct C { long x; }; }; @final struct P : ::a::b::C { long "
       "y; "
       "}; typedef ::a::b::C T; @final struct Q { T t; sequence<b::C> s; P p; }; };",
       "a::Q"},
      {"module a { module b { @final struct C { long x; }; }; }; module a { @final struct P : "
       "::a::b::C { long y; }; };",
       "a::P"},
      {"module m { @final struct B { long x; }; }; typedef ::m::B T; typedef sequence<::m::B> S; "
       "@final struct R { T t; S s; };",
       "R"},
      {"module a { @final struct Base { long v; }; module b { @final struct P : a::Base { long w; "
       "}; }; };",
       "a::b::P"},
      {"typedef sequence<sequence<short> > SS; @final struct N { sequence<sequence<sequence<long, "
       "2> >, 3> deep; SS twice; sequence<SS> more; };",
       "N"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c[0]);
    expect_same_after_rewriting(c[0], c[1]);
  }
}

// Texts as earlier recorders wrote them, which idlc rejects: read as the
// same types as their mended form, literals left as they are.
TEST(IdlText, DescriptionsOfEarlierRecordersAreRead) {
  const char* const cases[][3] = {
      {"module geo {\n  @final\n  struct Base {\n    long a;\n  };\n  @final\n  struct Pose : "
       "geo::Base {\n    @unit(\"geo::m>>\") double x;\n  };\n};\n",
       "module geo { @final struct Base { long a; }; @final struct Pose : Base { "
       "@unit(\"geo::m>>\") "
       "double x; }; };",
       "geo::Pose"},
      {"module q {\n  @final\n  struct S {\n    sequence<sequence<short>> inner; // a>>b\n  "
       "};\n};\n",
       "module q { @final struct S { sequence<sequence<short> > inner; }; };", "q::S"},
      {"module a {\n  module b {\n    @final\n    struct C {\n      long x;\n    };\n  };\n  "
       "typedef a::b::C T;\n  @final\n  struct U {\n    sequence<a::b::C> list;\n    T t;\n  "
       "};\n};\n",
       "module a { module b { @final struct C { long x; }; }; typedef ::a::b::C T; @final struct U "
       "{ "
       "sequence<b::C> list; T t; }; };",
       "a::U"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c[0]);
    std::string error;
    auto old_graph = rnr::types::type_graph_from_idl(c[0], c[2], &error);
    ASSERT_TRUE(old_graph) << error;
    auto graph = rnr::types::type_graph_from_idl(c[1], c[2], &error);
    ASSERT_TRUE(graph) << error;
    EXPECT_EQ(rnr::types::render_idl(*old_graph, &error), rnr::types::render_idl(*graph, &error));
  }
}

// Annotations the IDL library does not know, and names it takes for one,
// are read past instead of ending the process.
TEST(IdlText, UnknownAnnotationsAreReadPast) {
  std::string error;
  EXPECT_TRUE(rnr::types::type_graph_from_idl("@final struct S { @foo long x; };", "S", &error))
      << error;
  auto key = rnr::types::type_graph_from_idl(
      "module m { @mutable struct Key { @key long k; long v; }; };", "m::Key", &error);
  ASSERT_TRUE(key) << error;
  EXPECT_EQ(key->at(key->root).members.size(), 2u);
}

}  // namespace
