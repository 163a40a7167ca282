// Decoder cases built byte by byte: encodings and byte orders that the local
// Cyclone writers do not produce, and bytes that do not fit the type.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sample_graphs.h"
#include "types/idl_parse.h"
#include "types/instance_key.h"
#include "middleware/types/dynamic_type_support.h"

namespace {

using rnr::types::decode_to_json;
using rnr::types::TypeGraph;
using rnr::types::TypeIndex;
namespace flag = rnr::types::flag;

// Appends values in one byte order, aligning like a CDR stream whose origin
// is after the 4-byte encapsulation header.
class Bytes {
 public:
  Bytes(uint16_t encapsulation, bool big, int max_align) : big_(big), max_align_(max_align) {
    out.push_back(static_cast<uint8_t>(encapsulation >> 8));
    out.push_back(static_cast<uint8_t>(encapsulation));
    out.push_back(0);
    out.push_back(0);
  }
  Bytes& align(size_t n) {
    n = std::min<size_t>(n, static_cast<size_t>(max_align_));
    while ((out.size() - 4) % n != 0) {
      out.push_back(0);
    }
    return *this;
  }
  template <typename T>
  Bytes& put(T v) {
    align(sizeof v);
    uint8_t b[sizeof v];
    memcpy(b, &v, sizeof v);
    for (size_t i = 0; i < sizeof v; ++i) {
      out.push_back(big_ ? b[sizeof v - 1 - i] : b[i]);
    }
    return *this;
  }
  Bytes& str(const std::string& s) {
    put<uint32_t>(static_cast<uint32_t>(s.size() + 1));
    out.insert(out.end(), s.begin(), s.end());
    out.push_back(0);
    return *this;
  }
  // Overwrites a 32-bit word written earlier (a length known only later).
  void patch(size_t at, uint32_t v) {
    for (size_t i = 0; i < 4; ++i) {
      out[at + i] = static_cast<uint8_t>(big_ ? v >> (8 * (3 - i)) : v >> (8 * i));
    }
  }
  std::vector<uint8_t> out;

