// The type corpus (corpus/*.idl): the topic types of each file, the topic
// the corpus peer publishes each on, and the JSON of the sample it writes.
#pragma once

namespace rnr::test {

struct CorpusCase {
  const char* file;  // under corpus/
  const char* type;
  const char* topic;
  const char* json;  // null: no sample
  // The recorder's dump, where it differs from `json`: type objects record
  // an int8 discriminator as a char, which the written text names int8.
  const char* dump_json = nullptr;
  bool hashid_names = false;          // has @hashid("name"), which only type objects carry
  bool viewers = false;               // read back through an MCAP file by viewers' libraries
  const char* viewer_json = nullptr;  // their reading, where it differs from `json`
};

inline constexpr CorpusCase kCorpus[] = {
    {"modules.idl", "geo::Pose", "corpus_pose", "{\"frame\": 7, \"x\": 1.5, \"y\": -2.25}", nullptr,
     false, true},
    {"modules.idl", "app::Truck", "corpus_truck",
     "{\"id\": 42, \"label\": \"hauler\", \"wheels\": 6, \"load\": 12.5, \"where\": {\"frame\": 7, "
     "\"x\": 1.5, \"y\": -2.25}, \"local\": {\"tag\": 9}}",
     nullptr, false, true},
    {"modules.idl", "Scene", "corpus_scene",
     "{\"origin\": {\"frame\": 1, \"x\": 0.5, \"y\": 0.0}, \"fleet\": {\"poses\": [{\"frame\": 0, "
     "\"x\": 2.0, \"y\": 0.0}, {\"frame\": 5, \"x\": 0.0, \"y\": 0.0}], \"levels\": [{\"a\": -1, "
     "\"name\": \"first\", \"history\": []}, {\"a\": 0, \"name\": \"second\", \"history\": "
     "[{\"a\": 3}, {\"a\": 4}]}], \"truck\": {\"id\": 42, \"label\": \"hauler\", \"wheels\": 6, "
     "\"load\": 12.5, \"where\": {\"frame\": 7, \"x\": 1.5, \"y\": -2.25}, \"local\": {\"tag\": "
     "9}}}}"},
    {"collections.idl", "coll::Arrays", "corpus_arrays",
     "{\"flat\": [0, 10, 20, 30], \"grid\": [[0.5, 1.5, 2.5], [3.5, 4.5, 5.5]], \"cells\": "
     "[{\"v\": 0}, {\"v\": 3}], \"shades\": [\"LIGHT\", \"DARK\", \"LIGHT\"], \"names\": [\"n0\", "
     "\"\"], \"tags\": [\"tag0\", \"abcdef\"], \"lists\": [[1, 2], []], \"shorts\": [[], [-5]], "
     "\"counts\": [[100, 101, 102], [103, 104, 105]], \"pair\": [\"\", \"p1\"], \"flags\": "
     "[[false, true], [true, false]]}"},
    {"collections.idl", "coll::Sequences", "corpus_sequences",
     "{\"nested\": [[1, 2], [], [3]], \"deep\": [[[], [7, 8]]], \"of_alias\": [[], [1, 2]], "
     "\"bounded_alias\": [[9]], \"bounded_strings\": [\"ab\", \"wxyz\"], \"cells\": [{\"v\": -1}, "
     "{\"v\": 2}], \"shades\": [\"LIGHT\", \"DARK\", \"LIGHT\"], \"arrays\": [[1, 2, 3]], "
     "\"tags\": [\"t\", \"tag\"], \"flags\": [true, false, true], \"bytes\": [0, 255, 16]}"},
    {"unions.idl", "uni::Unions", "corpus_unions",
     "{\"b\": {\"_d\": false, \"no\": \"nope\"}, \"c\": {\"_d\": \"q\", \"other\": 77}, \"o\": "
     "{\"_d\": 255, \"max\": -9}, \"i8\": {\"_d\": 1, \"plus\": -300}, \"u8\": {\"_d\": 200, "
     "\"big\": 12}, \"s\": {\"_d\": 3, \"two_or_three\": \"three\"}, \"us\": {\"_d\": 65535, "
     "\"top\": 65536}, \"l\": {\"_d\": 2, \"many\": [4, 5, 6]}, \"ul\": {\"_d\": 3000000, "
     "\"huge\": 1}, \"e\": {\"_d\": \"STOP\", \"why\": \"done\"}, \"alias\": {\"_d\": 1, \"a\": "
     "8}, \"es\": {\"_d\": \"IDLE\", \"inners\": [{\"v\": 11}]}, \"several\": [{\"_d\": 3, "
     "\"two_or_three\": \"3\"}, {\"_d\": 2, \"two_or_three\": \"two\"}]}",
     "{\"b\": {\"_d\": false, \"no\": \"nope\"}, \"c\": {\"_d\": \"q\", \"other\": 77}, \"o\": "
     "{\"_d\": 255, \"max\": -9}, \"i8\": {\"_d\": \"\\u0001\", \"plus\": -300}, \"u8\": {\"_d\": "
     "200, "
     "\"big\": 12}, \"s\": {\"_d\": 3, \"two_or_three\": \"three\"}, \"us\": {\"_d\": 65535, "
     "\"top\": 65536}, \"l\": {\"_d\": 2, \"many\": [4, 5, 6]}, \"ul\": {\"_d\": 3000000, "
     "\"huge\": 1}, \"e\": {\"_d\": \"STOP\", \"why\": \"done\"}, \"alias\": {\"_d\": 1, \"a\": "
     "8}, \"es\": {\"_d\": \"IDLE\", \"inners\": [{\"v\": 11}]}, \"several\": [{\"_d\": 3, "
     "\"two_or_three\": \"3\"}, {\"_d\": 2, \"two_or_three\": \"two\"}]}"},
    {"unions.idl", "uni::WideDiscriminators", "corpus_wide", nullptr},
    {"annotations.idl", "ann::Entry", "corpus_entry",
     "{\"serial\": 5, \"origin\": \"lab\", \"level\": \"S3\", \"perm\": [\"READ\", \"EXEC\"], "
     "\"wide\": [\"W40\"], \"at40\": 40, \"at41\": 41, \"understood\": -2, \"speed\": 3.75, "
     "\"trimmed\": \"abcd\", \"fallback\": \"S4\"}",
     nullptr, false, true,
     // Viewers give enumerators and bitmasks as their numbers.
     "{\"serial\": 5, \"origin\": \"lab\", \"level\": 3, \"perm\": 65, \"wide\": 1099511627776, "
     "\"at40\": 40, \"at41\": 41, \"understood\": -2, \"speed\": 3.75, \"trimmed\": \"abcd\", "
     "\"fallback\": 4}"},
    {"annotations.idl", "ann::Extras", "corpus_extras",
     "{\"ext\": -8, \"absent\": null, \"choices\": [{\"_d\": \"S3\", \"three\": \"3\"}, {\"_d\": "
     "\"S4\", \"perms\": [\"WRITE\"]}], \"alias\": {\"_d\": \"S0\", \"zero\": 12}, \"maybe\": "
     "null, \"idents\": [{\"site\": 0, \"local\": 0, \"note\": \"\"}, {\"site\": 9, \"local\": 10, "
     "\"note\": \"i1\"}]}"},
    {"annotations.idl", "ann::Holder", "corpus_holder",
     "{\"hashed\": {\"first\": 1, \"second\": 2, \"third\": 3}, \"nested\": {\"n\": 6}, \"keyed\": "
     "{\"id\": {\"site\": 100, \"local\": 65000, \"note\": \"key\"}, \"value\": 0.25}, "
     "\"optionals\": {\"number\": -17, \"text\": null, \"id\": {\"site\": 3, \"local\": 4, "
     "\"note\": \"opt\"}, \"shorts\": null, \"last\": 99}}",
     nullptr, true},
};

}  // namespace rnr::test
