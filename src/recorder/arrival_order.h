// The merge that restores the order of arrival of a take. A take hands the
// samples over instance by instance, not in the order they arrived; each
// instance's samples are in order, so merging the instances' runs by source
// time restores the arrival order of every writer's samples.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace rnr::recorder {

// Consecutive taken samples of one instance, in the order they arrived:
// positions [next, end) of the take.
struct SampleRun {
  size_t next;
  size_t end;
};

// Merges `runs`, each in order, into one order by source time and writes the
// positions into `merged` (cleared first). `times[k]` is the source time of
// position k. Equal times keep the take's order: the earlier run first. The
// runs are consumed (their `next` reaches `end`).
void order_by_arrival(const std::vector<uint64_t>& times, std::vector<SampleRun>& runs,
                      std::vector<size_t>& merged);

}  // namespace rnr::recorder
