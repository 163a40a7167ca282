#include "bag/sample_sources.h"

#include <algorithm>
#include <map>
#include <mutex>

#include "bag/database_internal.h"
#include "bag/sample_sources_internal.h"
#include "bag/sqlite_busy.h"
#include "log/logger.h"

namespace {

using rnr::bag::internal::Statement;

constexpr const char* kCreateSampleSources =
    "CREATE TABLE IF NOT EXISTS sample_sources (  data_id INTEGER PRIMARY KEY NOT NULL,  "
    "writer_id INTEGER,  source_timestamp INTEGER,  sequence INTEGER)";
constexpr const char kInsertPrefix[] =
    "INSERT INTO sample_sources(data_id, writer_id, source_timestamp, sequence) VALUES ";
constexpr const char kInsertGroup[] = "(?,?,?,?)";
constexpr size_t kParamsPerSource = 4;
// Rows one window of the cursor reads.
constexpr int kWindowRows = 1024;

std::string insert_text(size_t rows) {
  std::string text;
  text.reserve(sizeof kInsertPrefix + rows * sizeof kInsertGroup);
  text.append(kInsertPrefix, sizeof kInsertPrefix - 1);
  for (size_t i = 0; i < rows; ++i) {
    if (i > 0) {
      text.push_back(',');
    }
    text.append(kInsertGroup, sizeof kInsertGroup - 1);
  }
  return text;
}

// Binds a value, or NULL for 0 (not known).
int bind_known(sqlite3_stmt* stmt, int index, uint64_t value) {
  return value == 0 ? sqlite3_bind_null(stmt, index)
                    : sqlite3_bind_int64(stmt, index, static_cast<sqlite3_int64>(value));
}

bool bind_source(sqlite3_stmt* stmt, size_t index, const rnr::bag::internal::SourceRow& row) {
  const int base = static_cast<int>(index * kParamsPerSource);
  return sqlite3_bind_int64(stmt, base + 1, row.data_id) == SQLITE_OK &&
         bind_known(stmt, base + 2, static_cast<uint32_t>(row.source.writer_id)) == SQLITE_OK &&
         bind_known(stmt, base + 3, row.source.source_timestamp) == SQLITE_OK &&
         bind_known(stmt, base + 4, row.source.sequence) == SQLITE_OK;
}

}  // namespace

bool rnr_Database_create_sample_sources_table(rnr_Database* store) {
  if (store == nullptr || store->db == nullptr) {
    return false;
  }
  std::lock_guard<std::mutex> lock(store->connection_mutex);
  char* error = nullptr;
  if (sqlite3_exec(store->db, kCreateSampleSources, nullptr, nullptr, &error) != SQLITE_OK) {
    rnr_log(RNR_LOG_ERROR, "Database Cannot create table sample_sources (%s)",
            error != nullptr ? error : "unknown error");
    sqlite3_free(error);
    return false;
  }
  store->sample_sources.store(true);
  return true;
}

bool rnr::bag::internal::insert_sources(rnr_Database* store, const SourceRow* rows, size_t count,
                                        sqlite3_stmt** cached, size_t* cached_rows,
                                        std::string* error, int* rc) {
  const int limit = sqlite3_limit(store->db, SQLITE_LIMIT_VARIABLE_NUMBER, -1);
  const size_t most =
      std::max<size_t>(1, static_cast<size_t>(limit > 0 ? limit : 4) / kParamsPerSource);
  const size_t piece_rows = std::min(count, std::min<size_t>(most, 256));
  for (size_t at = 0; at < count;) {
    const size_t n = std::min(piece_rows, count - at);
    Statement own;
    sqlite3_stmt* stmt = nullptr;
    if (cached != nullptr && *cached != nullptr && *cached_rows == n) {
      stmt = *cached;
    } else {
      *rc = sqlite3_prepare_v2(store->db, insert_text(n).c_str(), -1, &own.stmt, nullptr);
      if (*rc != SQLITE_OK) {
        *error = describe_error(store->db);
        return false;
      }
      stmt = own.stmt;
      if (cached != nullptr && n == piece_rows) {
        sqlite3_finalize(*cached);
        *cached = own.stmt;
        *cached_rows = n;
        own.stmt = nullptr;
      }
    }
    bool bound = true;
    for (size_t i = 0; i < n && bound; ++i) {
      bound = bind_source(stmt, i, rows[at + i]);
    }
    *rc = bound ? sqlite3_step(stmt) : SQLITE_MISUSE;
    if (*rc != SQLITE_DONE) {
      *error = bound ? describe_error(store->db) : "cannot bind the sample sources";
      *rc = bound ? sqlite3_extended_errcode(store->db) : *rc;
      sqlite3_reset(stmt);
      return false;
    }
    sqlite3_reset(stmt);
    at += n;
  }
  return true;
}

