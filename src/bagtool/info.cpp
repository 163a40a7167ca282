// `info`: what a bag holds, as a table.
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "bag/bag_reader.h"
#include "bag/database_open.h"
#include "bag/sample_sources.h"
#include "bagtool/commands.h"
#include "bagtool/instance_event_text.h"
#include "bagtool/progress.h"
#include "bagtool/qos_view.h"
#include "bagtool/recording_set.h"
#include "bagtool/signals.h"
#include "bagtool/supplied_types.h"

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

struct ConnectionCloser {
  void operator()(sqlite3* db) const { sqlite3_close(db); }
};
struct StatementCloser {
  void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementCloser>;

// The least or greatest timestamp of a topic as SQLite's MIN and MAX find
// it: NULL is left out, numbers come before text, text before blobs; text
// and blobs compare bytewise. Only a value of another class than INTEGER is
// kept as bytes (a bag's timestamps are integers).
class Extreme {
 public:
  // Takes the statement's column when it is beyond the value held.
  void offer(sqlite3_stmt* stmt, int column, bool least) {
    const int type = sqlite3_column_type(stmt, column);
    if (type == SQLITE_NULL) {
      return;
    }
    if (type == SQLITE_INTEGER && (!held_ || type_ == SQLITE_INTEGER)) {
      const int64_t value = sqlite3_column_int64(stmt, column);
      if (!held_ || (least ? value < integer_ : value > integer_)) {
        integer_ = value;
      }
      held_ = true;
      type_ = SQLITE_INTEGER;
      return;
    }
    const int order = held_ ? compare(stmt, column, type) : (least ? -1 : 1);
    if (least ? order < 0 : order > 0) {
      type_ = type;
      integer_ = sqlite3_column_int64(stmt, column);
      real_ = sqlite3_column_double(stmt, column);
      const auto* bytes = static_cast<const char*>(sqlite3_column_blob(stmt, column));
      bytes_.assign(bytes == nullptr ? "" : bytes,
                    static_cast<size_t>(sqlite3_column_bytes(stmt, column)));
      held_ = true;
    }
  }
  // The value as sqlite3_column_int64 gives it (0 when none was offered).
  int64_t value(sqlite3* db) const {
    if (!held_ || type_ == SQLITE_INTEGER) {
      return integer_;
    }
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT ?", -1, &raw, nullptr) != SQLITE_OK) {
      sqlite3_finalize(raw);
      return 0;
    }
    Statement stmt(raw);
    if (type_ == SQLITE_FLOAT) {
      sqlite3_bind_double(raw, 1, real_);
    } else if (type_ == SQLITE_TEXT) {
      sqlite3_bind_text(raw, 1, bytes_.data(), static_cast<int>(bytes_.size()), SQLITE_STATIC);
    } else {
      sqlite3_bind_blob(raw, 1, bytes_.data(), static_cast<int>(bytes_.size()), SQLITE_STATIC);
    }
    return sqlite3_step(raw) == SQLITE_ROW ? sqlite3_column_int64(raw, 0) : 0;
  }

 private:
  static int rank(int type) { return type == SQLITE_TEXT ? 2 : type == SQLITE_BLOB ? 3 : 1; }
  // The column against the value held: <0, 0, >0.
  int compare(sqlite3_stmt* stmt, int column, int type) const {
    if (rank(type) != rank(type_)) {
      return rank(type) < rank(type_) ? -1 : 1;
    }
    if (rank(type) == 1) {
      const long double a = type == SQLITE_INTEGER
                                ? static_cast<long double>(sqlite3_column_int64(stmt, column))
                                : static_cast<long double>(sqlite3_column_double(stmt, column));
      const long double b = type_ == SQLITE_INTEGER ? static_cast<long double>(integer_)
                                                    : static_cast<long double>(real_);
      return a < b ? -1 : a > b ? 1 : 0;
    }
    const auto* bytes = static_cast<const char*>(sqlite3_column_blob(stmt, column));
    const std::string_view a(bytes == nullptr ? "" : bytes,
                             static_cast<size_t>(sqlite3_column_bytes(stmt, column)));
    return a.compare(bytes_);
  }

  bool held_ = false;
  int type_ = SQLITE_NULL;
  int64_t integer_ = 0;
  double real_ = 0;
  std::string bytes_;
};

struct TopicFigures {
  uint64_t samples = 0;
  uint64_t bytes = 0;
  Extreme first, last;
};

