#include "bag/instance_events.h"

#include <sqlite3.h>

#include <cstring>
#include <mutex>
#include <new>

#include "bag/instance_events_internal.h"
#include "bag/sqlite_busy.h"
#include "log/logger.h"

namespace {

using rnr::bag::internal::PendingInstanceEvent;
using rnr::bag::internal::Statement;
using rnr::bag::internal::WriteResult;

constexpr const char* kCreateInstanceEvents =
    "CREATE TABLE IF NOT EXISTS instance_events (  _id INTEGER PRIMARY KEY AUTOINCREMENT NOT "
    "NULL,  topic_id INTEGER NOT NULL,  after_data_id INTEGER NOT NULL,  timestamp INTEGER NOT "
    "NULL,  kind TEXT NOT NULL,  writer_guid TEXT,  source_timestamp INTEGER,  key BLOB,  "
    "key_hash BLOB,  with_sample INTEGER NOT NULL DEFAULT 0)";
constexpr const char* kInsertEvent =
    "INSERT INTO instance_events(topic_id, after_data_id, timestamp, kind, writer_guid, "
    "source_timestamp, key, key_hash, with_sample) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?)";
constexpr const char* kLastDataId = "SELECT IFNULL(MAX(_id), 0) FROM data";
constexpr const char* kHasTable =
    "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'instance_events'";

bool bind_event(sqlite3_stmt* stmt, const PendingInstanceEvent& e, int64_t after_data_id) {
  const char* kind = rnr_instance_event_kind_text(e.kind);
  bool ok = sqlite3_bind_int64(stmt, 1, e.topic_id) == SQLITE_OK &&
            sqlite3_bind_int64(stmt, 2, after_data_id) == SQLITE_OK &&
            sqlite3_bind_int64(stmt, 3, static_cast<sqlite3_int64>(e.timestamp)) == SQLITE_OK &&
            sqlite3_bind_text(stmt, 4, kind, -1, SQLITE_STATIC) == SQLITE_OK;
  ok = ok && (e.has_writer ? sqlite3_bind_text(stmt, 5, e.writer_guid.c_str(), -1, SQLITE_STATIC)
                           : sqlite3_bind_null(stmt, 5)) == SQLITE_OK;
  ok = ok && (e.source_timestamp != 0
                  ? sqlite3_bind_int64(stmt, 6, static_cast<sqlite3_int64>(e.source_timestamp))
                  : sqlite3_bind_null(stmt, 6)) == SQLITE_OK;
  ok = ok && (e.has_key ? sqlite3_bind_blob(
                              stmt, 7, e.key.empty() ? static_cast<const void*>("") : e.key.data(),
                              static_cast<int>(e.key.size()), SQLITE_STATIC)
                        : sqlite3_bind_null(stmt, 7)) == SQLITE_OK;
  ok = ok &&
       (e.has_key_hash ? sqlite3_bind_blob(stmt, 8, e.key_hash, sizeof e.key_hash, SQLITE_STATIC)
                       : sqlite3_bind_null(stmt, 8)) == SQLITE_OK;
  return ok && sqlite3_bind_int(stmt, 9, e.with_sample ? 1 : 0) == SQLITE_OK;
}

// The greatest data id, 0 when there is none; -1 (error set) on failure.
int64_t last_data_id(sqlite3* db, std::string& error) {
  Statement st;
  if (sqlite3_prepare_v2(db, kLastDataId, -1, &st.stmt, nullptr) != SQLITE_OK ||
      sqlite3_step(st.stmt) != SQLITE_ROW) {
    error = rnr::bag::internal::describe_error(db);
    return -1;
  }
  return sqlite3_column_int64(st.stmt, 0);
}

WriteResult result_of(sqlite3* db) {
  return rnr::bag::internal::is_lock_code(sqlite3_extended_errcode(db)) ? WriteResult::kLocked
                                                                        : WriteResult::kFailed;
}

}  // namespace

const char* rnr_instance_event_kind_text(rnr_InstanceEventKind kind) {
  return kind == RNR_INSTANCE_UNREGISTER ? "unregister" : "dispose";
}

bool rnr_Database_create_instance_events_table(rnr_Database* store) {
  if (store == nullptr || store->db == nullptr) {
    return false;
  }
  std::lock_guard<std::mutex> lock(store->connection_mutex);
  char* error = nullptr;
  if (sqlite3_exec(store->db, kCreateInstanceEvents, nullptr, nullptr, &error) != SQLITE_OK) {
    rnr_log(RNR_LOG_ERROR, "Database Cannot create table instance_events (%s)",
            error != nullptr ? error : "unknown error");
    sqlite3_free(error);
    return false;
  }
  return true;
}