namespace rnr::bag {

bool has_sample_sources(sqlite3* db) {
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?", -1,
                         &raw, nullptr) != SQLITE_OK) {
    sqlite3_finalize(raw);
    return false;
  }
  sqlite3_bind_text(raw, 1, kSampleSourcesTable, -1, SQLITE_STATIC);
  const bool found = sqlite3_step(raw) == SQLITE_ROW;
  sqlite3_finalize(raw);
  return found;
}

SampleSourceCursor::~SampleSourceCursor() {
  sqlite3_finalize(stmt_);
}

bool SampleSourceCursor::open(sqlite3* db, std::string* error) {
  db_ = db;
  present_ = has_sample_sources(db);
  if (!present_) {
    return true;
  }
  if (sqlite3_prepare_v2(db,
                         "SELECT data_id, writer_id, source_timestamp, sequence FROM "
                         "sample_sources WHERE data_id >= ?1 ORDER BY data_id LIMIT ?2",
                         -1, &stmt_, nullptr) != SQLITE_OK) {
    *error = std::string("cannot read the sample sources: ") + sqlite3_errmsg(db);
    present_ = false;
    return false;
  }
  return true;
}

bool SampleSourceCursor::load(int64_t from_id, std::string* error) {
  window_.clear();
  next_ = 0;
  window_from_ = from_id;
  sqlite3_bind_int64(stmt_, 1, from_id);
  sqlite3_bind_int(stmt_, 2, kWindowRows);
  int step;
  while ((step = sqlite3_step(stmt_)) == SQLITE_ROW) {
    SampleSourceRow row;
    row.data_id = sqlite3_column_int64(stmt_, 0);
    row.has_writer = sqlite3_column_type(stmt_, 1) == SQLITE_INTEGER;
    row.writer_id = row.has_writer ? sqlite3_column_int64(stmt_, 1) : 0;
    row.has_source_timestamp = sqlite3_column_type(stmt_, 2) == SQLITE_INTEGER;
    row.source_timestamp = row.has_source_timestamp ? sqlite3_column_int64(stmt_, 2) : 0;
    row.has_sequence = sqlite3_column_type(stmt_, 3) == SQLITE_INTEGER;
    row.sequence = row.has_sequence ? sqlite3_column_int64(stmt_, 3) : 0;
    window_.push_back(row);
  }
  // The read transaction ends with the reset.
  sqlite3_reset(stmt_);
  if (step != SQLITE_DONE) {
    *error = std::string("cannot read the sample sources: ") + sqlite3_errmsg(db_);
    window_.clear();
    return false;
  }
  window_to_end_ = window_.size() < static_cast<size_t>(kWindowRows);
  return true;
}

