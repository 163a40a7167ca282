// The merge that puts a take's per-instance runs back in order of arrival.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "recorder/arrival_order.h"

namespace {

std::vector<size_t> merge(const std::vector<uint64_t>& times,
                          std::vector<rnr::recorder::SampleRun> runs) {
  std::vector<size_t> merged = {99};  // stale content is cleared
  rnr::recorder::order_by_arrival(times, runs, merged);
  return merged;
}

}  // namespace

TEST(ArrivalOrder, InterleavedInstancesComeOutBySourceTimeAndTiesKeepTakeOrder) {
  // Instance A took positions 0-2, B 3-4, C 5-6; A and C both sent at time 20
  // and B and C at time 40.
  const std::vector<uint64_t> times = {10, 20, 50, 15, 40, 20, 40};
  EXPECT_EQ(merge(times, {{0, 3}, {3, 5}, {5, 7}}), (std::vector<size_t>{0, 3, 1, 5, 4, 6, 2}));
}

TEST(ArrivalOrder, EmptyAndSingleRuns) {
  EXPECT_TRUE(merge({}, {}).empty());
  EXPECT_EQ(merge({30, 10, 20}, {{0, 3}}),
            (std::vector<size_t>{0, 1, 2}));  // one run stays as taken
  EXPECT_EQ(merge({5, 1}, {{0, 0}, {0, 1}, {1, 1}, {1, 2}}), (std::vector<size_t>{1, 0}));
}
