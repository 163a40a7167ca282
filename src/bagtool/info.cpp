// `info`: what a bag holds, as a table.
#include <sys/stat.h>

#include <algorithm>
#include <cinttypes>
#include <ctime>
#include <string>
#include <vector>

#include "bag/bag_reader.h"
#include "bagtool/commands.h"
#include "bagtool/qos_view.h"

namespace rnr::bagtool {

using bag::BagReader;
using bag::TopicSummary;

namespace {

std::string human_size(uint64_t bytes) {
  static const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  double value = static_cast<double>(bytes);
  size_t unit = 0;
  while (value >= 1024 && unit + 1 < sizeof units / sizeof units[0]) {
    value /= 1024;
    ++unit;
  }
  char buf[32];
  snprintf(buf, sizeof buf, unit == 0 ? "%.0f %s" : "%.1f %s", value, units[unit]);
  return buf;
}

// "2024-05-01 12:00:00.123 +0200", local time.
std::string local_time(int64_t ns) {
  const time_t seconds = static_cast<time_t>(ns / 1000000000);
  struct tm tm {};
  if (ns < 0 || localtime_r(&seconds, &tm) == nullptr) {
    return std::to_string(ns) + " ns";
  }
  char date[40], zone[8];
  strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &tm);
  strftime(zone, sizeof zone, "%z", &tm);
  char buf[64];
  snprintf(buf, sizeof buf, "%s.%03d %s", date, static_cast<int>(ns / 1000000 % 1000), zone);
  return buf;
}

// last - first in ns as a double, exact in 64 bits: the difference of two
// int64 times (last >= first) always fits in a uint64.
double span_ns(int64_t first, int64_t last) {
  return static_cast<double>(static_cast<uint64_t>(last) - static_cast<uint64_t>(first));
}

std::string seconds_text(double seconds) {
  char buf[32];
  snprintf(buf, sizeof buf, "%.3f s", seconds);
  return buf;
}

// Left-aligned columns, two blanks apart.
void print_table(FILE* out, const std::vector<std::vector<std::string>>& rows) {
  std::vector<size_t> widths;
  for (const auto& row : rows) {
    widths.resize(std::max(widths.size(), row.size()));
    for (size_t c = 0; c < row.size(); ++c) {
      widths[c] = std::max(widths[c], row[c].size());
    }
  }
  for (const auto& row : rows) {
    std::string line;
    for (size_t c = 0; c < row.size(); ++c) {
      line += row[c];
      if (c + 1 < row.size()) {
        line.append(widths[c] - row[c].size() + 2, ' ');
      }
    }
    fprintf(out, "%s\n", line.c_str());
  }
}

}  // namespace

int run_info(const std::string& bag, FILE* out) {
  BagReader reader;
  std::string error;
  std::vector<TopicSummary> topics;
  std::vector<std::string> writers;
  std::vector<rnr_WriterQosRow> writer_qos;
  if (!reader.open(bag, &error) || !reader.topics(&topics, true, &error) ||
      !reader.writers(&writers, &error) || !reader.writer_qos(&writer_qos, &error)) {
    return report_failure(bag + ": " + error);
  }
  struct stat st {};
  const uint64_t file_size = stat(bag.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;

  uint64_t samples = 0;
  int64_t first = 0, last = 0;
  for (const auto& t : topics) {
    if (t.samples == 0) {
      continue;
    }
    first = samples == 0 ? t.first : std::min(first, t.first);
    last = samples == 0 ? t.last : std::max(last, t.last);
    samples += t.samples;
  }

  std::vector<std::vector<std::string>> head = {
      {"bag:", bag},
      {"size:", human_size(file_size) + " (" + std::to_string(file_size) + " bytes)"},
      {"start:", samples > 0 ? local_time(first) : "-"},
      {"end:", samples > 0 ? local_time(last) : "-"},
      {"duration:", samples > 0 ? seconds_text(span_ns(first, last) / 1e9) : "-"},
      {"samples:", std::to_string(samples)},
      {"topics:", std::to_string(topics.size())},
      {"writers:", std::to_string(writers.size())}};
  print_table(out, head);

  std::vector<std::vector<std::string>> table = {
      {"topic", "type", "keyed", "samples", "rate", "size", "type description"}};
  for (const auto& t : topics) {
    std::string rate = "-";
    if (t.samples > 1 && t.last > t.first) {
      char buf[32];
      snprintf(buf, sizeof buf, "%.2f Hz",
               static_cast<double>(t.samples - 1) * 1e9 / span_ns(t.first, t.last));
      rate = buf;
    }
    table.push_back({t.name, t.type, t.metastring ? (t.keyed ? "yes" : "no") : "-",
                     std::to_string(t.samples), rate, human_size(t.bytes),
                     t.metastring && !t.metastring->empty() ? "stored" : "none"});
  }
  fprintf(out, "\n");
  print_table(out, table);

  fprintf(out, "\nwriters (GUIDs, in order of discovery):\n");
  for (const auto& guid : writers) {
    fprintf(out, "  %s\n", guid.c_str());
  }
  print_writer_qos(out, topics, writer_qos);
  if (fflush(out) != 0 || ferror(out)) {
    return report_failure("cannot write the summary");
  }
  return 0;
}

}  // namespace rnr::bagtool
