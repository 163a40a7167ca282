#include "recorder/arrival_order.h"

#include <functional>
#include <queue>
#include <utility>

namespace rnr::recorder {

void order_by_arrival(const std::vector<uint64_t>& times, std::vector<SampleRun>& runs,
                      std::vector<size_t>& merged) {
  merged.clear();
  // Min-heap of (time of the run's next sample, run); ties go to the earlier run.
  using Head = std::pair<uint64_t, size_t>;
  std::priority_queue<Head, std::vector<Head>, std::greater<Head>> heads;
  for (size_t r = 0; r < runs.size(); ++r) {
    if (runs[r].next < runs[r].end) {
      heads.emplace(times[runs[r].next], r);
    }
  }
  while (!heads.empty()) {
    const size_t r = heads.top().second;
    heads.pop();
    merged.push_back(runs[r].next);
    if (++runs[r].next < runs[r].end) {
      heads.emplace(times[runs[r].next], r);
    }
  }
}

}  // namespace rnr::recorder
