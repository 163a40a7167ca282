// The bag's `sample_sources` table: for each recorded sample (by its
// `data._id`), the writer it came from (`writers._id`), the source timestamp
// the writer gave it and the writer's sequence number of it. One table row
// holds a run of one writer's samples with consecutive ids and consecutive
// sequence numbers (first_data_id, count, writer_id, first_sequence, and the
// source timestamps as count 8-byte little-endian integers), so that a
// writer's stream costs a row per batch. The recorder creates the table;
// its rows are written by the store thread in the same transaction as their
// data rows. Bags without it stay valid: readers find no rows then.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "bag/database.h"

// Who wrote a sample and when. A zero field is not known and stored as NULL;
// a source with all three zero is not stored at all.
struct rnr_SampleSource {
  int32_t writer_id;          // writers._id of the writer, 0 when not catalogued
  uint64_t source_timestamp;  // ns since the Unix epoch, as the writer stamped it
  uint64_t sequence;          // the writer's sequence number of the sample
};

// Creates the table unless it exists, and from then on stores the sources
// handed to rnr_Database_insert_data_with_source. False (logged) when it
// cannot.
bool rnr_Database_create_sample_sources_table(rnr_Database* store);

// rnr_Database_insert_data, with the sample's source kept beside its row
// (when the store has the table and `source` is not null).
bool rnr_Database_insert_data_with_source(rnr_Database* store, const rnr_DataRow* row,
                                          const rnr_SampleSource* source);

namespace rnr::bag {

constexpr const char* kSampleSourcesTable = "sample_sources";

// True when the bag has the table (false also when that cannot be read).
bool has_sample_sources(sqlite3* db);

// One row of the table.
struct SampleSourceRow {
  int64_t data_id = 0;
  int64_t writer_id = 0;  // 0: NULL
  int64_t source_timestamp = 0;
  int64_t sequence = 0;
  bool has_writer = false;
  bool has_source_timestamp = false;
  bool has_sequence = false;
};

// Finds the source rows of samples asked for in ascending id order, reading
// the table a window of runs at a time (each window a short read of its
// own); a lower id than the last asked for starts again from there. On a bag
// without the table it finds nothing.
class SampleSourceCursor {
 public:
  SampleSourceCursor() = default;
  ~SampleSourceCursor();
  SampleSourceCursor(const SampleSourceCursor&) = delete;
  SampleSourceCursor& operator=(const SampleSourceCursor&) = delete;

  // Reads through `db` (owned by the caller, open while the cursor is used).
  bool open(sqlite3* db, std::string* error);
  bool present() const { return present_; }
  // The row of sample `data_id` in `*out`, or null there when it has none.
  // False (with `error`) when the table cannot be read.
  bool find(int64_t data_id, const SampleSourceRow** out, std::string* error);

 private:
  bool load(int64_t from_id, std::string* error);

  sqlite3* db_ = nullptr;
  sqlite3_stmt* stmt_ = nullptr;
  bool present_ = false;
  std::vector<SampleSourceRow> window_;
  size_t next_ = 0;
  int64_t window_from_ = 0;     // the window holds every row with data_id >= this ...
  bool window_to_end_ = false;  // ... up to its last row, or to the end of the table
};

// The GUID text of each catalogued writer, by writers._id.
bool writer_guids(sqlite3* db, std::unordered_map<int64_t, std::string>* out, std::string* error);

// How many samples of a topic one writer wrote, by the source table.
struct WriterSampleCount {
  int64_t topic_id = 0;  // the topic of the writer's first sample; 0 when not found
  int64_t writer_id = 0;
  uint64_t samples = 0;
};

// The samples per catalogued writer, ordered by topic id then writer id; none
// for a bag without the table. Reads the source table and one data row per writer
// (its topic), never the sample bytes.
bool samples_per_writer(sqlite3* db, std::vector<WriterSampleCount>* out, std::string* error);

}  // namespace rnr::bag
