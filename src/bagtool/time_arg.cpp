#include "bagtool/time_arg.h"

#include <cctype>
#include <cstdio>
#include <ctime>
#include <limits>

namespace rnr::bagtool {
namespace {

// "SECONDS[.FRACTION]", at most 9 fraction digits, as ns.
std::optional<int64_t> parse_seconds(const std::string& text) {
  size_t i = 0;
  int64_t seconds = 0;
  while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
    if (seconds > 9000000000) {  // keeps the ns within 64 bits
      return std::nullopt;
    }
    seconds = seconds * 10 + (text[i++] - '0');
  }
  if (i == 0) {
    return std::nullopt;
  }
  int64_t fraction = 0;
  if (i < text.size() && text[i] == '.') {
    ++i;
    int64_t scale = 100000000;
    const size_t digits_from = i;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
      if (i - digits_from >= 9) {
        return std::nullopt;
      }
      fraction += (text[i++] - '0') * scale;
      scale /= 10;
    }
    if (i == digits_from) {
      return std::nullopt;
    }
  }
  if (i != text.size()) {
    return std::nullopt;
  }
  return seconds * 1000000000 + fraction;
}

// A trailing " +HHMM", " -HHMM", "+HH:MM" or "Z" (as `info` prints the
// zone) cut off `text`, as seconds east of UTC.
std::optional<int64_t> take_offset(std::string* text) {
  std::string& t = *text;
  if (!t.empty() && (t.back() == 'Z' || t.back() == 'z')) {
    t.pop_back();
    return 0;
  }
  size_t sign = t.find_last_of("+-");
  // The date's own hyphens stand within its first ten characters.
  if (sign == std::string::npos || sign < 19) {
    return std::nullopt;
  }
  std::string digits;
  for (size_t i = sign + 1; i < t.size(); ++i) {
    if (std::isdigit(static_cast<unsigned char>(t[i])) != 0) {
      digits.push_back(t[i]);
    } else if (t[i] != ':' || i != sign + 3) {
      return std::nullopt;
    }
  }
  if (digits.size() != 4) {
    return std::nullopt;
  }
  const int hours = std::stoi(digits.substr(0, 2)), minutes = std::stoi(digits.substr(2));
  if (hours > 23 || minutes > 59) {
    return std::nullopt;
  }
  const int64_t offset = (hours * 60 + minutes) * 60;
  const bool east = t[sign] == '+';
  t.resize(sign);
  while (!t.empty() && t.back() == ' ') {
    t.pop_back();
  }
  return east ? offset : -offset;
}

// "YYYY-MM-DD HH:MM:SS[.FRACTION]" in local time, or at the given offset from
// UTC when one follows.
std::optional<int64_t> parse_local_date(std::string text) {
  const std::optional<int64_t> offset = take_offset(&text);
  struct tm tm {};
  int consumed = 0;
  char separator = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2d%c%2d:%2d:%2d%n", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                  &separator, &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &consumed) != 7 ||
      (separator != ' ' && separator != 'T') || consumed < 19) {
    return std::nullopt;
  }
  int64_t fraction = 0;
  const std::string rest = text.substr(static_cast<size_t>(consumed));
  if (!rest.empty()) {
    auto parsed = parse_seconds("0" + rest);
    if (rest[0] != '.' || !parsed) {
      return std::nullopt;
    }
    fraction = *parsed;
  }
  const int year = tm.tm_year, month = tm.tm_mon, day = tm.tm_mday;
  const int hour = tm.tm_hour, minute = tm.tm_min, second = tm.tm_sec;
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  tm.tm_isdst = -1;
  const time_t seconds = offset ? timegm(&tm) - *offset : mktime(&tm);
  // mktime normalises: 2024-02-30 would quietly become March 1st.
  if (seconds < 0 || tm.tm_year != year - 1900 || tm.tm_mon != month - 1 || tm.tm_mday != day ||
      tm.tm_hour != hour || tm.tm_min != minute || tm.tm_sec != second) {
    return std::nullopt;
  }
  return static_cast<int64_t>(seconds) * 1000000000 + fraction;
}

}  // namespace

std::optional<TimeArg> parse_time_arg(const std::string& text) {
  if (!text.empty() && text[0] == '@') {
    auto ns = parse_seconds(text.substr(1));
    return ns ? std::optional<TimeArg>(TimeArg{true, *ns}) : std::nullopt;
  }
  if (auto ns = parse_seconds(text)) {
    return TimeArg{false, *ns};
  }
  if (auto ns = parse_local_date(text)) {
    return TimeArg{true, *ns};
  }
  return std::nullopt;
}

int64_t resolve_time(const TimeArg& time, int64_t bag_start) {
  if (time.absolute) {
    return time.ns;
  }
  return time.ns > std::numeric_limits<int64_t>::max() - bag_start
             ? std::numeric_limits<int64_t>::max()
             : bag_start + time.ns;
}

}  // namespace rnr::bagtool
