// The read side of the bag format, for every reader of a bag (the replayer,
// the inspection tool, cut and merge): topics, writers and samples. Samples
// are read in _id order a chunk at a time (keyset: the rows after the last
// id seen), so that no read transaction outlives one chunk and ids need not
// run 1..N.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "bag/writer_qos.h"

struct sqlite3;
struct sqlite3_stmt;

namespace rnr::bag {

// One topics row, with what the data table holds for it when asked for.
struct TopicSummary {
  int64_t id = 0;
  std::string name;
  std::string type;
  std::optional<std::string> metastring;
  int64_t is_with_key = 0;  // as stored; NULL reads as 0
  bool keyed = false;       // is_with_key != 0
  uint64_t samples = 0;
  uint64_t bytes = 0;  // serialized bytes of its samples
  int64_t first = 0;   // earliest and latest timestamp (ns), when samples > 0
  int64_t last = 0;
};

// One data row. `data` points into the reader's memory and is valid until the
// next read into the same chunk (or during the visit only).
struct SampleRow {
  int64_t id = 0;
  int64_t topic_id = 0;
  int64_t timestamp = 0;
  bool timestamp_is_integer = false;  // false: the column holds text, a real or NULL
  const uint8_t* data = nullptr;
  size_t size = 0;
};

// Which samples a read yields: all by default.
struct SampleFilter {
  std::vector<int64_t> topic_ids;  // empty: every topic
  std::optional<int64_t> start;    // timestamp >= start
  std::optional<int64_t> end;      // timestamp <= end
};

// Rows copied out of the bag, so that they outlive the read transaction.
// Reused from chunk to chunk without new allocations once it has grown.
class SampleChunk {
 public:
  const std::vector<SampleRow>& rows() const { return rows_; }
  bool empty() const { return rows_.empty(); }
  // The id of the last row read, the point after which the next chunk begins.
  int64_t last_id() const { return rows_.empty() ? 0 : rows_.back().id; }
  // Leaves out the rows whose ids `sorted_ids` (ascending) lists; the rows
  // kept still point at their bytes.
  void drop_ids(const std::vector<int64_t>& sorted_ids) {
    std::erase_if(rows_, [&](const SampleRow& row) {
      return std::binary_search(sorted_ids.begin(), sorted_ids.end(), row.id);
    });
  }

 private:
  friend class BagReader;
  std::vector<uint8_t> bytes_;
  std::vector<SampleRow> rows_;
  std::vector<size_t> offsets_;
};

class BagReader {
 public:
  // Rows and bytes a chunk holds at most (at least one row, whatever its size).
  static constexpr size_t kChunkRows = 1024;
  static constexpr size_t kChunkBytes = size_t{1} << 20;

  BagReader() = default;
  // Reads through a connection owned by someone else (the replayer's store).
  explicit BagReader(sqlite3* borrowed) : db_(borrowed) {}
  ~BagReader();
  BagReader(const BagReader&) = delete;
  BagReader& operator=(const BagReader&) = delete;

  // Opens an existing bag (rnr::bag::open_existing_bag: a regular file with
  // the three tables; a hot journal is rolled back, nothing else written).
  bool open(const std::string& path, std::string* error);

  // The topics rows in id order; with `statistics` (one pass over the data)
  // also their sample counts, sizes and times.
  bool topics(std::vector<TopicSummary>* out, bool statistics, std::string* error);
  // The catalogued writer GUIDs, in order of discovery.
  bool writers(std::vector<std::string>* out, std::string* error);
  // The offered QoS of each writer of each topic, by topic then writer;
  // none for a bag recorded without them.
  bool writer_qos(std::vector<rnr_WriterQosRow>* out, std::string* error);
  // The number of data rows the filter selects.
  bool count(const SampleFilter& filter, uint64_t* out, std::string* error);
  // The earliest and latest timestamp of the whole bag; false in `any` when
  // it holds no sample with an integer timestamp.
  bool time_span(int64_t* first, int64_t* last, bool* any, std::string* error);
  // The next rows the filter selects after `after_id`, in _id order: at most
  // kChunkRows, and no more once kChunkBytes are held. An empty chunk is the
  // end of the bag.
  bool read_chunk(const SampleFilter& filter, int64_t after_id, SampleChunk* chunk,
                  std::string* error);
  // Visits the selected rows in id order, chunk by chunk; stops early (with
  // success) when `visit` returns false.
  bool for_each_sample(const SampleFilter& filter,
                       const std::function<bool(const SampleRow&)>& visit, std::string* error);
  // As for_each_sample, without copying the rows: each points into SQLite's
  // own memory and is visited while its chunk's read transaction is open.
  // Only for visits that never wait long (a writer of a growing bag waits
  // for them); one that writes to a pipe or terminal is not.
  bool for_each_sample_in_place(const SampleFilter& filter,
                                const std::function<bool(const SampleRow&)>& visit,
                                std::string* error);
  // The id of the latest sample (greatest timestamp, then greatest id) of
  // each of the given topics with a timestamp before `before`, in id order.
  bool latest_before(const std::vector<int64_t>& topic_ids, int64_t before,
                     std::vector<int64_t>* ids, std::string* error);
  // The first sample (lowest id) of a topic; an empty chunk when it has none.
  bool first_sample(int64_t topic_id, SampleChunk* chunk, std::string* error);
  // The rows of the given ids, in the order given (missing ones left out).
  bool read_ids(const std::vector<int64_t>& ids, SampleChunk* chunk, std::string* error);
  // The open connection, for the readers of the bag's further tables
  // (instance_events.h, sample_sources.h); null before open.
  sqlite3* connection() const { return db_; }

 private:
  bool fail(const char* what, std::string* error);
  sqlite3_stmt* chunk_statement(const SampleFilter& filter, std::string* error);
  // Steps the chunk query over the rows after `after_id` (at most
  // kChunkRows), calling `on_row(stmt)` for each until it returns false.
  template <typename OnRow>
  bool step_chunk(const SampleFilter& filter, int64_t after_id, OnRow on_row, std::string* error);

  sqlite3* db_ = nullptr;
  bool owned_ = false;
  // The chunk query of the last filter read, kept prepared between chunks.
  sqlite3_stmt* chunk_stmt_ = nullptr;
  std::string chunk_sql_;
};

}  // namespace rnr::bag
