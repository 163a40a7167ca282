#include "bag/sample_sources.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "bag/database_internal.h"
#include "bag/sample_sources_internal.h"
#include "bag/sqlite_busy.h"
#include "log/logger.h"

namespace {

using rnr::bag::internal::Statement;

constexpr const char* kCreateSampleSources =
    "CREATE TABLE IF NOT EXISTS sample_sources (  first_data_id INTEGER PRIMARY KEY NOT NULL,  "
    "count INTEGER NOT NULL,  writer_id INTEGER,  first_sequence INTEGER,  source_timestamps "
    "BLOB)";
constexpr const char kInsertPrefix[] =
    "INSERT INTO sample_sources(first_data_id, count, writer_id, first_sequence, "
    "source_timestamps) VALUES ";
constexpr const char kInsertGroup[] = "(?,?,?,?,?)";
constexpr size_t kParamsPerRun = 5;
// Rows one statement inserts at most (320 parameters, within any SQLite's
// limit).
constexpr size_t kPieceRuns = 64;
// Runs one window of the cursor reads, and the most samples a run may
// stand for (a larger count is a damaged row, cut to this).
constexpr int kWindowRuns = 64;
constexpr int64_t kMaxRunSamples = 65536;

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

// Whether `next` continues the run that `last` ends: the next sample of the
// same writer, with the next sequence number (or, like the run, none).
bool continues(const rnr::bag::internal::SourceRow& last,
               const rnr::bag::internal::SourceRow& next) {
  return next.data_id == last.data_id + 1 && next.source.writer_id == last.source.writer_id &&
         (last.source.sequence == 0 ? next.source.sequence == 0
                                    : next.source.sequence == last.source.sequence + 1);
}

void append_le64(std::string* out, uint64_t value) {
  for (int i = 0; i < 8; ++i) {
    out->push_back(static_cast<char>(value >> (8 * i) & 0xffu));
  }
}

uint64_t read_le64(const uint8_t* p) {
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) {
    value = value << 8 | p[i];
  }
  return value;
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
                                        sqlite3_stmt** cached_piece, sqlite3_stmt** cached_single,
                                        std::string* error, int* rc) {
  // The runs, their source times one after another in `times`.
  struct Run {
    size_t first;  // index into rows
    size_t count;
  };
  std::vector<Run> runs;
  runs.reserve(count);
  std::string times;
  times.reserve(count * 8);
  for (size_t at = 0; at < count;) {
    size_t end = at + 1;
    while (end < count && end - at < static_cast<size_t>(kMaxRunSamples) &&
           continues(rows[end - 1], rows[end])) {
      ++end;
    }
    runs.push_back({at, end - at});
    for (size_t i = at; i < end; ++i) {
      append_le64(&times, rows[i].source.source_timestamp);
    }
    at = end;
  }
  for (size_t r = 0; r < runs.size();) {
    const size_t n = std::min(kPieceRuns, runs.size() - r);
    sqlite3_stmt** cached = n == kPieceRuns ? cached_piece : n == 1 ? cached_single : nullptr;
    Statement own;
    sqlite3_stmt* stmt = cached != nullptr ? *cached : nullptr;
    if (stmt == nullptr) {
      *rc = sqlite3_prepare_v2(store->db, insert_text(n).c_str(), -1, &own.stmt, nullptr);
      if (*rc != SQLITE_OK) {
        *error = describe_error(store->db);
        return false;
      }
      stmt = own.stmt;
      if (cached != nullptr) {
        *cached = own.stmt;
        own.stmt = nullptr;
      }
    }
    bool bound = true;
    for (size_t k = 0; k < n && bound; ++k) {
      const Run& run = runs[r + k];
      const SourceRow& first = rows[run.first];
      const int base = static_cast<int>(k * kParamsPerRun);
      bound =
          sqlite3_bind_int64(stmt, base + 1, first.data_id) == SQLITE_OK &&
          sqlite3_bind_int64(stmt, base + 2, static_cast<sqlite3_int64>(run.count)) == SQLITE_OK &&
          bind_known(stmt, base + 3, static_cast<uint32_t>(first.source.writer_id)) == SQLITE_OK &&
          bind_known(stmt, base + 4, first.source.sequence) == SQLITE_OK &&
          sqlite3_bind_blob(stmt, base + 5, times.data() + 8 * run.first,
                            static_cast<int>(8 * run.count), SQLITE_STATIC) == SQLITE_OK;
    }
    *rc = bound ? sqlite3_step(stmt) : SQLITE_MISUSE;
    if (*rc != SQLITE_DONE) {
      *error = bound ? describe_error(store->db) : "cannot bind the sample sources";
      *rc = bound ? sqlite3_extended_errcode(store->db) : *rc;
      sqlite3_reset(stmt);
      return false;
    }
    sqlite3_reset(stmt);
    r += n;
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
  // Opened again on another bag: nothing of the one before is kept.
  sqlite3_finalize(stmt_);
  stmt_ = nullptr;
  window_.clear();
  next_ = 0;
  window_from_ = 0;
  window_to_end_ = false;
  db_ = db;
  present_ = has_sample_sources(db);
  if (!present_) {
    return true;
  }
  // The runs from the one that holds ?1 (or the first after it) on.
  if (sqlite3_prepare_v2(db,
                         "SELECT first_data_id, count, writer_id, first_sequence, "
                         "source_timestamps FROM sample_sources WHERE first_data_id >= "
                         "coalesce((SELECT max(first_data_id) FROM sample_sources WHERE "
                         "first_data_id <= ?1), ?1) ORDER BY first_data_id LIMIT ?2",
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
  sqlite3_bind_int(stmt_, 2, kWindowRuns);
  int step;
  int runs = 0;
  while ((step = sqlite3_step(stmt_)) == SQLITE_ROW) {
    ++runs;
    const int64_t first = sqlite3_column_int64(stmt_, 0);
    const int64_t count = std::clamp<int64_t>(sqlite3_column_int64(stmt_, 1), 0, kMaxRunSamples);
    const bool has_writer = sqlite3_column_type(stmt_, 2) == SQLITE_INTEGER;
    const int64_t writer = has_writer ? sqlite3_column_int64(stmt_, 2) : 0;
    const bool has_sequence = sqlite3_column_type(stmt_, 3) == SQLITE_INTEGER;
    const int64_t sequence = has_sequence ? sqlite3_column_int64(stmt_, 3) : 0;
    const auto* times = static_cast<const uint8_t*>(sqlite3_column_blob(stmt_, 4));
    const int64_t stamped = times == nullptr ? 0 : sqlite3_column_bytes(stmt_, 4) / 8;
    for (int64_t k = 0; k < count && first <= INT64_MAX - k; ++k) {
      if (first + k < from_id) {
        continue;
      }
      SampleSourceRow row;
      row.data_id = first + k;
      row.has_writer = has_writer;
      row.writer_id = writer;
      row.has_sequence = has_sequence;
      row.sequence = has_sequence ? sequence + k : 0;
      const uint64_t time = k < stamped ? read_le64(times + 8 * k) : 0;
      row.has_source_timestamp = time != 0 && time <= static_cast<uint64_t>(INT64_MAX);
      row.source_timestamp = row.has_source_timestamp ? static_cast<int64_t>(time) : 0;
      window_.push_back(row);
    }
  }
  // The read transaction ends with the reset.
  sqlite3_reset(stmt_);
  if (step != SQLITE_DONE) {
    *error = std::string("cannot read the sample sources: ") + sqlite3_errmsg(db_);
    window_.clear();
    return false;
  }
  window_to_end_ = runs < kWindowRuns;
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
  if (sqlite3_prepare_v2(db, "SELECT first_data_id, count, writer_id FROM sample_sources", -1, &raw,
                         nullptr) != SQLITE_OK) {
    return failed(raw);
  }
  int step;
  while ((step = sqlite3_step(raw)) == SQLITE_ROW) {
    const int64_t data_id = sqlite3_column_int64(raw, 0);
    const int64_t count = std::clamp<int64_t>(sqlite3_column_int64(raw, 1), 0, kMaxRunSamples);
    if (sqlite3_column_type(raw, 2) != SQLITE_INTEGER || count == 0) {
      continue;  // a writer that was not catalogued
    }
    Figures& f = writers[sqlite3_column_int64(raw, 2)];
    if (f.samples == 0 || data_id < f.first_id) {
      f.first_id = data_id;
    }
    f.samples += static_cast<uint64_t>(count);
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