bool rnr::bag::internal::copy_instance_event(const rnr_InstanceEventRow& row, size_t after_rows,
                                             PendingInstanceEvent* out) {
  try {
    out->after_rows = after_rows;
    out->timestamp = row.timestamp;
    out->topic_id = row.topic_id;
    out->kind = row.kind;
    out->source_timestamp = row.source_timestamp;
    out->has_writer = row.writer_guid != nullptr;
    out->writer_guid = row.writer_guid != nullptr ? row.writer_guid : "";
    out->has_key = row.key != nullptr;
    const auto* key = static_cast<const uint8_t*>(row.key);
    out->key.assign(key, key == nullptr ? key : key + row.key_size);
    out->with_sample = row.with_sample;
    out->has_key_hash = row.key_hash != nullptr;
    if (row.key_hash != nullptr) {
      std::memcpy(out->key_hash, row.key_hash, sizeof out->key_hash);
    }
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

WriteResult rnr::bag::internal::insert_pending_events(
    rnr_Database* store, const std::vector<PendingInstanceEvent>& events, size_t rows,
    std::string& error) {
  std::lock_guard<std::mutex> connection(store->connection_mutex);
  const int64_t last = last_data_id(store->db, error);
  if (last < 0) {
    return result_of(store->db);
  }
  // The batch's rows are the last ones of data, one id after another.
  const int64_t before_batch = last - static_cast<int64_t>(rows);
  Statement st;
  if (sqlite3_prepare_v2(store->db, kInsertEvent, -1, &st.stmt, nullptr) != SQLITE_OK) {
    error = describe_error(store->db);
    return result_of(store->db);
  }
  for (const PendingInstanceEvent& e : events) {
    if (!bind_event(st.stmt, e, before_batch + static_cast<int64_t>(e.after_rows))) {
      error = "cannot bind an instance event";
      return WriteResult::kFailed;
    }
    if (sqlite3_step(st.stmt) != SQLITE_DONE) {
      error = describe_error(store->db);
      return result_of(store->db);
    }
    sqlite3_reset(st.stmt);
  }
  return WriteResult::kWritten;
}

bool rnr_Database_insert_instance_event(rnr_Database* store, const rnr_InstanceEventRow* row) {
  if (store == nullptr || row == nullptr || (row->key == nullptr && row->key_size != 0) ||
      row->key_size > INT32_MAX) {
    rnr_log(RNR_LOG_ERROR, "Database Cannot insert instance event: invalid argument");
    return false;
  }
  bool queued = false;
  if (rnr::bag::internal::queue_instance_event(store, *row, &queued)) {
    return true;
  }
  if (queued) {
    return false;  // the bulk insert runs and could not hold it (logged)
  }
  std::vector<PendingInstanceEvent> one(1);
  if (!rnr::bag::internal::copy_instance_event(*row, 0, &one.front())) {
    rnr_log(RNR_LOG_ERROR, "Database Out of memory: Cannot copy instance event (topic_id %u)",
            row->topic_id);
    return false;
  }
  std::string error;
  if (rnr::bag::internal::insert_pending_events(store, one, 0, error) != WriteResult::kWritten) {
    rnr_log(RNR_LOG_ERROR, "Database Cannot insert instance event (%s)", error.c_str());
    return false;
  }
  return true;
}

namespace rnr::bag {

InstanceEventCursor::~InstanceEventCursor() {
  sqlite3_finalize(stmt_);
}

bool InstanceEventCursor::open(sqlite3* db, const SampleFilter& filter, std::string* error) {
  sqlite3_finalize(stmt_);
  stmt_ = nullptr;
  db_ = db;
  filter_ = filter;
  chunk_.clear();
  next_ = 0;
  last_id_ = 0;
  at_end_ = false;
  has_table_ = false;
  sqlite3_stmt* probe = nullptr;
  const int rc = sqlite3_prepare_v2(db, kHasTable, -1, &probe, nullptr);
  const int step = rc == SQLITE_OK ? sqlite3_step(probe) : rc;
  sqlite3_finalize(probe);
  if (step != SQLITE_ROW && step != SQLITE_DONE) {
    *error = std::string("cannot read the instance events (") + sqlite3_errmsg(db) + ")";
    return false;
  }
  has_table_ = step == SQLITE_ROW;
  at_end_ = !has_table_;
  if (!has_table_) {
    return true;
  }
  std::string sql =
      "SELECT _id, topic_id, after_data_id, timestamp, kind, writer_guid, source_timestamp, key, "
      "key_hash, with_sample FROM instance_events WHERE _id > ?1";
  if (!filter.topic_ids.empty()) {
    sql += " AND topic_id IN (";
    for (size_t i = 0; i < filter.topic_ids.size(); ++i) {
      sql.append(i > 0 ? "," : "").append(std::to_string(filter.topic_ids[i]));
    }
    sql += ")";
  }
  if (filter.start) {
    sql += " AND timestamp >= ?2";
  }
  if (filter.end) {
    sql += " AND timestamp <= ?3";
  }
  sql.append(" ORDER BY _id LIMIT ").append(std::to_string(kChunkRows));
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt_, nullptr) != SQLITE_OK) {
    *error = std::string("cannot read the instance events (") + sqlite3_errmsg(db) + ")";
    sqlite3_finalize(stmt_);
    stmt_ = nullptr;
    return false;
  }
  return true;
}

void InstanceEventCursor::rewind() {
  chunk_.clear();
  next_ = 0;
  last_id_ = 0;
  at_end_ = !has_table_;
}

bool InstanceEventCursor::peek(const InstanceEvent** event, std::string* error) {
  *event = nullptr;
  if (next_ < chunk_.size()) {
    *event = &chunk_[next_];
    return true;
  }
  if (at_end_ || stmt_ == nullptr) {
    return true;
  }
  chunk_.clear();
  next_ = 0;
  sqlite3_reset(stmt_);
  bool ok = sqlite3_bind_int64(stmt_, 1, last_id_) == SQLITE_OK &&
            (!filter_.start || sqlite3_bind_int64(stmt_, 2, *filter_.start) == SQLITE_OK) &&
            (!filter_.end || sqlite3_bind_int64(stmt_, 3, *filter_.end) == SQLITE_OK);
  int rc = SQLITE_ERROR;
  try {
    while (ok && (rc = sqlite3_step(stmt_)) == SQLITE_ROW) {
      InstanceEvent e;
      e.id = sqlite3_column_int64(stmt_, 0);
      e.topic_id = sqlite3_column_int64(stmt_, 1);
      e.after_data_id = sqlite3_column_int64(stmt_, 2);
      e.timestamp_is_integer = sqlite3_column_type(stmt_, 3) == SQLITE_INTEGER;
      e.timestamp = sqlite3_column_int64(stmt_, 3);
      const auto* kind = sqlite3_column_text(stmt_, 4);
      e.kind = kind != nullptr ? reinterpret_cast<const char*>(kind) : "";
      const auto* writer = sqlite3_column_text(stmt_, 5);
      e.writer = writer != nullptr ? reinterpret_cast<const char*>(writer) : "";
      if (sqlite3_column_type(stmt_, 6) == SQLITE_INTEGER) {
        e.source_timestamp = sqlite3_column_int64(stmt_, 6);
      }
      for (int column = 7; column <= 8; ++column) {
        const auto* blob = static_cast<const uint8_t*>(sqlite3_column_blob(stmt_, column));
        const int size = sqlite3_column_bytes(stmt_, column);
        if (blob != nullptr && size > 0) {
          (column == 7 ? e.key : e.key_hash).assign(blob, blob + size);
        }
      }
      e.with_sample =
          sqlite3_column_type(stmt_, 9) == SQLITE_INTEGER && sqlite3_column_int64(stmt_, 9) == 1;
      chunk_.push_back(std::move(e));
    }
  } catch (const std::bad_alloc&) {
    ok = false;
  }
  sqlite3_reset(stmt_);
  if (!ok || rc != SQLITE_DONE) {
    *error = std::string("cannot read the instance events (") +
             (ok ? sqlite3_errmsg(db_) : "out of memory") + ")";
    chunk_.clear();
    return false;
  }
  if (chunk_.size() < kChunkRows) {
    at_end_ = true;
  }
  if (chunk_.empty()) {
    return true;
  }
  last_id_ = chunk_.back().id;
  *event = &chunk_.front();
  return true;
}

bool count_instance_events(sqlite3* db, std::vector<std::pair<int64_t, InstanceEventCounts>>* out,
                           std::string* error) {
  out->clear();
  InstanceEventCursor probe;
  if (!probe.open(db, SampleFilter{}, error)) {
    return false;
  }
  if (!probe.has_table()) {
    return true;
  }
  sqlite3_stmt* stmt = nullptr;
  const char* sql =
      "SELECT topic_id, SUM(kind = 'dispose'), SUM(kind = 'unregister') FROM instance_events "
      "GROUP BY topic_id ORDER BY topic_id";
  int rc = sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr);
  while (rc == SQLITE_OK && (rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    InstanceEventCounts counts;
    counts.disposes = static_cast<uint64_t>(sqlite3_column_int64(stmt, 1));
    counts.unregisters = static_cast<uint64_t>(sqlite3_column_int64(stmt, 2));
    out->emplace_back(sqlite3_column_int64(stmt, 0), counts);
    rc = SQLITE_OK;
  }
  sqlite3_finalize(stmt);
  if (rc != SQLITE_DONE) {
    *error = std::string("cannot count the instance events (") + sqlite3_errmsg(db) + ")";
    return false;
  }
  return true;
}

}  // namespace rnr::bag
