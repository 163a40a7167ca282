#include "bag/bag_split.h"

#include <mutex>

#include "bag/database_internal.h"
#include "bag/writer_qos.h"
#include "log/logger.h"

using rnr::bag::internal::Statement;

namespace {

constexpr const char* kCreateRepeated =
    "CREATE TABLE IF NOT EXISTS repeated_rows (  data_id INTEGER PRIMARY KEY NOT NULL,  "
    "original_timestamp INTEGER NOT NULL)";
constexpr const char* kInsertRepeated =
    "INSERT OR REPLACE INTO repeated_rows(data_id, original_timestamp) VALUES(?, ?)";
constexpr const char* kSelectRepeated =
    "SELECT data_id, original_timestamp FROM repeated_rows ORDER BY data_id";

// The tables copied, each as its SELECT on the source and INSERT on the
// copy, column for column.
struct TableCopy {
  const char* select;
  const char* insert;
  int columns;
};
constexpr TableCopy kTables[] = {
    {"SELECT _id, topic_name, type_name, metastring, is_with_key FROM topics ORDER BY _id",
     "INSERT INTO topics(_id, topic_name, type_name, metastring, is_with_key) VALUES(?,?,?,?,?)",
     5},
    {"SELECT _id, guid FROM writers ORDER BY _id", "INSERT INTO writers(_id, guid) VALUES(?,?)", 2},
    {"SELECT writer_id, topic_id, qos FROM writer_qos ORDER BY writer_id",
     "INSERT OR REPLACE INTO writer_qos(writer_id, topic_id, qos) VALUES(?,?,?)", 3},
};

bool has_table(sqlite3* db, const char* name) {
  Statement st;
  if (sqlite3_prepare_v2(db, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?", -1,
                         &st.stmt, nullptr) != SQLITE_OK ||
      sqlite3_bind_text(st.stmt, 1, name, -1, SQLITE_STATIC) != SQLITE_OK) {
    return false;
  }
  return sqlite3_step(st.stmt) == SQLITE_ROW;
}

// Copies one table's rows; the caller holds both connections and has a
// transaction open on `to`.
bool copy_table(sqlite3* from, sqlite3* to, const TableCopy& table) {
  Statement select, insert;
  if (sqlite3_prepare_v2(from, table.select, -1, &select.stmt, nullptr) != SQLITE_OK ||
      sqlite3_prepare_v2(to, table.insert, -1, &insert.stmt, nullptr) != SQLITE_OK) {
    return false;
  }
  int rc = SQLITE_ROW;
  while ((rc = sqlite3_step(select.stmt)) == SQLITE_ROW) {
    sqlite3_reset(insert.stmt);
    for (int c = 0; c < table.columns; ++c) {
      if (sqlite3_bind_value(insert.stmt, c + 1, sqlite3_column_value(select.stmt, c)) !=
          SQLITE_OK) {
        return false;
      }
    }
    if (sqlite3_step(insert.stmt) != SQLITE_DONE) {
      return false;
    }
  }
  return rc == SQLITE_DONE;
}

}  // namespace

bool rnr_Database_copy_catalogue(rnr_Database* from, rnr_Database* to) {
  if (from == nullptr || to == nullptr || !rnr_Database_write_catalogue(from)) {
    rnr_log(RNR_LOG_ERROR, "Database Cannot copy the catalogue into %s",
            to != nullptr ? to->path : "(none)");
    return false;
  }
  bool copied = false;
  {
    std::scoped_lock connections(from->connection_mutex, to->connection_mutex);
    if (sqlite3_exec(to->db, "BEGIN", nullptr, nullptr, nullptr) == SQLITE_OK) {
      copied = true;
      for (const TableCopy& table : kTables) {
        if (&table == &kTables[2] && !has_table(from->db, "writer_qos")) {
          continue;
        }
        if (!copy_table(from->db, to->db, table)) {
          copied = false;
          break;
        }
      }
      copied = copied && sqlite3_exec(to->db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
      if (!copied) {
        sqlite3_exec(to->db, "ROLLBACK", nullptr, nullptr, nullptr);
      }
    }
  }
  if (!copied) {
    rnr_log(RNR_LOG_ERROR, "Database Cannot copy the catalogue into %s (%s)", to->path,
            sqlite3_errmsg(to->db));
  }
  return copied;
}

bool rnr_Database_create_repeated_rows_table(rnr_Database* store) {
  if (store == nullptr) {
    return false;
  }
  std::lock_guard<std::mutex> connection(store->connection_mutex);
  if (sqlite3_exec(store->db, kCreateRepeated, nullptr, nullptr, nullptr) != SQLITE_OK) {
    rnr_log(RNR_LOG_ERROR, "Database Cannot create repeated_rows table (%s)",
            sqlite3_errmsg(store->db));
    return false;
  }
  return true;
}

bool rnr_Database_insert_repeated_rows(rnr_Database* store,
                                       const std::vector<rnr_RepeatedRow>& rows) {
  if (store == nullptr) {
    return false;
  }
  if (rows.empty()) {
    return true;
  }
  std::lock_guard<std::mutex> connection(store->connection_mutex);
  bool ok = sqlite3_exec(store->db, "BEGIN", nullptr, nullptr, nullptr) == SQLITE_OK;
  if (ok) {
    Statement st;
    ok = sqlite3_prepare_v2(store->db, kInsertRepeated, -1, &st.stmt, nullptr) == SQLITE_OK;
    for (size_t i = 0; ok && i < rows.size(); ++i) {
      sqlite3_reset(st.stmt);
      ok = sqlite3_bind_int64(st.stmt, 1, rows[i].data_id) == SQLITE_OK &&
           sqlite3_bind_int64(st.stmt, 2, rows[i].original_timestamp) == SQLITE_OK &&
           sqlite3_step(st.stmt) == SQLITE_DONE;
    }
    ok = ok && sqlite3_exec(store->db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
    if (!ok) {
      sqlite3_exec(store->db, "ROLLBACK", nullptr, nullptr, nullptr);
    }
  }
  if (!ok) {
    rnr_log(RNR_LOG_ERROR, "Database Cannot insert the repeated rows of %s (%s)", store->path,
            sqlite3_errmsg(store->db));
  }
  return ok;
}

bool rnr_bag_read_repeated_rows(sqlite3* db, std::vector<rnr_RepeatedRow>* rows,
                                std::string* error) {
  rows->clear();
  if (!has_table(db, "repeated_rows")) {
    return true;
  }
  Statement st;
  if (sqlite3_prepare_v2(db, kSelectRepeated, -1, &st.stmt, nullptr) != SQLITE_OK) {
    *error = sqlite3_errmsg(db);
    return false;
  }
  int rc = SQLITE_ROW;
  while ((rc = sqlite3_step(st.stmt)) == SQLITE_ROW) {
    rows->push_back({sqlite3_column_int64(st.stmt, 0), sqlite3_column_int64(st.stmt, 1)});
  }
  if (rc != SQLITE_DONE) {
    *error = sqlite3_errmsg(db);
    return false;
  }
  return true;
}
