// Shared helpers of the bag store tests: a scratch directory per test, the
// captured log lines, and SQL read-back on a store's connection.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "bag/database.h"
#include "log/logger.h"

namespace bagtest {

// Every line the module logger writes, from any thread, as "<level> <text>".
class LogCapture {
 public:
  static LogCapture& instance() {
    static LogCapture capture;
    return capture;
  }
  void clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
  }
  std::vector<std::string> lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  // Number of lines at `level` whose text starts with `prefix`.
  size_t count(int32_t level, const std::string& prefix) {
    const std::string key = std::to_string(level) + " " + prefix;
    size_t n = 0;
    for (const auto& line : lines()) {
      n += line.rfind(key, 0) == 0 ? 1 : 0;
    }
    return n;
  }

 private:
  LogCapture() {
    rnr_logger_init(RNR_LOG_DEBUG);
    mlog_set_sink(RNR_LOG.load(), &LogCapture::sink, this);
  }
  static void sink(void* context, int32_t level, const char* message) {
    auto* self = static_cast<LogCapture*>(context);
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->lines_.push_back(std::to_string(level) + " " + message);
  }
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

// A fresh scratch directory per test, removed afterwards; log capture cleared.
class BagTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "rnr-bag-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    log().clear();
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  std::string bag_path(const std::string& name = "test.sqlite3") const {
    return (dir_ / name).string();
  }
  static LogCapture& log() { return LogCapture::instance(); }

  std::filesystem::path dir_;
};

// A test with an open store on a new bag.
class StoreTest : public BagTest {
 protected:
  void SetUp() override {
    BagTest::SetUp();
    store_ = rnr_Database_create(bag_path().c_str());
    ASSERT_NE(store_, nullptr);
  }
  void TearDown() override {
    rnr_Database_destroy(store_);
    BagTest::TearDown();
  }
  rnr_Database* store_ = nullptr;
};

// Runs a query that yields one integer; -1 when it yields none.
inline int64_t query_int(sqlite3* db, const std::string& sql) {
  sqlite3_stmt* stmt = nullptr;
  int64_t value = -1;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK &&
      sqlite3_step(stmt) == SQLITE_ROW) {
    value = sqlite3_column_int64(stmt, 0);
  }
  sqlite3_finalize(stmt);
  return value;
}

inline bool exec(sqlite3* db, const std::string& sql) {
  return sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
}

// One data row as stored.
struct StoredSample {
  int64_t id;
  int64_t topic_id;
  std::string timestamp_type;
  uint64_t timestamp;
  std::string bytes;
};

inline std::vector<StoredSample> read_data(sqlite3* db) {
  std::vector<StoredSample> rows;
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(db,
                     "SELECT _id, topic_id, typeof(timestamp), timestamp, serialized_data FROM "
                     "data ORDER BY _id",
                     -1, &stmt, nullptr);
  while (sqlite3_step(stmt) == SQLITE_ROW) {
    const auto* blob = static_cast<const char*>(sqlite3_column_blob(stmt, 4));
    rows.push_back({sqlite3_column_int64(stmt, 0), sqlite3_column_int64(stmt, 1),
                    reinterpret_cast<const char*>(sqlite3_column_text(stmt, 2)),
                    static_cast<uint64_t>(sqlite3_column_int64(stmt, 3)),
                    std::string(blob != nullptr ? blob : "",
                                static_cast<size_t>(sqlite3_column_bytes(stmt, 4)))});
  }
  sqlite3_finalize(stmt);
  return rows;
}

inline rnr_DataRow make_row(uint32_t topic_id, uint64_t timestamp, const std::string& bytes) {
  return rnr_DataRow{timestamp, topic_id, bytes.data(), bytes.size()};
}

}  // namespace bagtest