// The samples, sizes and times of the listed topics, from one plain scan of
// the data table: SQLite takes a blob's length from its row header without
// reading the blob, and nothing is sorted, so memory stays small whatever
// the bag's size (grouping in SQL would copy every blob into a sorter).
// Stops early on a stop signal (true, with the figures so far). The rows
// listed in `skipped` (ascending ids) are not counted.
bool topic_figures(sqlite3* db, std::vector<TopicSummary>* topics, std::string* error,
                   const std::vector<int64_t>* skipped = nullptr) {
  const bool skipping = skipped != nullptr && !skipped->empty();
  uint64_t total = 0;
  if (Progress::wanted()) {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT COUNT(*) FROM data", -1, &raw, nullptr) == SQLITE_OK &&
        sqlite3_step(raw) == SQLITE_ROW) {
      total = static_cast<uint64_t>(sqlite3_column_int64(raw, 0));
    }
    sqlite3_finalize(raw);
  }
  std::unordered_map<int64_t, TopicFigures> figures;
  for (const auto& t : *topics) {
    figures.try_emplace(t.id);
  }
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db,
                         skipping
                             ? "SELECT topic_id, length(serialized_data), timestamp, _id FROM data"
                             : "SELECT topic_id, length(serialized_data), timestamp FROM data",
                         -1, &raw, nullptr) != SQLITE_OK) {
    sqlite3_finalize(raw);
    *error = std::string("cannot read the samples: ") + sqlite3_errmsg(db);
    return false;
  }
  Statement stmt(raw);
  Progress progress(total);
  int step;
  while ((step = sqlite3_step(raw)) == SQLITE_ROW && stop_signal() == 0) {
    progress.step();
    if (skipping &&
        std::binary_search(skipped->begin(), skipped->end(), sqlite3_column_int64(raw, 3))) {
      continue;
    }
    auto it = figures.find(sqlite3_column_int64(raw, 0));
    if (it == figures.end()) {
      continue;
    }
    TopicFigures& f = it->second;
    ++f.samples;
    f.bytes += static_cast<uint64_t>(sqlite3_column_int64(raw, 1));
    f.first.offer(raw, 2, true);
    f.last.offer(raw, 2, false);
  }
  progress.finish();
  if (step != SQLITE_ROW && step != SQLITE_DONE) {
    *error = std::string("cannot read the samples: ") + sqlite3_errmsg(db);
    return false;
  }
  for (auto& t : *topics) {
    const TopicFigures& f = figures.at(t.id);
    t.samples = f.samples;
    t.bytes = f.bytes;
    t.first = f.first.value(db);
    t.last = f.last.value(db);
  }
  return true;
}

// The samples each writer wrote, per topic, from the bag's sample sources;
// nothing for a bag recorded without them.
bool print_samples_per_writer(FILE* out, sqlite3* db, const std::vector<TopicSummary>& topics,
                              std::string* error) {
  std::vector<bag::WriterSampleCount> counts;
  std::unordered_map<int64_t, std::string> guids;
  if (!bag::samples_per_writer(db, &counts, error) ||
      (!counts.empty() && !bag::writer_guids(db, &guids, error))) {
    return false;
  }
  if (counts.empty()) {
    return true;
  }
  fprintf(out, "\nsamples per writer (from the sample sources):\n");
  for (const auto& t : topics) {
    bool named = false;
    for (const auto& c : counts) {
      if (c.topic_id != t.id) {
        continue;
      }
      if (!named) {
        fprintf(out, "  topic %s:\n", t.name.c_str());
        named = true;
      }
      const auto guid = guids.find(c.writer_id);
      fprintf(out, "    %s  %llu\n",
              guid != guids.end() && !guid->second.empty() ? guid->second.c_str() : "-",
              static_cast<unsigned long long>(c.samples));
    }
  }
  return true;
}

// The summary below the lines that name the bag or the recording: its size,
// time span and counts, the table of its topics, its writers and their QoS.
void print_summary(FILE* out, std::vector<std::vector<std::string>> head, uint64_t file_size,
                   const std::vector<TopicSummary>& topics, const std::vector<std::string>& writers,
                   const std::vector<rnr_WriterQosRow>& writer_qos) {
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

  const std::vector<std::vector<std::string>> counts = {
      {"size:", human_size(file_size) + " (" + std::to_string(file_size) + " bytes)"},
      {"start:", samples > 0 ? local_time(first) : "-"},
      {"end:", samples > 0 ? local_time(last) : "-"},
      {"duration:", samples > 0 ? seconds_text(span_ns(first, last) / 1e9) : "-"},
      {"samples:", std::to_string(samples)},
      {"topics:", std::to_string(topics.size())},
      {"writers:", std::to_string(writers.size())}};
  head.insert(head.end(), counts.begin(), counts.end());
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
                     !t.metastring || t.metastring->empty()   ? "none"
                     : is_supplied_description(*t.metastring) ? "supplied"
                                                              : "stored"});
  }
  fprintf(out, "\n");
  print_table(out, table);

  fprintf(out, "\nwriters (GUIDs, in order of discovery):\n");
  for (const auto& guid : writers) {
    fprintf(out, "  %s\n", guid.c_str());
  }
  print_writer_qos(out, topics, writer_qos);
}
}  // namespace

