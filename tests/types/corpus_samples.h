// The corpus topics: each topic type compiled by idlc, and the one sample
// the corpus peer writes on it (values that differ from member to member,
// so that a decoder that swaps or skips one is caught).
#pragma once

#include <dds/dds.h>

namespace rnr::test {

struct CorpusTopic {
  const char* topic;
  const dds_topic_descriptor_t* descriptor;
  const void* (*sample)();  // null: the type is published, no sample
};

extern const CorpusTopic kCorpusTopics[];
extern const size_t kCorpusTopicCount;

}  // namespace rnr::test
