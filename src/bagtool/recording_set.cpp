#include "bagtool/recording_set.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <tuple>

#include "bag/bag_reader.h"
#include "bag/bag_split.h"
#include "bag/database_open.h"

namespace rnr::bagtool {
namespace {

// A bag opened for reading: its connection and the reader on it.
struct OpenBag {
  sqlite3* db = nullptr;
  std::unique_ptr<bag::BagReader> reader;
  std::vector<bag::TopicSummary> topics;

  OpenBag() = default;
  OpenBag(const OpenBag&) = delete;
  OpenBag& operator=(const OpenBag&) = delete;
  ~OpenBag() {
    reader.reset();
    sqlite3_close(db);
  }

  bool open(const std::string& path, std::string* error) {
    db = bag::open_existing_bag(path.c_str(), error);
    if (db == nullptr) {
      *error = path + ": " + *error;
      return false;
    }
    reader = std::make_unique<bag::BagReader>(db);
    if (!reader->topics(&topics, false, error)) {
      *error = path + ": " + *error;
      return false;
    }
    return true;
  }

  std::optional<int64_t> topic_id(const std::string& name, const std::string& type) const {
    for (const auto& t : topics) {
      if (t.name == name && t.type == type) {
        return t.id;
      }
    }
    return std::nullopt;
  }
};

bool ends_with(const std::string& text, const std::string& suffix) {
  return text.size() > suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Whether `bag` holds a row of the topic with this timestamp and these bytes.
bool holds(OpenBag& bag, int64_t topic_id, int64_t timestamp, const uint8_t* data, size_t size,
           bool* found, std::string* error) {
  bag::SampleFilter filter;
  filter.topic_ids = {topic_id};
  filter.start = timestamp;
  filter.end = timestamp;
  *found = false;
  return bag.reader->for_each_sample(
      filter,
      [&](const bag::SampleRow& row) {
        *found = row.size == size && (size == 0 || std::memcmp(row.data, data, size) == 0);
        return !*found;
      },
      error);
}

// Statements of the size-only search, finalized on every path.
struct Query {
  sqlite3_stmt* stmt = nullptr;
  Query() = default;
  Query(const Query&) = delete;
  Query& operator=(const Query&) = delete;
  ~Query() { sqlite3_finalize(stmt); }
  bool prepare(sqlite3* db, const char* sql) {
    return sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) == SQLITE_OK;
  }
};

// A repeated row still looking for its original, by what the size-only
// search compares: topic, the original's timestamp and the size.
struct Pending {
  int64_t id = 0;
  const bag::TopicSummary* topic = nullptr;
  int64_t original = 0;
  int64_t size = 0;
};

// The rows of `bags[k]` to leave out, as repeated_rows_to_skip finds them
// but comparing sizes for bytes: SQLite takes a blob's length from the
// row's header, so no sample's bytes are read. Each earlier bag (nearest
// first) is scanned once, over the span of the originals still looked for.
bool repeated_rows_by_size(const std::vector<std::string>& bags, size_t k,
                           std::vector<int64_t>* ids, std::string* error) {
  ids->clear();
  if (k == 0) {
    return true;
  }
  OpenBag bag;
  std::vector<rnr_RepeatedRow> repeated;
  if (!bag.open(bags[k], error) || !rnr_bag_read_repeated_rows(bag.db, &repeated, error)) {
    if (error->rfind(bags[k], 0) != 0) {
      *error = bags[k] + ": " + *error;
    }
    return false;
  }
  std::vector<Pending> pending;
  {
    Query row;
    if (!repeated.empty() &&
        !row.prepare(bag.db, "SELECT topic_id, length(serialized_data) FROM data WHERE _id = ?")) {
      *error = bags[k] + ": cannot read the samples (" + sqlite3_errmsg(bag.db) + ")";
      return false;
    }
    for (const rnr_RepeatedRow& r : repeated) {
      sqlite3_reset(row.stmt);
      sqlite3_bind_int64(row.stmt, 1, r.data_id);
      if (sqlite3_step(row.stmt) != SQLITE_ROW) {
        continue;  // a listed row that is gone
      }
      const int64_t topic_id = sqlite3_column_int64(row.stmt, 0);
      for (const auto& t : bag.topics) {
        if (t.id == topic_id) {
          pending.push_back(
              {r.data_id, &t, r.original_timestamp, sqlite3_column_int64(row.stmt, 1)});
        }
      }
    }
  }
  for (size_t j = k; j-- > 0 && !pending.empty();) {
    OpenBag earlier;
    if (!earlier.open(bags[j], error)) {
      return false;
    }
    // (topic id in bag j, timestamp, size) -> the pending rows that match it.
    std::map<std::tuple<int64_t, int64_t, int64_t>, std::vector<size_t>> wanted;
    int64_t low = INT64_MAX, high = INT64_MIN;
    for (size_t p = 0; p < pending.size(); ++p) {
      if (const auto id = earlier.topic_id(pending[p].topic->name, pending[p].topic->type)) {
        wanted[{*id, pending[p].original, pending[p].size}].push_back(p);
        low = std::min(low, pending[p].original);
        high = std::max(high, pending[p].original);
      }
    }
    if (wanted.empty()) {
      continue;
    }
    Query scan;
    if (!scan.prepare(earlier.db,
                      "SELECT topic_id, timestamp, length(serialized_data) FROM data WHERE "
                      "timestamp >= ? AND timestamp <= ?") ||
        sqlite3_bind_int64(scan.stmt, 1, low) != SQLITE_OK ||
        sqlite3_bind_int64(scan.stmt, 2, high) != SQLITE_OK) {
      *error = bags[j] + ": cannot read the samples (" + sqlite3_errmsg(earlier.db) + ")";
      return false;
    }
    std::vector<bool> found(pending.size(), false);
    int step;
    while ((step = sqlite3_step(scan.stmt)) == SQLITE_ROW) {
      auto it = wanted.find({sqlite3_column_int64(scan.stmt, 0), sqlite3_column_int64(scan.stmt, 1),
                             sqlite3_column_int64(scan.stmt, 2)});
      if (it != wanted.end()) {
        for (size_t p : it->second) {
          found[p] = true;
        }
      }
    }
    if (step != SQLITE_DONE) {
      *error = bags[j] + ": cannot read the samples (" + sqlite3_errmsg(earlier.db) + ")";
      return false;
    }
    std::vector<Pending> left;
    for (size_t p = 0; p < pending.size(); ++p) {
      if (found[p]) {
        ids->push_back(pending[p].id);
      } else {
        left.push_back(pending[p]);
      }
    }
    pending = std::move(left);
  }
  std::sort(ids->begin(), ids->end());
  return true;
}

}  // namespace

bool expand_recording(const std::vector<std::string>& args, std::vector<std::string>* bags,
                      std::string* error) {
  bags->clear();
  std::vector<std::string> paths;
  for (const std::string& arg : args) {
    struct stat st {};
    if (stat(arg.c_str(), &st) != 0) {
      *error = arg + ": " + std::strerror(errno);
      return false;
    }
    if (!S_ISDIR(st.st_mode)) {
      paths.push_back(arg);
      continue;
    }
    std::vector<std::string> inside;
    std::error_code ec;
    for (const auto& item : std::filesystem::directory_iterator(arg, ec)) {
      const std::string name = item.path().filename().string();
      if (ends_with(name, ".sqlite3") && item.is_regular_file(ec)) {
        inside.push_back(item.path().string());
      }
    }
    if (ec) {
      *error = arg + ": " + ec.message();
      return false;
    }
    if (inside.empty()) {
      *error = arg + ": a directory without bags (*.sqlite3)";
      return false;
    }
    std::sort(inside.begin(), inside.end());
    paths.insert(paths.end(), inside.begin(), inside.end());
  }
  // A bag named twice (also through its directory) would be read twice.
  std::set<std::string> seen;
  std::vector<std::tuple<bool, int64_t, std::string>> ordered;
  for (const std::string& path : paths) {
    std::error_code ec;
    const std::string canonical = std::filesystem::weakly_canonical(path, ec).string();
    if (!seen.insert(ec ? path : canonical).second) {
      *error = path + ": named twice";
      return false;
    }
    OpenBag bag;
    int64_t first = 0, last = 0;
    bool any = false;
    if (!bag.open(path, error) || !bag.reader->time_span(&first, &last, &any, error)) {
      if (error->rfind(path, 0) != 0) {
        *error = path + ": " + *error;
      }
      return false;
    }
    ordered.emplace_back(!any, any ? first : 0, path);
  }
  std::stable_sort(ordered.begin(), ordered.end());
  for (auto& [empty, first, path] : ordered) {
    bags->push_back(std::move(path));
  }
  return true;
}

bool repeated_rows_to_skip(const std::vector<std::string>& bags, size_t k,
                           std::vector<int64_t>* ids, std::string* error) {
  ids->clear();
  if (k >= bags.size()) {
    *error = "no such bag in the recording";
    return false;
  }
  if (k == 0) {
    return true;  // nothing before it holds an original
  }
  OpenBag bag;
  std::vector<rnr_RepeatedRow> repeated;
  if (!bag.open(bags[k], error) || !rnr_bag_read_repeated_rows(bag.db, &repeated, error)) {
    if (error->rfind(bags[k], 0) != 0) {
      *error = bags[k] + ": " + *error;
    }
    return false;
  }
  if (repeated.empty()) {
    return true;
  }
  std::vector<int64_t> wanted;
  for (const auto& r : repeated) {
    wanted.push_back(r.data_id);
  }
  bag::SampleChunk rows;
  if (!bag.reader->read_ids(wanted, &rows, error)) {
    *error = bags[k] + ": " + *error;
    return false;
  }
  // The earlier bags, nearest first: the original is usually in the one
  // just before.
  std::vector<std::unique_ptr<OpenBag>> earlier(k);
  for (const bag::SampleRow& row : rows.rows()) {
    const auto r =
        std::lower_bound(repeated.begin(), repeated.end(), row.id,
                         [](const rnr_RepeatedRow& a, int64_t id) { return a.data_id < id; });
    const bag::TopicSummary* topic = nullptr;
    for (const auto& t : bag.topics) {
      if (t.id == row.topic_id) {
        topic = &t;
      }
    }
    if (r == repeated.end() || r->data_id != row.id || topic == nullptr) {
      continue;
    }
    for (size_t j = k; j-- > 0;) {
      if (earlier[j] == nullptr) {
        earlier[j] = std::make_unique<OpenBag>();
        if (!earlier[j]->open(bags[j], error)) {
          return false;
        }
      }
      const auto id = earlier[j]->topic_id(topic->name, topic->type);
      bool found = false;
      if (id &&
          !holds(*earlier[j], *id, r->original_timestamp, row.data, row.size, &found, error)) {
        *error = bags[j] + ": " + *error;
        return false;
      }
      if (found) {
        ids->push_back(row.id);
        break;
      }
    }
  }
  std::sort(ids->begin(), ids->end());
  return true;
}

bool names_recording(const std::vector<std::string>& args) {
  struct stat st {};
  return args.size() > 1 ||
         (args.size() == 1 && stat(args[0].c_str(), &st) == 0 && S_ISDIR(st.st_mode));
}

bool open_recording(const std::vector<std::string>& args, std::vector<RecordingBag>* bags,
                    std::string* error, bool compare_bytes) {
  bags->clear();
  std::vector<std::string> ordered;
  if (!expand_recording(args, &ordered, error)) {
    return false;
  }
  for (size_t k = 0; k < ordered.size(); ++k) {
    RecordingBag bag;
    bag.path = ordered[k];
    OpenBag open;
    if (!open.open(bag.path, error) ||
        !open.reader->time_span(&bag.first, &bag.last, &bag.any, error)) {
      if (error->rfind(bag.path, 0) != 0) {
        *error = bag.path + ": " + *error;
      }
      return false;
    }
    if (!(compare_bytes ? repeated_rows_to_skip(ordered, k, &bag.skipped, error)
                        : repeated_rows_by_size(ordered, k, &bag.skipped, error))) {
      return false;
    }
    bags->push_back(std::move(bag));
  }
  return true;
}

}  // namespace rnr::bagtool
