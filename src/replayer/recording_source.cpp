#include "replayer/recording_source.h"

#include <limits>

#include "replayer/instance_replay.h"

namespace rnr::replayer::internal {

bool RecordingSource::open(const std::vector<rnr_replay_bag>& bags, size_t start_bag,
                           std::vector<rnr::bag::TopicSummary>* topics, std::string* error) {
  bags_ = bags;
  start_ = start_bag < bags_.size() ? start_bag : 0;
  std::unordered_map<int64_t, size_t> listed;
  for (size_t i = 0; i < topics->size(); ++i) {
    listed.emplace((*topics)[i].id, i);
  }
  for (const rnr_replay_bag& bag : bags_) {
    rnr::bag::BagReader reader;
    std::vector<rnr::bag::TopicSummary> in_bag;
    if (!reader.open(bag.path, error) || !reader.topics(&in_bag, false, error)) {
      *error = bag.path + ": " + *error;
      return false;
    }
    for (const auto& t : in_bag) {
      if (listed.emplace(t.id, topics->size()).second) {
        topics->push_back(t);
      }
      const auto id = static_cast<int32_t>(t.id);
      if (with_events_.count(id) == 0 && topic_has_instance_events(reader, t.id)) {
        with_events_.insert(id);
      }
      if (first_bytes_.count(id) != 0) {
        continue;
      }
      rnr::bag::SampleChunk chunk;
      if (!reader.first_sample(t.id, &chunk, error)) {
        *error = bag.path + ": " + *error;
        return false;
      }
      if (!chunk.empty()) {
        const rnr::bag::SampleRow& row = chunk.rows().front();
        first_bytes_[id] =
            row.size >= 2 ? static_cast<uint16_t>(row.data[0] << 8 | row.data[1]) : uint16_t{0};
      }
    }
  }
  rewind();
  return true;
}

dds_DataRepresentationId_t RecordingSource::representation(int32_t topic_id) const {
  const auto found = first_bytes_.find(topic_id);
  if (found != first_bytes_.end() && found->second >= 0x0006 && found->second <= 0x000b) {
    return dds_XCDR2_DATA_REPRESENTATION;
  }
  return dds_XCDR_DATA_REPRESENTATION;
}

void RecordingSource::rewind() {
  current_ = start_;
  after_ = std::numeric_limits<int64_t>::min();
  reader_.reset();
}

bool RecordingSource::read_chunk(const rnr::bag::SampleFilter& filter, rnr::bag::SampleChunk* chunk,
                                 std::string* error) {
  while (current_ < bags_.size()) {
    const rnr_replay_bag& bag = bags_[current_];
    // Bags follow each other in time: one that begins after the range, and
    // every one after it, holds none of it.
    const bool beyond = filter.end && bag.first && *bag.first > *filter.end;
    if (!beyond && reader_ == nullptr) {
      reader_ = std::make_unique<rnr::bag::BagReader>();
      if (!reader_->open(bag.path, error)) {
        *error = bag.path + ": " + *error;
        reader_.reset();
        return false;
      }
    }
    if (!beyond && !reader_->read_chunk(filter, after_, chunk, error)) {
      *error = bag.path + ": " + *error;
      return false;
    }
    if (beyond || chunk->empty()) {
      ++current_;
      after_ = std::numeric_limits<int64_t>::min();
      reader_.reset();
      if (beyond) {
        break;
      }
      continue;
    }
    after_ = chunk->last_id();
    if (!bag.skipped_ids.empty()) {
      chunk->drop_ids(bag.skipped_ids);
    }
    if (!chunk->empty()) {
      return true;
    }
  }
  current_ = bags_.size();
  // The end is an empty chunk: rows left from a bag read before go (a
  // chunk's ids ascend).
  std::vector<int64_t> left;
  for (const rnr::bag::SampleRow& row : chunk->rows()) {
    left.push_back(row.id);
  }
  chunk->drop_ids(left);
  return true;
}

rnr::bag::BagReader* RecordingSource::latched_reader(std::string* error) {
  if (latched_ == nullptr && start_ < bags_.size()) {
    auto reader = std::make_unique<rnr::bag::BagReader>();
    if (!reader->open(bags_[start_].path, error)) {
      *error = bags_[start_].path + ": " + *error;
      return nullptr;
    }
    latched_ = std::move(reader);
  }
  return latched_.get();
}

}  // namespace rnr::replayer::internal
