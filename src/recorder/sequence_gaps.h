// What the recorder knows of each writer's sequence numbers on a topic: the
// numbers stored (so that a sample two readers receive is stored once) and
// the numbers that never arrived, which are reported per writer while the
// recording runs and when the writer or the recording ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>

#include "types/dds_guid.h"

// The writer sequence numbers of one writer's samples already stored, as
// ranges [first, end) by first; numbers below `floor` are settled: stored, or
// counted in `lost` when the oldest ranges were given up to keep the record
// bounded.
struct rnr_StoredSequences {
  std::map<uint64_t, uint64_t> ranges;
  uint64_t floor = 0;
  // Numbers that never arrived below `floor`, and the lowest and highest of
  // them (0 while there are none).
  uint64_t lost = 0;
  uint64_t lost_first = 0;
  uint64_t lost_last = 0;
  // Records `seq`; false when it was recorded before.
  bool insert(uint64_t seq);
  // Records `seq` as a sample of the writer's history (written before the
  // recorder matched it): the numbers between it and the range below it were
  // no longer held by the writer and are not missing.
  bool insert_history(uint64_t seq);
  // The end of the highest range (0 when nothing was stored).
  uint64_t top() const { return ranges.empty() ? 0 : ranges.rbegin()->second; }
};

// A count of missing sequence numbers and the lowest and highest of them.
struct rnr_GapSpan {
  uint64_t count = 0;
  uint64_t first = 0;
  uint64_t last = 0;
  void add(uint64_t from, uint64_t end);  // adds [from, end)
};

// The numbers missing between the stored ranges (not those below the floor) that
// are at least `from` and below `to`.
rnr_GapSpan rnr_missing_sequences(const rnr_StoredSequences& s, uint64_t from, uint64_t to);

// One writer of a topic as its samples are captured.
struct rnr_WriterSequences {
  rnr_StoredSequences stored;
  dds_guid guid{};
  // The writer's writers._id, once discovery has catalogued it (0 before).
  int32_t writer_id = 0;
  // When discovery announced the writer, by the recorder's clock (0 when not
  // known): samples stamped before it are the writer's history.
  uint64_t announced_ns = 0;
  // The reader the writer is assigned to, once known: from the first
  // sample that reader stored (own_first) on, the writer's samples that
  // other readers of the topic receive are left to it.
  const void* own_reader = nullptr;
  bool own_reliable = false;
  uint64_t own_first = 0;  // the first number the own reader stored
  // Reporting while the recording runs: the top of the ranges at the last
  // check (gaps below it have lasted a check interval, so they are not a
  // second reader's samples still on their way), the numbers below
  // `reported_upto` already reported, and when the last line was written.
  uint64_t settle_mark = 0;
  uint64_t reported_upto = 0;
  uint64_t lost_reported = 0;  // of stored.lost
  uint64_t warned_ns = 0;
  // Set when the writer went away and came back (it dropped the recorder's
  // reader): the first sample after that tells what it cost.
  bool rejoined = false;
};

namespace rnr::recorder::internal {

// How many ranges of stored sequence numbers a writer keeps at most; the
// oldest go first (a best-effort writer whose samples get lost leaves one
// range per gap), and the gaps below them count as lost.
constexpr size_t kMaxStoredRangesPerWriter = 1024;

// Looks at one writer during the recording: at most once every 10 s one line
// for the numbers that have been missing for a while and were not reported
// yet ("N samples of writer G on topic T never arrived (sequence numbers
// a–b)"). `now` is the recorder's clock. Returns the count that line gave
// (0: no line).
uint64_t check_writer_gaps(rnr_WriterSequences& w, const char* topic_name, uint64_t now);

// The writer's record ends (it went away, or the recording stopped): one line
// with every number of it that never arrived, if any; returns their count.
uint64_t finish_writer_gaps(const rnr_WriterSequences& w, const char* topic_name);

// A writer that came back after it dropped the recorder's reader stored
// `seq` first: one line with what that cost, if anything.
void report_rejoin(rnr_WriterSequences& w, const char* topic_name, uint64_t seq);

}  // namespace rnr::recorder::internal
