// Shared helpers of the bag store tests: a scratch directory per test, the
// captured log lines, and small SQL read-back helpers on a store's connection.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "database.h"
#include "logger.h"

namespace bagtest {

struct LogLine {
  int32_t level;
  std::string text;
};

// Collects every line the module logger writes, from any thread.
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
  std::vector<LogLine> lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  // Number of captured lines at `level` whose text starts with `prefix`.
  size_t count(int32_t level, const std::string& prefix) {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t n = 0;
    for (const auto& line : lines_) {
      if (line.level == level && line.text.rfind(prefix, 0) == 0) {
        ++n;
      }
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
    self->lines_.push_back({level, message});
  }
  std::mutex mutex_;
  std::vector<LogLine> lines_;
};

// A fresh scratch directory per test, removed afterwards; log capture cleared.
class BagTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "rnr-bag-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    LogCapture::instance().clear();
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  std::string bag_path(const std::string& name = "test.sqlite3") const {
    return (dir_ / name).string();
  }
  LogCapture& log() { return LogCapture::instance(); }

  std::filesystem::path dir_;
};

// Runs a query that yields one integer.
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
  while (stmt != nullptr && sqlite3_step(stmt) == SQLITE_ROW) {
    StoredSample s;
    s.id = sqlite3_column_int64(stmt, 0);
    s.topic_id = sqlite3_column_int64(stmt, 1);
    s.timestamp_type = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 2));
    s.timestamp = static_cast<uint64_t>(sqlite3_column_int64(stmt, 3));
    const auto* blob = static_cast<const char*>(sqlite3_column_blob(stmt, 4));
    s.bytes.assign(blob != nullptr ? blob : "", static_cast<size_t>(sqlite3_column_bytes(stmt, 4)));
    rows.push_back(std::move(s));
  }
  sqlite3_finalize(stmt);
  return rows;
}

inline rnr_DataRow make_row(uint32_t topic_id, uint64_t timestamp, const std::string& bytes) {
  return rnr_DataRow{timestamp, topic_id, bytes.data(), bytes.size()};
}

}  // namespace bagtest