bool SampleSourceCursor::find(int64_t data_id, const SampleSourceRow** out, std::string* error) {
  *out = nullptr;
  if (!present_) {
    return true;
  }
  const bool covered = data_id >= window_from_ && !window_.empty() &&
                       (window_to_end_ || data_id <= window_.back().data_id);
  const bool empty_to_end = window_.empty() && window_to_end_ && data_id >= window_from_;
  if (!covered && !empty_to_end) {
    if (!load(data_id, error)) {
      return false;
    }
  }
  if (next_ > 0 && next_ <= window_.size() && window_[next_ - 1].data_id > data_id) {
    next_ = 0;  // asked again for an earlier row of the window
  }
  while (next_ < window_.size() && window_[next_].data_id < data_id) {
    ++next_;
  }
  if (next_ < window_.size() && window_[next_].data_id == data_id) {
    *out = &window_[next_];
  }
  return true;
}

bool writer_guids(sqlite3* db, std::unordered_map<int64_t, std::string>* out, std::string* error) {
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT _id, guid FROM writers", -1, &raw, nullptr) != SQLITE_OK) {
    sqlite3_finalize(raw);
    *error = std::string("cannot read the writers: ") + sqlite3_errmsg(db);
    return false;
  }
  int step;
  while ((step = sqlite3_step(raw)) == SQLITE_ROW) {
    const auto* text = sqlite3_column_text(raw, 1);
    (*out)[sqlite3_column_int64(raw, 0)] =
        text == nullptr ? std::string()
                        : std::string(reinterpret_cast<const char*>(text),
                                      static_cast<size_t>(sqlite3_column_bytes(raw, 1)));
  }
  sqlite3_finalize(raw);
  if (step != SQLITE_DONE) {
    *error = std::string("cannot read the writers: ") + sqlite3_errmsg(db);
    return false;
  }
  return true;
}

bool samples_per_writer(sqlite3* db, std::vector<WriterSampleCount>* out, std::string* error) {
  if (!has_sample_sources(db)) {
    return true;
  }
  const auto failed = [&](sqlite3_stmt* stmt) {
    *error = std::string("cannot read the sample sources: ") + sqlite3_errmsg(db);
    sqlite3_finalize(stmt);
    return false;
  };
  // One plain scan of the small table, counted here: no sorter, memory by
  // the number of writers.
  struct Figures {
    uint64_t samples = 0;
    int64_t first_id = 0;
  };
  std::map<int64_t, Figures> writers;
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT data_id, writer_id FROM sample_sources", -1, &raw, nullptr) !=
      SQLITE_OK) {
    return failed(raw);
  }
  int step;
  while ((step = sqlite3_step(raw)) == SQLITE_ROW) {
    const int64_t data_id = sqlite3_column_int64(raw, 0);
    if (sqlite3_column_type(raw, 1) != SQLITE_INTEGER) {
      continue;  // a writer that was not catalogued
    }
    Figures& f = writers[sqlite3_column_int64(raw, 1)];
    if (f.samples++ == 0 || data_id < f.first_id) {
      f.first_id = data_id;
    }
  }
  if (step != SQLITE_DONE) {
    return failed(raw);
  }
  sqlite3_finalize(raw);
  raw = nullptr;
  // A writer writes one topic: the topic of its first sample.
  if (sqlite3_prepare_v2(db, "SELECT topic_id FROM data WHERE _id = ?", -1, &raw, nullptr) !=
      SQLITE_OK) {
    return failed(raw);
  }
  std::vector<WriterSampleCount> counts;
  for (const auto& [writer_id, f] : writers) {
    sqlite3_bind_int64(raw, 1, f.first_id);
    step = sqlite3_step(raw);
    WriterSampleCount c;
    c.writer_id = writer_id;
    c.samples = f.samples;
    c.topic_id = step == SQLITE_ROW ? sqlite3_column_int64(raw, 0) : 0;
    sqlite3_reset(raw);
    if (step != SQLITE_ROW && step != SQLITE_DONE) {
      return failed(raw);
    }
    counts.push_back(c);
  }
  sqlite3_finalize(raw);
  std::sort(counts.begin(), counts.end(), [](const auto& a, const auto& b) {
    return a.topic_id != b.topic_id ? a.topic_id < b.topic_id : a.writer_id < b.writer_id;
  });
  out->insert(out->end(), counts.begin(), counts.end());
  return true;
}

}  // namespace rnr::bag
