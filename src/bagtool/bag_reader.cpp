#include "bagtool/bag_reader.h"

#include <sqlite3.h>

#include <memory>

#include "bag/sqlite_busy.h"

namespace rnr::bagtool {
namespace {

struct StatementDeleter {
  void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementDeleter>;

std::string text_column(sqlite3_stmt* stmt, int column) {
  const auto* text = sqlite3_column_text(stmt, column);
  return text == nullptr ? std::string()
                         : std::string(reinterpret_cast<const char*>(text),
                                       static_cast<size_t>(sqlite3_column_bytes(stmt, column)));
}

// " WHERE topic_id IN (1,2)" for a selection of topics, "" for all.
std::string topic_filter(const std::vector<int64_t>& topic_ids) {
  if (topic_ids.empty()) {
    return "";
  }
  std::string where = " WHERE topic_id IN (";
  for (size_t i = 0; i < topic_ids.size(); ++i) {
    if (i > 0) {
      where += ",";
    }
    where += std::to_string(topic_ids[i]);
  }
  return where + ")";
}

}  // namespace

BagReader::~BagReader() {
  sqlite3_close(db_);
}

bool BagReader::fail(const char* what, std::string* error) {
  *error = std::string(what) + ": " + (db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory");
  return false;
}

bool BagReader::open(const std::string& path, std::string* error) {
  // Read-only and without create: a missing file is an error, and SQLite
  // creates no journal on a read-only connection.
  int tables = -1;
  for (const int access : {SQLITE_OPEN_READONLY, SQLITE_OPEN_READWRITE}) {
    sqlite3_close(db_);
    db_ = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db_, access | SQLITE_OPEN_PRIVATECACHE, nullptr) !=
        SQLITE_OK) {
      return fail("cannot open the bag", error);
    }
    // A recorder may be writing the bag: wait for its commits.
    rnr_sqlite_set_busy_timeout(db_);
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db_,
                           "SELECT COUNT(*) FROM sqlite_master WHERE type = 'table' AND name IN "
                           "('topics', 'writers', 'data')",
                           -1, &raw, nullptr) == SQLITE_OK &&
        sqlite3_step(raw) == SQLITE_ROW) {
      tables = sqlite3_column_int(raw, 0);
    }
    sqlite3_finalize(raw);
    // A recorder that died during a commit (SIGKILL, power cut) left a hot
    // journal that only a writable connection may roll back, restoring the
    // bag as of its last commit; nothing else is ever written.
    if (tables >= 0 || sqlite3_extended_errcode(db_) != SQLITE_READONLY_ROLLBACK) {
      break;
    }
  }
  if (tables < 0) {
    return fail("cannot read the bag", error);
  }
  if (tables != 3) {
    *error = "not a bag: the tables topics, writers and data are not all there";
    return false;
  }
  return true;
}

bool BagReader::topics(std::vector<TopicSummary>* out, bool statistics, std::string* error) {
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db_,
                         "SELECT _id, topic_name, type_name, metastring, is_with_key FROM topics "
                         "ORDER BY _id",
                         -1, &raw, nullptr) != SQLITE_OK) {
    sqlite3_finalize(raw);
    return fail("cannot read the topics", error);
  }
  Statement stmt(raw);
  int step;
  while ((step = sqlite3_step(stmt.get())) == SQLITE_ROW) {
    TopicSummary t;
    t.id = sqlite3_column_int64(stmt.get(), 0);
    t.name = text_column(stmt.get(), 1);
    t.type = text_column(stmt.get(), 2);
    if (sqlite3_column_type(stmt.get(), 3) != SQLITE_NULL) {
      t.metastring = text_column(stmt.get(), 3);
    }
    t.keyed = sqlite3_column_int64(stmt.get(), 4) != 0;
    out->push_back(std::move(t));
  }
  if (step != SQLITE_DONE) {
    return fail("cannot read the topics", error);
  }
  if (!statistics) {
    return true;
  }

  raw = nullptr;
  if (sqlite3_prepare_v2(db_,
                         "SELECT topic_id, COUNT(*), SUM(LENGTH(serialized_data)), "
                         "MIN(timestamp), MAX(timestamp) FROM data GROUP BY topic_id",
                         -1, &raw, nullptr) != SQLITE_OK) {
    sqlite3_finalize(raw);
    return fail("cannot read the samples", error);
  }
  stmt.reset(raw);
  while ((step = sqlite3_step(stmt.get())) == SQLITE_ROW) {
    const int64_t id = sqlite3_column_int64(stmt.get(), 0);
    for (auto& t : *out) {
      if (t.id == id) {
        t.samples = static_cast<uint64_t>(sqlite3_column_int64(stmt.get(), 1));
        t.bytes = static_cast<uint64_t>(sqlite3_column_int64(stmt.get(), 2));
        t.first = sqlite3_column_int64(stmt.get(), 3);
        t.last = sqlite3_column_int64(stmt.get(), 4);
      }
    }
  }
  return step == SQLITE_DONE || fail("cannot read the samples", error);
}

