// Read-only access to a bag for the inspection tool: the file is opened
// without create and never written, whatever state it is in.
#pragma once

#include "bag/writer_qos.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;

namespace rnr::bagtool {

// One topics row with what the data table holds for it.
struct TopicSummary {
  int64_t id = 0;
  std::string name;
  std::string type;
  std::optional<std::string> metastring;
  bool keyed = false;
  uint64_t samples = 0;
  uint64_t bytes = 0;  // serialized bytes of its samples
  int64_t first = 0;   // earliest and latest timestamp (ns), when samples > 0
  int64_t last = 0;
};

// One data row; `data` points into SQLite's memory and is valid during the
// visit only.
struct SampleRow {
  int64_t id = 0;
  int64_t topic_id = 0;
  int64_t timestamp = 0;
  const uint8_t* data = nullptr;
  size_t size = 0;
};

class BagReader {
 public:
  BagReader() = default;
  ~BagReader();
  BagReader(const BagReader&) = delete;
  BagReader& operator=(const BagReader&) = delete;

  // Opens the bag read-only and checks that it has the three bag tables.
  bool open(const std::string& path, std::string* error);

  // The topics rows in id order; with `statistics` (one pass over the data)
  // also their sample counts, sizes and times.
  bool topics(std::vector<TopicSummary>* out, bool statistics, std::string* error);
  // The catalogued writer GUIDs, in order of discovery.
  bool writers(std::vector<std::string>* out, std::string* error);
  // The offered QoS of each writer of each topic, by topic then writer;
  // none for a bag recorded without them.
  bool writer_qos(std::vector<rnr_WriterQosRow>* out, std::string* error);
  // The number of data rows of the given topics (all rows when empty).
  bool count(const std::vector<int64_t>& topic_ids, uint64_t* out, std::string* error);
  // Visits the data rows of the given topics (all when empty) in id order;
  // stops early when `visit` returns false.
  bool for_each_sample(const std::vector<int64_t>& topic_ids,
                       const std::function<bool(const SampleRow&)>& visit, std::string* error);

 private:
  bool fail(const char* what, std::string* error);

  sqlite3* db_ = nullptr;
};

}  // namespace rnr::bagtool
