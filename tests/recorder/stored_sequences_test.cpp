// The record of stored writer sequence numbers that keeps a sample two
// readers receive from being stored twice, and counts what never arrived.
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

// Gaps given up with the oldest ranges are counted as lost with their
// bounds; the numbers missing are those between the ranges and below them,
// and a writer's record ends with all of them.
TEST(StoredSequences, EveryGapIsCountedAlsoPastTheBound) {
  rnr_WriterSequences w;
  const uint64_t cap = rnr::recorder::internal::kMaxStoredRangesPerWriter;
  for (uint64_t n = 1; n <= 2 * (cap + 10); n += 2) {  // 2, 4, 6, ... never arrive
    w.stored.insert(n);
  }
  const uint64_t last = 2 * (cap + 10) - 1;
  EXPECT_EQ(w.stored.lost, 10u);
  EXPECT_EQ(w.stored.lost_first, 2u);
  EXPECT_EQ(w.stored.lost_last, 20u);
  const rnr_GapSpan between = rnr_missing_sequences(w.stored, 0, UINT64_MAX);
  EXPECT_EQ(between.count + w.stored.lost, (last - 1) / 2);
  EXPECT_EQ(between.last, last - 1);
  EXPECT_EQ(rnr::recorder::internal::finish_writer_gaps(w, "t"), (last - 1) / 2);
  // Within a window.
  const rnr_GapSpan part = rnr_missing_sequences(w.stored, 100, 110);
  EXPECT_EQ(part.count, 5u);
  EXPECT_EQ(part.first, 100u);
  EXPECT_EQ(part.last, 108u);
}

// While recording, a gap is reported once it outlasted a check (a sample that
// a second reader stores a moment later is no loss), once, and at most once
// every 10 s; a transient-local writer's history leaves no gap.
TEST(StoredSequences, GapsAreReportedOnceSettledAndHistoryIsNoGap) {
  using rnr::recorder::internal::check_writer_gaps;
  constexpr uint64_t kSecond = 1000000000u;
  rnr_WriterSequences w;
  for (uint64_t n : {1, 2, 4}) {
    w.stored.insert(n);
  }
  EXPECT_EQ(check_writer_gaps(w, "t", 1 * kSecond), 0u);  // 3 may still come
  w.stored.insert(3);
  w.stored.insert(6);
  EXPECT_EQ(check_writer_gaps(w, "t", 2 * kSecond), 0u);  // 3 came; 5 is above the mark
  w.stored.insert(7);
  EXPECT_EQ(check_writer_gaps(w, "t", 3 * kSecond), 1u);  // 5 outlasted a check
  w.stored.insert(9);
  w.stored.insert(10);
  EXPECT_EQ(check_writer_gaps(w, "t", 4 * kSecond), 0u);   // within 10 s of the last line
  EXPECT_EQ(check_writer_gaps(w, "t", 14 * kSecond), 1u);  // 8, once
  EXPECT_EQ(check_writer_gaps(w, "t", 30 * kSecond), 0u);
  EXPECT_EQ(rnr::recorder::internal::finish_writer_gaps(w, "t"), 2u);

  rnr_StoredSequences history;
  EXPECT_TRUE(history.insert_history(10));  // the writer held 10, 20, 30 of its instances
  EXPECT_TRUE(history.insert_history(20));
  EXPECT_TRUE(history.insert_history(30));
  EXPECT_TRUE(history.insert(31));
  EXPECT_FALSE(history.insert(15));  // below the history: settled
  EXPECT_EQ(history.ranges.size(), 1u);
  EXPECT_EQ(rnr_missing_sequences(history, 0, UINT64_MAX).count, 0u);
}

}  // namespace