bool BagReader::writers(std::vector<std::string>* out, std::string* error) {
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db_, "SELECT guid FROM writers ORDER BY _id", -1, &raw, nullptr) !=
      SQLITE_OK) {
    sqlite3_finalize(raw);
    return fail("cannot read the writers", error);
  }
  Statement stmt(raw);
  int step;
  while ((step = sqlite3_step(stmt.get())) == SQLITE_ROW) {
    out->push_back(text_column(stmt.get(), 0));
  }
  return step == SQLITE_DONE || fail("cannot read the writers", error);
}

bool BagReader::count(const std::vector<int64_t>& topic_ids, uint64_t* out, std::string* error) {
  const std::string sql = "SELECT COUNT(*) FROM data" + topic_filter(topic_ids);
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &raw, nullptr) != SQLITE_OK) {
    sqlite3_finalize(raw);
    return fail("cannot read the samples", error);
  }
  Statement stmt(raw);
  if (sqlite3_step(stmt.get()) != SQLITE_ROW) {
    return fail("cannot read the samples", error);
  }
  *out = static_cast<uint64_t>(sqlite3_column_int64(stmt.get(), 0));
  return true;
}

bool BagReader::for_each_sample(const std::vector<int64_t>& topic_ids,
                                const std::function<bool(const SampleRow&)>& visit,
                                std::string* error) {
  // Read in chunks of rows, each its own short read transaction, so that a
  // recorder writing the bag meanwhile is never held up for long. The rows
  // are those present at the start.
  constexpr int kChunkRows = 1024;
  const std::string filter = topic_filter(topic_ids);
  const std::string sql =
      "SELECT _id, topic_id, timestamp, serialized_data FROM data WHERE _id > "
      "?1 AND _id <= ?2" +
      (filter.empty() ? "" : " AND" + filter.substr(6)) + " ORDER BY _id LIMIT " +
      std::to_string(kChunkRows);
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db_, "SELECT COALESCE(MAX(_id), 0) FROM data", -1, &raw, nullptr) !=
      SQLITE_OK) {
    sqlite3_finalize(raw);
    return fail("cannot read the samples", error);
  }
  Statement last_stmt(raw);
  if (sqlite3_step(last_stmt.get()) != SQLITE_ROW) {
    return fail("cannot read the samples", error);
  }
  const int64_t last = sqlite3_column_int64(last_stmt.get(), 0);
  last_stmt.reset();
  raw = nullptr;
  if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &raw, nullptr) != SQLITE_OK) {
    sqlite3_finalize(raw);
    return fail("cannot read the samples", error);
  }
  Statement stmt(raw);
  SampleRow row;
  int64_t after = INT64_MIN;
  for (;;) {
    sqlite3_reset(stmt.get());
    sqlite3_bind_int64(stmt.get(), 1, after);
    sqlite3_bind_int64(stmt.get(), 2, last);
    int rows = 0;
    int step;
    while ((step = sqlite3_step(stmt.get())) == SQLITE_ROW) {
      ++rows;
      row.id = sqlite3_column_int64(stmt.get(), 0);
      row.topic_id = sqlite3_column_int64(stmt.get(), 1);
      row.timestamp = sqlite3_column_int64(stmt.get(), 2);
      row.data = static_cast<const uint8_t*>(sqlite3_column_blob(stmt.get(), 3));
      row.size = static_cast<size_t>(sqlite3_column_bytes(stmt.get(), 3));
      if (row.data == nullptr) {
        row.size = 0;
      }
      after = row.id;
      if (!visit(row)) {
        return true;
      }
    }
    if (step != SQLITE_DONE) {
      return fail("cannot read the samples", error);
    }
    if (rows < kChunkRows) {
      return true;
    }
  }
}

}  // namespace rnr::bagtool