int run_info(const std::string& bag, FILE* out) {
  std::string error;
  std::unique_ptr<sqlite3, ConnectionCloser> db(bag::open_existing_bag(bag.c_str(), &error));
  if (db == nullptr) {
    return report_failure(bag + ": " + error);
  }
  BagReader reader(db.get());
  std::vector<TopicSummary> topics;
  std::vector<std::string> writers;
  std::vector<rnr_WriterQosRow> writer_qos;
  if (!reader.topics(&topics, false, &error) || !reader.writers(&writers, &error) ||
      !reader.writer_qos(&writer_qos, &error) || !topic_figures(db.get(), &topics, &error)) {
    return report_failure(bag + ": " + error);
  }
  if (stop_signal() != 0) {
    return report_stop("info");
  }
  struct stat st {};
  const uint64_t file_size = stat(bag.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
  print_summary(out, {{"bag:", bag}}, file_size, topics, writers, writer_qos);
  if (!print_samples_per_writer(out, db.get(), topics, &error)) {
    return report_failure(bag + ": " + error);
  }
  if (!print_instance_event_counts(out, db.get(), topics, &error)) {
    return report_failure(bag + ": " + error);
  }
  if (fflush(out) != 0 || ferror(out)) {
    return report_failure("cannot write the summary");
  }
  return 0;
}

// The bags of a split recording as one: topics united by (name, type),
// writers by GUID, each sample once (a repeated row is counted where its
// original is). Read as run_info reads one bag, from the same scan.
int run_info(const std::vector<std::string>& args, FILE* out) {
  if (!names_recording(args)) {
    return run_info(args.empty() ? std::string() : args[0], out);
  }
  std::string error;
  std::vector<RecordingBag> bags;
  if (!open_recording(args, &bags, &error, false)) {
    return report_failure(error);
  }
  std::vector<TopicSummary> topics;
  std::map<std::pair<std::string, std::string>, size_t> topic_index;
  std::vector<std::string> writers;
  std::set<std::string> writer_seen;
  std::vector<rnr_WriterQosRow> writer_qos;
  std::set<std::pair<std::string, int32_t>> qos_seen;
  uint64_t file_size = 0;
  for (const RecordingBag& bag : bags) {
    std::unique_ptr<sqlite3, ConnectionCloser> db(bag::open_existing_bag(bag.path.c_str(), &error));
    if (db == nullptr) {
      return report_failure(bag.path + ": " + error);
    }
    BagReader reader(db.get());
    std::vector<TopicSummary> in_bag;
    std::vector<std::string> bag_writers;
    std::vector<rnr_WriterQosRow> bag_qos;
    if (!reader.topics(&in_bag, false, &error) || !reader.writers(&bag_writers, &error) ||
        !reader.writer_qos(&bag_qos, &error) ||
        !topic_figures(db.get(), &in_bag, &error, &bag.skipped)) {
      return report_failure(bag.path + ": " + error);
    }
    if (stop_signal() != 0) {
      return report_stop("info");
    }
    struct stat st {};
    file_size += stat(bag.path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
    std::map<int64_t, int64_t> united_id;  // the bag's topic id -> the united one
    for (const TopicSummary& t : in_bag) {
      auto [it, added] = topic_index.emplace(std::make_pair(t.name, t.type), topics.size());
      if (added) {
        topics.push_back(t);
        topics.back().id = static_cast<int64_t>(topics.size());
        topics.back().samples = 0;
        topics.back().bytes = 0;
      }
      TopicSummary& u = topics[it->second];
      united_id[t.id] = u.id;
      if (!u.metastring && t.metastring) {
        u.metastring = t.metastring;
        u.is_with_key = t.is_with_key;
        u.keyed = t.keyed;
      }
      if (t.samples > 0) {
        u.first = u.samples == 0 ? t.first : std::min(u.first, t.first);
        u.last = u.samples == 0 ? t.last : std::max(u.last, t.last);
      }
      u.samples += t.samples;
      u.bytes += t.bytes;
    }
    for (const auto& guid : bag_writers) {
      if (writer_seen.insert(guid).second) {
        writers.push_back(guid);
      }
    }
    for (rnr_WriterQosRow& row : bag_qos) {
      auto id = united_id.find(row.topic_id);
      if (id == united_id.end()) {
        continue;
      }
      row.topic_id = static_cast<int32_t>(id->second);
      if (qos_seen.insert({row.guid, row.topic_id}).second) {
        writer_qos.push_back(std::move(row));
      }
    }
  }
  std::stable_sort(
      writer_qos.begin(), writer_qos.end(),
      [](const rnr_WriterQosRow& a, const rnr_WriterQosRow& b) { return a.topic_id < b.topic_id; });

  std::string named;
  for (const auto& arg : args) {
    named.append(named.empty() ? "" : " ").append(arg);
  }
  print_summary(
      out,
      {{"recording:", named},
       {"bags:", std::to_string(bags.size()) + " (" + bags.front().path +
                     (bags.size() > 1 ? " ... " + bags.back().path : std::string()) + ")"}},
      file_size, topics, writers, writer_qos);
  if (fflush(out) != 0 || ferror(out)) {
    return report_failure("cannot write the summary");
  }
  return 0;
}

}  // namespace rnr::bagtool
