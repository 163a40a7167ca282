#include "corpus_samples.h"

#include <cstring>

#include "annotations.h"
#include "collections.h"
#include "modules.h"
#include "unions.h"

namespace rnr::test {
namespace {

char* text(const char* s) {
  return const_cast<char*>(s);
}

template <typename Seq, typename T, size_t N>
Seq seq(T (&items)[N]) {
  Seq s{};
  s._length = s._maximum = N;
  s._buffer = items;
  return s;
}

const void* pose() {
  static geo_Pose p{};
  p.parent.frame = 7;
  p.x = 1.5;
  p.y = -2.25;
  return &p;
}

const void* truck() {
  static app_Truck t{};
  t.parent.parent.id = 42;
  t.parent.parent.label = text("hauler");
  t.parent.wheels = 6;
  t.load = 12.5;
  t.where = *static_cast<const geo_Pose*>(pose());
  t.local.tag = 9;
  return &t;
}

const void* scene() {
  static Scene s{};
  static geo_Pose poses[2];
  static geo_Level1Alias history[] = {{3}, {4}};
  s.origin.parent.frame = 1;
  s.origin.x = 0.5;
  poses[0].x = 2;
  poses[1].parent.frame = 5;
  s.fleet.poses = seq<dds_sequence_geo_Pose>(poses);
  s.fleet.levels[0].parent.parent.a = -1;
  s.fleet.levels[0].parent.name = text("first");
  s.fleet.levels[1].parent.name = text("second");
  s.fleet.levels[1].history = seq<dds_sequence_geo_Level1Alias>(history);
  s.fleet.truck = *static_cast<const app_Truck*>(truck());
  return &s;
}

const void* arrays() {
  static coll_Arrays a{};
  static int32_t l0[] = {1, 2};
  static int16_t s1[] = {-5};
  for (int i = 0; i < 4; ++i) {
    a.flat[i] = 10 * i;
  }
  for (int i = 0; i < 6; ++i) {
    a.grid[i / 3][i % 3] = i + 0.5;
  }
  a.cells[1].v = 3;
  a.shades[0] = coll_LIGHT;
  a.shades[2] = coll_LIGHT;
  a.names[0] = text("n0");
  a.names[1] = text("");
  strcpy(a.tags[0], "tag0");
  strcpy(a.tags[1], "abcdef");
  a.lists[0] = seq<dds_sequence_long>(l0);
  a.shorts[1] = seq<coll_Shorts>(s1);
  for (int i = 0; i < 6; ++i) {
    a.counts[i / 3][i % 3] = 100 + i;
  }
  strcpy(a.pair[1], "p1");
  a.flags[0][1] = true;
  a.flags[1][0] = true;
  return &a;
}

const void* sequences() {
  static coll_Sequences s{};
  static int16_t n0[] = {1, 2}, n2[] = {3};
  static dds_sequence_short nested[3];
  static int32_t d00[] = {7, 8};
  static dds_sequence_long deep0[2];
  static dds_sequence_sequence_long deep[1];
  static int16_t a0[] = {9};
  static coll_Shorts alias[1], of_alias[2];
  static char strings[][5] = {"ab", "wxyz"};
  static coll_Cell cells[] = {{-1}, {2}};
  static coll_Shade shades[] = {coll_LIGHT, coll_DARK, coll_LIGHT};
  static coll_CountArray counts[] = {{1, 2, 3}};
  static coll_Tag tags[] = {"t", "tag"};
  static bool flags[] = {true, false, true};
  static uint8_t bytes[] = {0, 255, 16};
  nested[0] = seq<dds_sequence_short>(n0);
  nested[2] = seq<dds_sequence_short>(n2);
  s.nested = seq<dds_sequence_sequence_short>(nested);
  deep0[1] = seq<dds_sequence_long>(d00);
  deep[0] = seq<dds_sequence_sequence_long>(deep0);
  s.deep = seq<dds_sequence_sequence_sequence_long>(deep);
  of_alias[1] = seq<coll_Shorts>(n0);
  s.of_alias = seq<dds_sequence_coll_Shorts>(of_alias);
  alias[0] = seq<coll_Shorts>(a0);
  s.bounded_alias = seq<coll_ShortsBounded>(alias);
  s.bounded_strings = seq<dds_sequence_string4>(strings);
  s.cells = seq<dds_sequence_coll_Cell>(cells);
  s.shades = seq<dds_sequence_coll_Shade>(shades);
  s.arrays = seq<dds_sequence_coll_CountArray>(counts);
  s.tags = seq<coll_Tags>(tags);
  s.flags = seq<dds_sequence_bool>(flags);
  s.bytes = seq<dds_sequence_octet>(bytes);
  return &s;
}

const void* unions() {
  static uni_Unions u{};
  static int32_t many[] = {4, 5, 6};
  static uni_Inner inners[] = {{11}};
  u.b._d = false;
  u.b._u.no = text("nope");
  u.c._d = 'q';
  u.c._u.other = 77;
  u.o._d = 255;
  u.o._u.max = -9;
  // Cyclone DDS 0.10.2 writes no branch for a negative discriminator of a
  // short or int8 one (it compares it unsigned): the samples use others.
  u.i8._d = 1;
  u.i8._u.plus = -300;
  u.u8._d = 200;
  u.u8._u.big = 12;
  u.s._d = 3;
  u.s._u.two_or_three = text("three");
  u.us._d = 65535;
  u.us._u.top = 65536;
  u.l._d = 2;
  u.l._u.many = seq<dds_sequence_long>(many);
  u.ul._d = 3000000;
  u.ul._u.huge = 1;
  u.e._d = uni_STOP;
  u.e._u.why = text("done");
  u.alias._d = 1;
  u.alias._u.a = 8;
  u.es._d = uni_IDLE;
  u.es._u.inners = seq<dds_sequence_uni_Inner>(inners);
  u.several[0]._d = 3;
  u.several[0]._u.two_or_three = text("3");
  u.several[1]._d = 2;
  u.several[1]._u.two_or_three = text("two");
  return &u;
}

const void* entry() {
  static ann_Entry e{};
  e.parent.serial = 5;
  e.parent.origin = text("lab");
  e.level = ann_S3;
  e.perm = ann_READ | ann_EXEC;
  e.wide = ann_W40;
  e.at40 = 40;
  e.at41 = 41;
  e.understood = -2;
  e.speed = 3.75;
  strcpy(e.trimmed, "abcd");
  e.fallback = ann_S4;
  return &e;
}

const void* extras() {
  static ann_Extras x{};
  static int32_t ext = -8;
  static ann_Choice choices[2];
  choices[0]._d = ann_S3;
  choices[0]._u.three = text("3");
  choices[1]._d = ann_S4;
  choices[1]._u.perms = ann_WRITE;
  x.ext = &ext;
  x.choices = seq<dds_sequence_ann_Choice>(choices);
  x.alias._d = ann_S0;
  x.alias._u.zero = 12;
  x.idents[1] = {9, 10, text("i1")};
  return &x;
}

const void* holder() {
  static ann_Holder h{};
  static int32_t number = -17;
  static ann_Ident ident{3, 4, text("opt")};
  h.hashed.first = 1;
  h.hashed.second = 2;
  h.hashed.third = 3;
  h.nested.n = 6;
  h.keyed.id.site = 100;
  h.keyed.id.local = 65000;
  h.keyed.id.note = text("key");
  h.keyed.value = 0.25;
  h.optionals.number = &number;
  h.optionals.id = &ident;
  h.optionals.last = 99;
  return &h;
}

}  // namespace

const CorpusTopic kCorpusTopics[] = {
    {"corpus_pose", &geo_Pose_desc, pose},
    {"corpus_truck", &app_Truck_desc, truck},
    {"corpus_scene", &Scene_desc, scene},
    {"corpus_arrays", &coll_Arrays_desc, arrays},
    {"corpus_sequences", &coll_Sequences_desc, sequences},
    {"corpus_unions", &uni_Unions_desc, unions},
    {"corpus_wide", &uni_WideDiscriminators_desc, nullptr},
    {"corpus_entry", &ann_Entry_desc, entry},
    {"corpus_extras", &ann_Extras_desc, extras},
    {"corpus_holder", &ann_Holder_desc, holder},
};
const size_t kCorpusTopicCount = sizeof kCorpusTopics / sizeof kCorpusTopics[0];

}  // namespace rnr::test
