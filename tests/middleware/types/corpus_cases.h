// The type corpus (corpus/*.idl): the topic types of each file, the topic
// the corpus peer publishes each on, and the JSON of the sample it writes.
#pragma once

namespace rnr::test {

struct CorpusCase {
  const char* file;  // under corpus/
  const char* type;
  const char* topic;
  const char* json;
  bool hashid_names = false;  // has @hashid("name"), which only type objects carry
};

inline constexpr CorpusCase kCorpus[] = {
    {"modules.idl", "geo::Pose", "corpus_pose", nullptr},
    {"modules.idl", "app::Truck", "corpus_truck", nullptr},
    {"modules.idl", "Scene", "corpus_scene", nullptr},
    {"collections.idl", "coll::Arrays", "corpus_arrays", nullptr},
    {"collections.idl", "coll::Sequences", "corpus_sequences", nullptr},
    {"unions.idl", "uni::Unions", "corpus_unions", nullptr},
    {"annotations.idl", "ann::Entry", "corpus_entry", nullptr},
    {"annotations.idl", "ann::Holder", "corpus_holder", nullptr, true},
};

}  // namespace rnr::test
