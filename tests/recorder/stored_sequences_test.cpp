// The record of stored writer sequence numbers that keeps a sample two
// readers receive from being stored twice.
#include <gtest/gtest.h>

#include "recorder/recorder_internal.h"

namespace {

// Numbers arriving in order, again, out of order and across gaps: each is
// recorded once, and ranges merge as gaps fill.
TEST(StoredSequences, EachNumberOnceInAnyOrder) {
  rnr_StoredSequences s;
  for (uint64_t n = 1; n <= 5; ++n) {
    EXPECT_TRUE(s.insert(n));
  }
  EXPECT_FALSE(s.insert(3));  // a second reader's copy
  EXPECT_TRUE(s.insert(9));   // a gap: 6..8 not seen yet
  EXPECT_TRUE(s.insert(7));
  EXPECT_EQ(s.ranges.size(), 3u);
  EXPECT_TRUE(s.insert(6));
  EXPECT_TRUE(s.insert(8));
  EXPECT_EQ(s.ranges.size(), 1u);
  EXPECT_EQ(s.ranges.begin()->first, 1u);
  EXPECT_EQ(s.ranges.begin()->second, 10u);
  for (uint64_t n = 1; n <= 9; ++n) {
    EXPECT_FALSE(s.insert(n)) << n;
  }
  EXPECT_TRUE(s.insert(10));
}

// A writer losing every other sample leaves one range per gap; beyond the
// bound the oldest ranges go and what lies below them counts as stored.
TEST(StoredSequences, RangesStayBounded) {
  rnr_StoredSequences s;
  const size_t cap = rnr::recorder::internal::kMaxStoredRangesPerWriter;
  for (uint64_t n = 0; n < 2 * (cap + 10); n += 2) {
    EXPECT_TRUE(s.insert(n + 1));
  }
  EXPECT_EQ(s.ranges.size(), cap);
  EXPECT_FALSE(s.insert(2));                  // below the floor now
  EXPECT_TRUE(s.insert(2 * (cap + 10) - 2));  // a gap still tracked
}

}  // namespace
