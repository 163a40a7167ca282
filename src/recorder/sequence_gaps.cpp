#include "recorder/sequence_gaps.h"

#include <algorithm>
#include <iterator>

#include "log/logger.h"

namespace {

// Gaps are reported at most once every 10 s per writer while they happen.
constexpr uint64_t kGapWarnIntervalNs = 10000000000u;

}  // namespace

void rnr_GapSpan::add(uint64_t from, uint64_t end) {
  if (end <= from) {
    return;
  }
  if (count == 0 || from < first) {
    first = from;
  }
  last = std::max(last, end - 1);
  count += end - from;
}

bool rnr_StoredSequences::insert(uint64_t seq) {
  if (seq < floor) {
    return false;
  }
  if (!ranges.empty()) {
    const auto last = std::prev(ranges.end());
    if (seq == last->second) {  // the next one in order: the common case
      last->second = seq + 1;
      return true;
    }
  }
  auto next = ranges.upper_bound(seq);  // the first range that starts behind seq
  if (next != ranges.begin()) {
    const auto prev = std::prev(next);
    if (seq < prev->second) {
      return false;
    }
    if (seq == prev->second) {
      prev->second = seq + 1;
      if (next != ranges.end() && next->first == prev->second) {
        prev->second = next->second;
        ranges.erase(next);
      }
      return true;
    }
  }
  if (next != ranges.end() && next->first == seq + 1) {
    const uint64_t end = next->second;
    ranges.erase(next);
    ranges.emplace(seq, end);
    return true;
  }
  ranges.emplace(seq, seq + 1);
  if (ranges.size() > rnr::recorder::internal::kMaxStoredRangesPerWriter) {
    // The oldest range goes; the gap above it is settled as lost.
    const auto oldest = ranges.begin();
    const auto second = std::next(oldest);
    const uint64_t gap_from = oldest->second;
    const uint64_t gap_end = second->first;
    if (lost == 0) {
      lost_first = gap_from;
    }
    lost += gap_end - gap_from;
    lost_last = gap_end - 1;
    floor = gap_end;
    ranges.erase(oldest);
  }
  return true;
}

bool rnr_StoredSequences::insert_history(uint64_t seq) {
  if (!insert(seq)) {
    return false;
  }
  auto at = ranges.upper_bound(seq);
  --at;  // the range that holds seq now
  if (at != ranges.begin()) {
    const auto below = std::prev(at);
    below->second = at->second;
    ranges.erase(at);
  }
  return true;
}

rnr_GapSpan rnr_missing_sequences(const rnr_StoredSequences& s, uint64_t from, uint64_t to) {
  rnr_GapSpan span;
  if (s.ranges.empty()) {
    return span;
  }
  auto it = s.ranges.begin();
  uint64_t end = it->second;
  for (++it; it != s.ranges.end(); ++it) {
    span.add(std::max(end, from), std::min(it->first, to));
    end = it->second;
  }
  return span;
}

namespace rnr::recorder::internal {

uint64_t check_writer_gaps(rnr_WriterSequences& w, const char* topic_name, uint64_t now) {
  const uint64_t settled = w.settle_mark;
  w.settle_mark = w.stored.top();
  if (settled <= w.reported_upto || (w.warned_ns != 0 && now - w.warned_ns < kGapWarnIntervalNs)) {
    return 0;
  }
  rnr_GapSpan span = rnr_missing_sequences(w.stored, w.reported_upto, settled);
  const uint64_t settled_lost = w.stored.lost - w.lost_reported;
  if (settled_lost > 0) {
    // Gaps given up with the oldest ranges: known by count and bounds.
    if (span.count == 0 || w.stored.lost_first < span.first) {
      span.first = std::max(w.stored.lost_first, w.reported_upto);
    }
    span.last = std::max(span.last, w.stored.lost_last);
    span.count += settled_lost;
  }
  if (span.count == 0) {
    return 0;
  }
  w.reported_upto = settled;
  w.lost_reported = w.stored.lost;
  w.warned_ns = now;
  rnr_log(RNR_LOG_WARN,
          "Recorder %llu samples of writer %s on topic %s never arrived (sequence numbers "
          "%llu–%llu)",
          static_cast<unsigned long long>(span.count), dds_guid_format(&w.guid).text, topic_name,
          static_cast<unsigned long long>(span.first), static_cast<unsigned long long>(span.last));
  return span.count;
}

uint64_t finish_writer_gaps(const rnr_WriterSequences& w, const char* topic_name) {
  rnr_GapSpan span = rnr_missing_sequences(w.stored, 0, UINT64_MAX);
  if (w.stored.lost > 0) {
    span.first = span.count == 0 ? w.stored.lost_first : std::min(span.first, w.stored.lost_first);
    span.last = std::max(span.last, w.stored.lost_last);
    span.count += w.stored.lost;
  }
  if (span.count > 0) {
    rnr_log(RNR_LOG_WARN,
            "Recorder %llu samples of writer %s on topic %s never arrived (sequence numbers "
            "%llu–%llu)",
            static_cast<unsigned long long>(span.count), dds_guid_format(&w.guid).text, topic_name,
            static_cast<unsigned long long>(span.first),
            static_cast<unsigned long long>(span.last));
  }
  return span.count;
}

void report_rejoin(rnr_WriterSequences& w, const char* topic_name, uint64_t seq) {
  const uint64_t top = w.stored.top();
  if (top == 0 || seq <= top) {
    rnr_log(RNR_LOG_WARN,
            "Recorder Writer %s on topic %s dropped the recorder's reader and matched it again; "
            "no sample was lost",
            dds_guid_format(&w.guid).text, topic_name);
    return;
  }
  // Reported here: the checks while recording leave this gap out.
  w.reported_upto = std::max(w.reported_upto, seq);
  rnr_log(RNR_LOG_WARN,
          "Recorder Writer %s on topic %s dropped the recorder's reader (its lease of the "
          "recorder expired) and matched it again: %llu samples never arrived (sequence numbers "
          "%llu–%llu)",
          dds_guid_format(&w.guid).text, topic_name, static_cast<unsigned long long>(seq - top),
          static_cast<unsigned long long>(top), static_cast<unsigned long long>(seq - 1));
}

}  // namespace rnr::recorder::internal
