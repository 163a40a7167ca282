// Reading the bag's writer_qos table: SQLite alone, so that the bag tool
// reads it without the store.
#include <new>

#include "bag/writer_qos.h"

namespace {

constexpr const char* kSelectWriterQos =
    "SELECT q.writer_id, w.guid, q.topic_id, q.qos FROM writer_qos q LEFT JOIN writers w ON "
    "w._id = q.writer_id ORDER BY q.topic_id, q.writer_id";

struct Stmt {
  sqlite3_stmt* stmt = nullptr;
  ~Stmt() { sqlite3_finalize(stmt); }
};

std::string column_text(sqlite3_stmt* st, int column) {
  const unsigned char* text = sqlite3_column_text(st, column);
  return text == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(text));
}

}  // namespace

std::vector<rnr_WriterQosRow> rnr_bag_read_writer_qos(sqlite3* db, bool* ok) {
  std::vector<rnr_WriterQosRow> rows;
  if (ok != nullptr) {
    *ok = true;
  }
  if (db == nullptr) {
    return rows;
  }
  Stmt exists;
  if (sqlite3_prepare_v2(db,
                         "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'writer_qos'",
                         -1, &exists.stmt, nullptr) != SQLITE_OK ||
      sqlite3_step(exists.stmt) != SQLITE_ROW) {
    return rows;  // no table (or no schema to read): nothing recorded
  }
  Stmt st;
  if (sqlite3_prepare_v2(db, kSelectWriterQos, -1, &st.stmt, nullptr) != SQLITE_OK) {
    if (ok != nullptr) {
      *ok = false;
    }
    return rows;
  }
  int rc = SQLITE_ROW;
  try {
    while ((rc = sqlite3_step(st.stmt)) == SQLITE_ROW) {
      rnr_WriterQosRow row;
      row.writer_id = sqlite3_column_int(st.stmt, 0);
      row.guid = column_text(st.stmt, 1);
      row.topic_id = sqlite3_column_int(st.stmt, 2);
      row.qos = column_text(st.stmt, 3);
      rows.push_back(std::move(row));
    }
  } catch (const std::bad_alloc&) {
    rc = SQLITE_NOMEM;
  }
  if (rc != SQLITE_DONE) {
    if (ok != nullptr) {
      *ok = false;
    }
  }
  return rows;
}
