// The samples of a recording split into several bags, read by the replay
// thread as from one bag: the bags in turn, each from its first chunk, its
// repeated rows left out. Only the bag being read is open (and the one the
// latched state comes from), so a recording of many bags holds few files.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "bag/bag_reader.h"
#include "middleware/dds_api.h"
#include "replayer/replayer.h"

namespace rnr::replayer::internal {

class RecordingSource {
 public:
  // Opens every bag once: adds to `topics` those of their topics whose id it
  // lacks, and notes the first sample of each topic (for the writer's data
  // representation). False with `error` set when a bag cannot be read.
  bool open(const std::vector<rnr_replay_bag>& bags, size_t start_bag,
            std::vector<rnr::bag::TopicSummary>* topics, std::string* error);

  // Whether any bag holds a sample of the topic.
  bool has_samples(int32_t topic_id) const { return first_bytes_.count(topic_id) != 0; }
  // Whether any bag holds disposes or unregisters of the topic.
  bool has_instance_events(int32_t topic_id) const { return with_events_.count(topic_id) != 0; }
  // The bags in order, the one each pass starts with, and the one the last
  // chunk read came from.
  size_t bag_count() const { return bags_.size(); }
  const std::string& bag_path(size_t index) const { return bags_[index].path; }
  size_t start_bag() const { return start_; }
  size_t current_bag() const { return current_; }
  // The representation of the topic's first stored sample: XCDR2 for the
  // XCDR2 encapsulations, XCDR1 otherwise.
  dds_DataRepresentationId_t representation(int32_t topic_id) const;

  // Back to the start bag, for a pass.
  void rewind();
  // The next rows the filter selects, the bags in turn from the start bag;
  // an empty chunk at the end of the last bag. A bag after the start of its
  // range (`filter.end` before its first sample) is not read.
  bool read_chunk(const rnr::bag::SampleFilter& filter, rnr::bag::SampleChunk* chunk,
                  std::string* error);
  // The start bag's reader: the latched state's rows are read from it.
  rnr::bag::BagReader* latched_reader(std::string* error);

 private:
  std::vector<rnr_replay_bag> bags_;
  size_t start_ = 0;
  size_t current_ = 0;
  int64_t after_ = 0;
  std::unique_ptr<rnr::bag::BagReader> reader_;  // of bags_[current_], once opened
  std::unique_ptr<rnr::bag::BagReader> latched_;
  std::unordered_map<int32_t, uint16_t> first_bytes_;  // topic -> encapsulation id
  std::unordered_set<int32_t> with_events_;
};

}  // namespace rnr::replayer::internal
