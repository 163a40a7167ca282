// Pacing by source timestamps: the time each sample of a chunk is paced by,
// from the bag's sample sources.
#include "replayer/replayer_internal.h"

namespace rnr::replayer::internal {

bool pace_by_source(Playback& playback, const rnr::bag::SampleChunk& chunk, std::string* error) {
  playback.pace_times.clear();
  for (const rnr::bag::SampleRow& row : chunk.rows()) {
    const rnr::bag::SampleSourceRow* source = nullptr;
    if (!playback.sources->find(row.id, &source, error)) {
      playback.pace_times.clear();
      return false;
    }
    // A source time of 0 or beyond int64 is not one; -1 stands for the
    // reception time (which the replay checks itself).
    playback.pace_times.push_back(source != nullptr && source->has_source_timestamp &&
                                          source->source_timestamp > 0
                                      ? source->source_timestamp
                                      : -1);
  }
  return true;
}

}  // namespace rnr::replayer::internal
