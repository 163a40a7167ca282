#include "bagtool/recording_set.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
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

}  // namespace rnr::bagtool
