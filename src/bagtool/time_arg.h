// Times on the command line of quorvin-rnr-bag (--start, --end).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace rnr::bagtool {

// A time as given: seconds from the bag's first sample ("90", "1.25"), or an
// absolute time, either "@SECONDS" since the Unix epoch ("@1700000000.5") or
// a local date and time as `info` prints it ("2024-05-01 12:00:00.250",
// also with a T between date and time).
struct TimeArg {
  bool absolute = false;
  int64_t ns = 0;  // offset, or ns since the Unix epoch
};

// Nothing when the text is none of those forms (or out of range).
std::optional<TimeArg> parse_time_arg(const std::string& text);

// The absolute time in ns for a bag whose first sample is at `bag_start`.
int64_t resolve_time(const TimeArg& time, int64_t bag_start);

}  // namespace rnr::bagtool
