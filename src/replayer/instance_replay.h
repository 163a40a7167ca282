// The replay of the bag's instance events (bag/instance_events.h): each
// dispose and unregister goes out through its topic's writer in the order
// it was received among the samples, paced like them by reception time.
// Used by the replay thread alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_set>

#include "bag/instance_events.h"
#include "middleware/dds_api.h"

struct rnr_replayer;

namespace rnr::replayer::internal {

struct Playback;

// Whether the bag holds disposes or unregisters of the topic (false also
// when they cannot be read).
bool topic_has_instance_events(rnr::bag::BagReader& reader, int64_t topic_id);

class InstanceEventPlayer {
 public:
  // Reads the events that the filter selects; a bag without them has none.
  bool open(rnr::bag::BagReader& reader, const rnr::bag::SampleFilter& filter, std::string* error);
  // Back to the first event, for the next pass.
  void rewind() { cursor_.rewind(); }
  // Plays the events received before the data row `before_id` (all that
  // are left with INT64_MAX). False when the bag cannot be read (logged).
  bool play_before(rnr_replayer* replayer, Playback& playback, int64_t before_id);
  // Writes a sample: with the status of the event it carried, when the
  // state change came with the sample itself (a write-dispose, or a
  // change that followed it before the recorder took it).
  dds_ReturnCode_t write_sample(dds_DataWriter* writer, int64_t row_id, int64_t topic_id,
                                const uint8_t* bytes, size_t size);
  // Events that could not be played (no writer, no key, refused, damaged).
  uint64_t unplayed() const { return unplayed_; }
  uint64_t played() const { return played_; }
  // Events recorded without a key, which are left out.
  uint64_t keyless() const { return keyless_; }

 private:
  bool skip(const rnr::bag::InstanceEvent& event, const char* why, bool failure = true);

  rnr::bag::InstanceEventCursor cursor_;
  bool failed_ = false;
  uint64_t played_ = 0;
  uint64_t unplayed_ = 0;
  uint64_t keyless_ = 0;
  std::unordered_set<int64_t> reported_topics_;
};

}  // namespace rnr::replayer::internal