 private:
  bool big_;
  int max_align_;
};

std::string decode(const TypeGraph& g, const std::vector<uint8_t>& b) {
  std::string error;
  auto json = decode_to_json(g, b.data(), b.size(), &error);
  return json ? *json : "error: " + error;
}

// The members of mixed_struct: 7, -0.5, "h\xffi", [1, -2], "é😀", {"k": 3}.
void put_mixed_members(Bytes& b, bool xcdr2) {
  b.put<int32_t>(7).put<double>(-0.5).str("h\xffi");
  b.put<uint32_t>(2).put<int16_t>(1).put<int16_t>(-2);
  // wide string: "é" and U+1F600 as a surrogate pair
  const uint16_t units[] = {0x00e9, 0xd83d, 0xde00};
  b.put<uint32_t>(xcdr2 ? 6 : 3);
  for (uint16_t u : units) {
    b.put<uint16_t>(u);
  }
  size_t dheader = 0;
  if (xcdr2) {
    b.align(4);
    dheader = b.out.size();
    b.put<uint32_t>(0);
  }
  b.put<uint32_t>(1).str("k").put<int32_t>(3);
  if (xcdr2) {
    b.patch(dheader, static_cast<uint32_t>(b.out.size() - dheader - 4));
  }
}

const char* const kMixedJson =
    "{\"a\": 7, \"b\": -0.5, \"s\": \"h\\u00ffi\", \"q\": [1, -2], "
    "\"w\": \"\xc3\xa9\xf0\x9f\x98\x80\", \"m\": {\"k\": 3}}";

TEST(Decoder, FinalStructInEveryEncodingAndByteOrder) {
  TypeGraph g = rnr::test::mixed_struct(flag::kFinal);
  for (bool big : {false, true}) {
    SCOPED_TRACE(big ? "big endian" : "little endian");
    Bytes x1(big ? 0x0000 : 0x0001, big, 8);
    put_mixed_members(x1, false);
    EXPECT_EQ(decode(g, x1.out), kMixedJson);
    Bytes x2(big ? 0x0006 : 0x0007, big, 4);
    put_mixed_members(x2, true);
    EXPECT_EQ(decode(g, x2.out), kMixedJson);
  }
}

TEST(Decoder, MutableStructAsParameterListAndWithMemberHeaders) {
  TypeGraph g = rnr::test::mixed_struct(flag::kMutable);
  // XCDR1 parameter list, big endian, members out of order, an unknown one
  // skipped, one in an extended parameter header; alignment restarts in each.
  Bytes p(0x0002, true, 8);
  auto param = [&](uint16_t pid, auto fill) {
    p.align(4);
    size_t at = p.out.size();
    p.put<uint16_t>(pid).put<uint16_t>(0);
    size_t start = p.out.size();
    Bytes inner(0x0002, true, 8);
    fill(inner);
    p.out.insert(p.out.end(), inner.out.begin() + 4, inner.out.end());
    while ((p.out.size() - start) % 4 != 0) {
      p.out.push_back(0);
    }
    uint16_t len = static_cast<uint16_t>(p.out.size() - start);
    p.out[at + 2] = static_cast<uint8_t>(len >> 8);
    p.out[at + 3] = static_cast<uint8_t>(len);
  };
  param(1, [](Bytes& b) { b.put<double>(-0.5); });
  param(0, [](Bytes& b) { b.put<int32_t>(7); });
  param(42, [](Bytes& b) { b.put<int64_t>(1); });
  param(2, [](Bytes& b) { b.str("h\xffi"); });
  param(3, [](Bytes& b) { b.put<uint32_t>(2).put<int16_t>(1).put<int16_t>(-2); });
  param(4, [](Bytes& b) {
    b.put<uint32_t>(3).put<uint16_t>(0x00e9).put<uint16_t>(0xd83d).put<uint16_t>(0xde00);
  });
  // extended header: pid 0x3f01, length 8, then member id and length
  p.align(4);
  Bytes map_value(0x0002, true, 8);
  map_value.put<uint32_t>(1).str("k").put<int32_t>(3);
  p.put<uint16_t>(0x3f01).put<uint16_t>(8).put<uint32_t>(5).put<uint32_t>(
      static_cast<uint32_t>(map_value.out.size() - 4));
  p.out.insert(p.out.end(), map_value.out.begin() + 4, map_value.out.end());
  p.align(4);
  p.put<uint16_t>(0x3f02).put<uint16_t>(0);
  EXPECT_EQ(decode(g, p.out), kMixedJson);

  // XCDR2: DHEADER, then member headers with several length codes.
  Bytes m(0x000b, false, 4);
  m.put<uint32_t>(0);
  m.put<uint32_t>(0x20000000u | 0).put<int32_t>(7);                 // LC 2: 4 bytes
  m.put<uint32_t>(0x30000000u | 1).put<double>(-0.5);               // LC 3: 8 bytes
  m.put<uint32_t>(0x40000000u | 2).put<uint32_t>(8).str("h\xffi");  // LC 4: NEXTINT
  m.put<uint32_t>(0x40000000u | 3)
      .put<uint32_t>(8)
      .put<uint32_t>(2)
      .put<int16_t>(1)
      .put<int16_t>(-2);
  m.put<uint32_t>(0x40000000u | 4).put<uint32_t>(10).put<uint32_t>(6);
  m.put<uint16_t>(0x00e9).put<uint16_t>(0xd83d).put<uint16_t>(0xde00);
  m.align(4);
  m.put<uint32_t>(0x50000000u | 5);  // LC 5: NEXTINT is the map's DHEADER
  size_t dh = m.out.size();
  m.put<uint32_t>(0).put<uint32_t>(1).str("k").put<int32_t>(3);
  m.patch(dh, static_cast<uint32_t>(m.out.size() - dh - 4));
  m.patch(4, static_cast<uint32_t>(m.out.size() - 8));
  EXPECT_EQ(decode(g, m.out), kMixedJson);
}

TEST(Decoder, BytesThatDoNotFitAreRefused) {
  TypeGraph g = rnr::test::mixed_struct(flag::kFinal);
  Bytes ok(0x0007, false, 4);
  put_mixed_members(ok, true);
  ASSERT_EQ(decode(g, ok.out), kMixedJson);
  auto refused = [&](std::vector<uint8_t> b, const char* what) {
    std::string error;
    EXPECT_FALSE(decode_to_json(g, b.data(), b.size(), &error)) << what;
    EXPECT_FALSE(error.empty()) << what;
  };
  for (size_t n = 0; n < ok.out.size(); ++n) {
    refused(std::vector<uint8_t>(ok.out.begin(), ok.out.begin() + static_cast<long>(n)), "cut");
  }
  auto with = [&](size_t at, std::vector<uint8_t> bytes) {
    std::vector<uint8_t> b = ok.out;
    std::copy(bytes.begin(), bytes.end(), b.begin() + static_cast<long>(at));
    return b;
  };
  // string length (at byte 16) past the end, terminator (byte 23) missing,
  // sequence count (at byte 24) past the end, unknown encapsulation.
  refused(with(16, {0xff, 0xff, 0xff, 0x0f}), "string length");
  refused(with(23, {'x'}), "terminator");
  refused(with(24, {0x00, 0x00, 0x00, 0x40}), "sequence count");
  refused(with(0, {0x00, 0x42}), "encapsulation");

  // A boolean that is neither 0 nor 1, a bound that is exceeded.
  rnr::test::GraphMaker m;
  auto b = m.prim(rnr::types::Kind::Boolean);
  auto s = m.string(2);
  TypeGraph small =
      m.finish(m.structure("S", flag::kFinal, {m.member("b", 0, b), m.member("s", 1, s)}));
  Bytes x(0x0001, false, 8);
  x.put<uint8_t>(2).str("ab");
  std::string error;
  EXPECT_FALSE(decode_to_json(small, x.out.data(), x.out.size(), &error));
  Bytes y(0x0001, false, 8);
  y.put<uint8_t>(1).str("abc");
  EXPECT_FALSE(decode_to_json(small, y.out.data(), y.out.size(), &error));
  Bytes z(0x0001, false, 8);
  z.put<uint8_t>(1).str("ab");
  EXPECT_EQ(decode(small, z.out), "{\"b\": true, \"s\": \"ab\"}");
}

// Instance keys: the key members' values in member order, a nested key
// struct by its own key members (or all of them), whatever else the sample
// holds; also for a sample too large to print as JSON.
TEST(InstanceKey, KeyMembersAloneTellInstancesApart) {
  std::string error;
  auto graph = [&](const char* name) {
    auto g = rnr::types::type_graph_from_idl(
        "module k {\n"
        "  @final struct Inner { @key long a; long b; };\n"
        "  @final struct Plain { long u; long v; };\n"
        "  @final struct S { long n; @key Inner in; @key string name; sequence<octet> data; };\n"
        "  @final struct T { @key Plain p; long w; };\n"
        "  @mutable struct M { @key long id; @key long sub; long x; };\n"
        "  @final struct None { long n; };\n"
        "};\n",
        name, &error);
    EXPECT_TRUE(g) << error;
    return g.value_or(TypeGraph{});
  };
  auto key = [&](const TypeGraph& g, const std::vector<uint8_t>& b) {
    auto k = rnr::types::instance_key(g, b.data(), b.size(), &error);
    return k ? *k : "error: " + error;
  };
  const TypeGraph s = graph("k::S");
  auto sample = [](int32_t n, int32_t a, int32_t b, const std::string& name, size_t bytes) {
    Bytes x(0x0001, false, 8);
    x.put<int32_t>(n).put<int32_t>(a).put<int32_t>(b).str(name);
    x.put<uint32_t>(static_cast<uint32_t>(bytes));
    x.out.insert(x.out.end(), bytes, 200);
    return x.out;
  };
  EXPECT_TRUE(rnr::types::has_key_members(s));
  EXPECT_EQ(key(s, sample(1, 7, 2, "map", 3)), "7\n\"map\"\n");
  EXPECT_EQ(key(s, sample(9, 7, 5, "map", 0)), key(s, sample(1, 7, 2, "map", 3)));
  EXPECT_NE(key(s, sample(1, 8, 2, "map", 3)), key(s, sample(1, 7, 2, "map", 3)));
  // 14 MB of octets print as about 70 MB of JSON, beyond what is printed.
  const std::vector<uint8_t> big = sample(1, 7, 2, "map", size_t{14} << 20);
  EXPECT_FALSE(decode_to_json(s, big.data(), big.size(), &error));
  EXPECT_EQ(key(s, big), "7\n\"map\"\n");
  std::vector<uint8_t> cut = sample(1, 7, 2, "map", 3);
  cut.resize(cut.size() - 2);
  EXPECT_FALSE(rnr::types::instance_key(s, cut.data(), cut.size(), &error));

  Bytes t(0x0001, false, 8);
  t.put<int32_t>(1).put<int32_t>(2).put<int32_t>(3);
  EXPECT_EQ(key(graph("k::T"), t.out), "1\n2\n");

  // Mutable, the key members sent in the other order.
  Bytes m(0x000b, false, 4);
  m.put<uint32_t>(24);
  m.put<uint32_t>(0x20000000u | 1).put<int32_t>(5);
  m.put<uint32_t>(0x20000000u | 0).put<int32_t>(4);
  m.put<uint32_t>(0x20000000u | 2).put<int32_t>(6);
  EXPECT_EQ(key(graph("k::M"), m.out), "4\n5\n");

  const TypeGraph none = graph("k::None");
  EXPECT_FALSE(rnr::types::has_key_members(none));
  Bytes n(0x0001, false, 8);
  n.put<int32_t>(1);
  EXPECT_EQ(key(none, n.out), "");
}

// A type used twice at every level of a deep chain: the decoder sizes each
// type once, so a count is checked at once instead of walking the 2^48
// paths down to the empty struct at the bottom.
TEST(Decoder, TypesSharedAtEveryLevelAreSizedOnce) {
  rnr::test::GraphMaker m;
  auto level = m.structure("E0", flag::kFinal, {});
  for (int i = 1; i <= 48; ++i) {
    const std::string name = std::string("E").append(std::to_string(i));
    level =
        m.structure(name.c_str(), flag::kFinal, {m.member("a", 0, level), m.member("b", 1, level)});
  }
  auto root = m.structure("R", flag::kFinal, {m.member("q", 0, m.sequence(level))});
  TypeGraph g = m.finish(root);
  Bytes b(0x0001, false, 8);
  b.put<uint32_t>(0);
  EXPECT_EQ(decode(g, b.out), "{\"q\": []}");
}

// Graphs that no sound type produces (a collection that holds itself, a
// member of a type that is not there) are refused by the IDL writer and the
// decoder alike, without running off the stack or out of the graph.
TEST(Decoder, DamagedGraphsAreRefused) {
  rnr::test::GraphMaker m;
  auto loop = m.sequence(0);
  m.graph.types[loop].element = loop;
  auto missing = m.sequence(1000);
  m.graph.types[missing].element = 1000;
  for (auto member : {loop, missing, TypeIndex{2000}}) {
    rnr::test::GraphMaker copy = m;
    TypeGraph g = copy.finish(copy.structure("S", flag::kFinal, {copy.member("q", 0, member)}));
    std::string error;
    EXPECT_FALSE(rnr::types::render_idl(g, &error)) << member;
    EXPECT_FALSE(error.empty()) << member;
    Bytes b(0x0001, false, 8);
    for (int i = 0; i < 200; ++i) {
      b.put<uint32_t>(1);
    }
    EXPECT_EQ(decode(g, b.out).rfind("error: ", 0), 0u) << member;
  }
}

TEST(Decoder, DumpRefusesForeignDescriptionsAndNonDynamicSupports) {
  auto graph = std::make_shared<const TypeGraph>(rnr::test::mixed_struct(flag::kFinal));
  auto other = std::make_shared<const TypeGraph>(rnr::test::mixed_struct(flag::kFinal));
  rnr::mw::DynamicTypeSupport support(graph), other_support(other);
  Bytes b(0x0007, false, 4);
  put_mixed_members(b, true);
  void* sample = dds_TypeSupport_deserialize(&support, b.out.data(), b.out.size());
  ASSERT_NE(sample, nullptr);
  FILE* sink = tmpfile();
  ASSERT_NE(sink, nullptr);
  EXPECT_EQ(cdr_dump_data(dds_TypeSupport_get_cdr_meta(&other_support),
                          dds_DynamicData_get_data(sample), sink, 3),
            -1);
  EXPECT_EQ(cdr_dump_data(dds_TypeSupport_get_cdr_meta(&support), dds_DynamicData_get_data(sample),
                          sink, 3),
            static_cast<int>(strlen(kMixedJson) + 1));
  fclose(sink);
  dds_TypeSupport_free(&support, sample);
  EXPECT_EQ(dds_TypeSupport_deserialize(&support, b.out.data(), 10), nullptr);
  EXPECT_EQ(dds_TypeSupport_get_cdr_meta(nullptr), nullptr);
  EXPECT_EQ(cdr_dump_data(nullptr, nullptr, stdout, 3), -1);
}

// The IDL reader's bounds: nesting counts through named types, so a chain
// of 250 structs each holding the one before reads, one of 300 does not (and
// neither overflows the stack); text past the bounds is refused before it
// is parsed.
TEST(IdlBounds, NestingCountsThroughNamedTypesAndLargeTextsAreRefused) {
  const auto chain = [](int n) {
    std::string idl = "struct S0 { long x; };";
    for (int i = 1; i < n; ++i) {
      idl += "struct S" + std::to_string(i) + " { S" + std::to_string(i - 1) + " x; };";
    }
    return idl + "struct T { S" + std::to_string(n - 1) + " x; };";
  };
  std::string error;
  EXPECT_TRUE(rnr::types::type_graph_from_idl(chain(250), "T", &error)) << error;
  const std::string too_large = "type description too large or too deep";
  EXPECT_FALSE(rnr::types::type_graph_from_idl(chain(300), "T", &error));
  EXPECT_EQ(error, too_large);

  std::string many = "enum E { e0";
  for (int i = 1; i < 20000; ++i) {
    many += ", e" + std::to_string(i);
  }
  EXPECT_FALSE(rnr::types::type_graph_from_idl(many + " }; struct T { E x; };", "T", &error));
  EXPECT_EQ(error, too_large);
  const std::string deep = "struct T { " + std::string(300, '(') + "long x; };";
  EXPECT_FALSE(rnr::types::type_graph_from_idl(deep, "T", &error));
  EXPECT_EQ(error, too_large);
  // Shifts, braces in comments and literals are no nesting.
  std::string quiet = "const long K = 1 << 2;";
  for (int i = 0; i < 300; ++i) {
    quiet += "/* { */ // (\n";
  }
  EXPECT_TRUE(rnr::types::type_graph_from_idl(quiet + "struct T { long x; };", "T", &error))
      << error;
}

}  // namespace
