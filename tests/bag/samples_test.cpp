// Sample insertion: immediate rows, batches, their statements and failures.
#include <chrono>
#include <climits>
#include <cstdio>
#include <thread>

#include "bag_test_util.h"
#include "child_process.h"

using namespace rnr::test;

namespace {

constexpr const char* kPrefix = "INSERT INTO data(topic_id, timestamp, serialized_data) VALUES ";

// Every statement stepped on the connection that inserts into data.
struct StatementTrace {
  std::mutex mutex;
  std::vector<std::string> statements;

  static int on_event(unsigned type, void* context, void* stmt, void*) {
    if (type == SQLITE_TRACE_STMT) {
      auto* self = static_cast<StatementTrace*>(context);
      const std::string sql = sqlite3_sql(static_cast<sqlite3_stmt*>(stmt));
      if (sql.rfind("INSERT INTO data", 0) == 0) {
        std::lock_guard<std::mutex> lock(self->mutex);
        self->statements.push_back(sql);
      }
    }
    return 0;
  }
  void attach(sqlite3* db) { sqlite3_trace_v2(db, SQLITE_TRACE_STMT, &on_event, this); }
};

std::string batch_text(size_t rows) {
  std::string text = kPrefix;
  for (size_t i = 0; i < rows; ++i) {
    text += i == 0 ? "(?, ?, ?)" : ",(?, ?, ?)";
  }
  return text;
}

}  // namespace

TEST_F(StoreTest, BatchesAreWrittenWholeByOneStatementInArrivalOrder) {
  StatementTrace trace;
  trace.attach(store_->db);
  ASSERT_TRUE(rnr_Database_start_bulk_insert_data(store_, 256));
  EXPECT_TRUE(store_->bulk_insert_enabled);

  std::string buffer;  // reused for every sample: the store must keep copies
  for (uint64_t i = 0; i < 300; ++i) {
    buffer = "sample-" + std::to_string(i);
    const rnr_DataRow row = make_row(static_cast<uint32_t>(1 + i % 3), 1000 + i, buffer);
    ASSERT_TRUE(rnr_Database_insert_data(store_, &row));
    buffer.assign(buffer.size(), '#');
    rnr_Database_wait_for_batches(store_);
    ASSERT_EQ(query_int(store_->db, "SELECT COUNT(*) FROM data"), i < 255 ? 0 : 256)
        << "after sample " << i;
  }
  rnr_Database_end_bulk_insert_data(store_);
  EXPECT_FALSE(store_->bulk_insert_enabled);
  EXPECT_EQ(store_->bulk_insert_stmt, nullptr);

  ASSERT_EQ(trace.statements.size(), 2u);
  EXPECT_EQ(trace.statements[0].size(), 2621u);
  EXPECT_EQ(trace.statements[0], batch_text(256));
  EXPECT_EQ(trace.statements[1], batch_text(44));

  const auto rows = read_bag(store_->db).data;
  ASSERT_EQ(rows.size(), 300u);
  for (uint64_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i].id, static_cast<int64_t>(i + 1));
    EXPECT_EQ(rows[i].topic_id, static_cast<int64_t>(1 + i % 3));
    EXPECT_EQ(rows[i].timestamp, 1000 + i);
    EXPECT_EQ(as_text(rows[i].bytes), "sample-" + std::to_string(i));
  }

  // Once ended, a sample is written at once by the single-row statement.
  const std::string last = "after";
  const rnr_DataRow row = make_row(1, 5000, last);
  ASSERT_TRUE(rnr_Database_insert_data(store_, &row));
  EXPECT_EQ(query_int(store_->db, "SELECT COUNT(*) FROM data"), 301);
  ASSERT_EQ(trace.statements.size(), 3u);
  EXPECT_EQ(trace.statements[2],
            "INSERT INTO data(topic_id, timestamp, serialized_data) VALUES(?, ?, ?);");
  EXPECT_TRUE(log().lines().empty());
}

TEST_F(StoreTest, StartAndEndFollowTheBulkInsertState) {
  rnr_Database_end_bulk_insert_data(store_);
  EXPECT_EQ(log().leveled(),
            std::vector<std::string>{"3 Database Data bulk insert is not enabled"});

  log().clear();
  EXPECT_FALSE(rnr_Database_start_bulk_insert_data(store_, 0));
  EXPECT_EQ(log().count(RNR_LOG_ERROR, "Database Cannot prepare sqlite3 query ("), 1u);
  EXPECT_FALSE(store_->bulk_insert_enabled);

  ASSERT_TRUE(rnr_Database_start_bulk_insert_data(store_, 4));
  const std::string bytes = "b";
  const rnr_DataRow row = make_row(1, 7, bytes);
  ASSERT_TRUE(rnr_Database_insert_data(store_, &row));
  ASSERT_TRUE(rnr_Database_insert_data(store_, &row));
  // Same size again: nothing changes, the two samples stay buffered.
  EXPECT_TRUE(rnr_Database_start_bulk_insert_data(store_, 4));
  EXPECT_EQ(store_->bulk_insert_count, 2u);
  log().clear();
  EXPECT_FALSE(rnr_Database_start_bulk_insert_data(store_, 8));
  EXPECT_EQ(log().leveled(),
            std::vector<std::string>{
                "4 Database Data bulk insert is already enabled. But bulk insert size is different "
                "(origin: 4, request: 8). It cannot be changed when bulk insert is started"});
  // The batch size is still 4: the fourth sample writes the batch.
  ASSERT_TRUE(rnr_Database_insert_data(store_, &row));
  EXPECT_EQ(query_int(store_->db, "SELECT COUNT(*) FROM data"), 0);
  ASSERT_TRUE(rnr_Database_insert_data(store_, &row));
  rnr_Database_wait_for_batches(store_);
  EXPECT_EQ(query_int(store_->db, "SELECT COUNT(*) FROM data"), 4);

  // Ending with nothing buffered writes nothing; a second end only warns.
  rnr_Database_end_bulk_insert_data(store_);
  EXPECT_EQ(query_int(store_->db, "SELECT COUNT(*) FROM data"), 4);
  log().clear();
  rnr_Database_end_bulk_insert_data(store_);
  EXPECT_EQ(log().count(RNR_LOG_WARN, "Database Data bulk insert is not enabled"), 1u);
  // A new bulk insert may follow.
  EXPECT_TRUE(rnr_Database_start_bulk_insert_data(store_, 2));
}

TEST_F(StoreTest, TimestampsKeepAll64BitsAsIntegersInBothModes) {
  const std::vector<uint64_t> stamps = {
      0, 1ull << 31, (1ull << 31) + 1, 1ull << 40, 1765200000123456789ull, ULLONG_MAX};
  const std::string bytes = "t";
  for (size_t batch : {size_t{0}, size_t{4}}) {
    if (batch > 0) {
      ASSERT_TRUE(rnr_Database_start_bulk_insert_data(store_, batch));
    }
    for (uint64_t stamp : stamps) {
      const rnr_DataRow row = make_row(1, stamp, bytes);
      ASSERT_TRUE(rnr_Database_insert_data(store_, &row));
    }
    if (batch > 0) {
      rnr_Database_end_bulk_insert_data(store_);
    }
  }
  const auto rows = read_bag(store_->db).data;
  ASSERT_EQ(rows.size(), 2 * stamps.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    EXPECT_TRUE(rows[i].timestamp_is_integer);
    EXPECT_EQ(static_cast<uint64_t>(rows[i].timestamp), stamps[i % stamps.size()]);
  }
}

TEST_F(StoreTest, UnstorableSamplesAreRefusedAloneInBothModes) {
  const std::string a = "first", b = "second";
  for (size_t batch : {size_t{0}, size_t{256}}) {
    if (batch > 0) {
      ASSERT_TRUE(rnr_Database_start_bulk_insert_data(store_, batch));
    }
    log().clear();
    const rnr_DataRow first = make_row(1, 1, a);
    ASSERT_TRUE(rnr_Database_insert_data(store_, &first));
    // Its length cannot be handed over as an int; the bytes are never read.
    const rnr_DataRow huge{2, 1, a.data(), size_t{1} << 31};
    EXPECT_FALSE(rnr_Database_insert_data(store_, &huge));
    const rnr_DataRow missing{3, 1, nullptr, 5};
    EXPECT_FALSE(rnr_Database_insert_data(store_, &missing));
    EXPECT_EQ(log().count(RNR_LOG_ERROR, "Database Sample of 2147483648 bytes"), 1u);
    EXPECT_EQ(log().count(RNR_LOG_ERROR, "Database Sample of 5 bytes has no data"), 1u);
    // An empty sample is fine and stored as an empty blob.
    const rnr_DataRow empty{4, 1, nullptr, 0};
    EXPECT_TRUE(rnr_Database_insert_data(store_, &empty));
    const rnr_DataRow second = make_row(1, 5, b);
    ASSERT_TRUE(rnr_Database_insert_data(store_, &second));
    if (batch > 0) {
      rnr_Database_end_bulk_insert_data(store_);
    }
  }
  // A sample whose row would exceed the connection's length limit is refused
  // up front instead of failing the batch it would join.
  sqlite3_limit(store_->db, SQLITE_LIMIT_LENGTH, 1000);
  ASSERT_TRUE(rnr_Database_start_bulk_insert_data(store_, 2));
  const std::string near_limit(990, 'n');
  const rnr_DataRow too_big = make_row(1, 9, near_limit);
  EXPECT_FALSE(rnr_Database_insert_data(store_, &too_big));
  const rnr_DataRow fine = make_row(1, 9, b);
  EXPECT_TRUE(rnr_Database_insert_data(store_, &fine));
  EXPECT_TRUE(rnr_Database_insert_data(store_, &fine));
  EXPECT_EQ(store_->bulk_insert_count, 0u);
  // What a bulk insert refuses counts as lost.
  EXPECT_EQ(rnr_Database_bulk_insert_stats(store_).refused_samples, 3u);
  EXPECT_EQ(rnr_Database_bulk_insert_stats(store_).lost_samples, 3u);
  rnr_Database_end_bulk_insert_data(store_);

  const auto rows = read_bag(store_->db).data;
  ASSERT_EQ(rows.size(), 8u);
  for (size_t i = 0; i < 6; i += 3) {
    EXPECT_EQ(as_text(rows[i].bytes), a);
    EXPECT_EQ(rows[i + 1].timestamp, 4u);
    EXPECT_EQ(as_text(rows[i + 1].bytes), "");
    EXPECT_EQ(as_text(rows[i + 2].bytes), b);
  }
  EXPECT_EQ(
      query_int(store_->db, "SELECT COUNT(*) FROM data WHERE typeof(serialized_data) = 'blob'"), 8);
}

TEST_F(StoreTest, FailingWritesAreKeptWithinTheLimitRetriedAndResumedWithFewLines) {
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(bag_path().c_str(), &other), SQLITE_OK);
  // Room for two batches of four 10-byte samples.
  rnr_Database_set_held_bytes_limit(store_, 80);
  ASSERT_TRUE(rnr_Database_start_bulk_insert_data(store_, 4));
  std::vector<std::string> payloads;
  for (int i = 0; i < 40; ++i) {
    char text[16];
    std::snprintf(text, sizeof text, "sample-%03d", i);
    payloads.emplace_back(text);
  }
  int next = 0;
  auto insert = [&] {
    const rnr_DataRow row = make_row(1, static_cast<uint64_t>(next), payloads[next]);
    ++next;
    return rnr_Database_insert_data(store_, &row);
  };
  auto wait_until = [&](auto done) {
    for (int i = 0; i < 400 && !done(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
  };

  // Another connection makes every insert fail: no batch can be written. (A
  // lock is not a failure; see LockedBagMakesSamplesWaitAndLosesNothing.)
  sqlite3_busy_timeout(other, 30000);
  const char* refuse =
      "CREATE TRIGGER refuse BEFORE INSERT ON data BEGIN SELECT RAISE(FAIL, 'disk full'); END";
  ASSERT_TRUE(exec_sql(other, refuse));
  for (int i = 0; i < 8; ++i) {
    ASSERT_TRUE(insert());
  }
  ASSERT_TRUE(wait_until([&] { return rnr_Database_bulk_insert_stats(store_).failing; }));
  // Failing: the backlog stays within its bound and the rest is dropped.
  EXPECT_EQ(rnr_Database_wait_for_room(store_, 1000000), SIZE_MAX);
  for (int i = 0; i < 8; ++i) {
    EXPECT_FALSE(insert());
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(600));  // a few retries
  rnr_BulkInsertStats stats = rnr_Database_bulk_insert_stats(store_);
  EXPECT_EQ(stats.lost_samples, 8u);
  EXPECT_EQ(stats.held_bytes, 80u);
  EXPECT_LE(stats.held_bytes_peak, 80u);
  EXPECT_EQ(log().count(RNR_LOG_ERROR, "Database Cannot execute sql ("), 1u);

  // The fault goes: the kept batches are written and the store says so once.
  ASSERT_TRUE(exec_sql(other, "DROP TRIGGER refuse"));
  ASSERT_TRUE(wait_until([&] { return rnr_Database_bulk_insert_stats(store_).held_bytes == 0; }));
  EXPECT_EQ(log().count(RNR_LOG_WARN, "Database Writing samples again after"), 1u);
  EXPECT_FALSE(rnr_Database_bulk_insert_stats(store_).failing);
  for (int i = 0; i < 6; ++i) {
    ASSERT_TRUE(insert());
  }
  rnr_Database_wait_for_batches(store_);
  EXPECT_EQ(query_int(store_->db, "SELECT COUNT(*) FROM data"), 12);

  // Failing again at the end: one last attempt, and what is left is lost,
  // said once.
  ASSERT_TRUE(exec_sql(other, refuse));
  log().clear();
  const auto started = std::chrono::steady_clock::now();
  rnr_Database_end_bulk_insert_data(store_);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
  EXPECT_EQ(rnr_Database_bulk_insert_stats(store_).lost_samples, 10u);
  EXPECT_FALSE(store_->bulk_insert_enabled);
  EXPECT_EQ(log().texts(), std::vector<std::string>{
                               "Database Cannot write 2 samples at the end (disk full): they are "
                               "lost"});
  ASSERT_TRUE(exec_sql(other, "DROP TRIGGER refuse"));
  sqlite3_close(other);

  // Rows 1..12 without a gap: the first eight and the two written after.
  const auto rows = read_bag(store_->db).data;
  ASSERT_EQ(rows.size(), 12u);
  const std::vector<int> expected = {0, 1, 2, 3, 4, 5, 6, 7, 16, 17, 18, 19};
  for (size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i].id, static_cast<int64_t>(i + 1));
    EXPECT_EQ(as_text(rows[i].bytes), payloads[expected[i]]);
  }
  EXPECT_LE(log().lines().size(), 4u);
}

TEST_F(StoreTest, PartialBatchIsCommittedWithinASecond) {
  StatementTrace trace;
  trace.attach(store_->db);
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(bag_path().c_str(), &other), SQLITE_OK);
  sqlite3_busy_timeout(other, 30000);
  ASSERT_TRUE(rnr_Database_start_bulk_insert_data(store_, 256));
  const std::string bytes = "slow topic";
  const auto start = std::chrono::steady_clock::now();
  for (uint64_t i = 0; i < 3; ++i) {
    const rnr_DataRow row = make_row(1, i, bytes);
    ASSERT_TRUE(rnr_Database_insert_data(store_, &row));
  }
  ASSERT_TRUE(wait_until([&] { return query_int(other, "SELECT COUNT(*) FROM data") == 3; },
                         std::chrono::milliseconds(1500)));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(800));
  // The next sample starts a batch of its own, timed from its arrival.
  const rnr_DataRow row = make_row(1, 3, bytes);
  ASSERT_TRUE(rnr_Database_insert_data(store_, &row));
  ASSERT_TRUE(wait_until([&] { return query_int(other, "SELECT COUNT(*) FROM data") == 4; },
                         std::chrono::milliseconds(1500)));
  rnr_Database_end_bulk_insert_data(store_);
  sqlite3_close(other);
  EXPECT_EQ(trace.statements, (std::vector<std::string>{batch_text(3), batch_text(1)}));
  EXPECT_TRUE(log().lines().empty());
}

TEST_F(StoreTest, LockedBagMakesSamplesWaitAndLosesNothing) {
  sqlite3* reader = nullptr;
  ASSERT_EQ(sqlite3_open(bag_path().c_str(), &reader), SQLITE_OK);
  rnr_Database_set_held_bytes_limit(store_, 80);
  ASSERT_TRUE(rnr_Database_start_bulk_insert_data(store_, 4));
  const std::string bytes = "ten bytes!";
  auto insert = [&](uint64_t i) {
    const rnr_DataRow row = make_row(1, i, bytes);
    return rnr_Database_insert_data(store_, &row);
  };
  // A reader's transaction holds the bag: nothing can be committed.
  ASSERT_TRUE(exec_sql(reader, "BEGIN"));
  ASSERT_EQ(query_int(reader, "SELECT COUNT(*) FROM data"), 0);
  for (uint64_t i = 0; i < 8; ++i) {
    ASSERT_TRUE(insert(i));
  }
  // At the bound the store has no room (back-pressure), yet nothing is
  // dropped and the writes are not counted as failing.
  ASSERT_TRUE(wait_until([&] { return rnr_Database_bulk_insert_stats(store_).locked; },
                         std::chrono::seconds(5)));
  EXPECT_EQ(rnr_Database_wait_for_room(store_, 1000000), 0u);
  rnr_BulkInsertStats stats = rnr_Database_bulk_insert_stats(store_);
  EXPECT_FALSE(stats.failing);
  EXPECT_EQ(stats.lost_samples, 0u);
  EXPECT_EQ(log().count(RNR_LOG_WARN, "Database The bag is locked by "), 1u);
  ASSERT_TRUE(exec_sql(reader, "COMMIT"));
  ASSERT_TRUE(wait_until([&] { return rnr_Database_bulk_insert_stats(store_).held_bytes == 0; },
                         std::chrono::seconds(5)));
  EXPECT_EQ(log().count(RNR_LOG_INFO, "Database Writing samples again: the bag was locked"), 1u);

  // Locked at the end: the store waits for the reader, says so once, and
  // writes everything once it lets go.
  ASSERT_TRUE(insert(8));
  ASSERT_TRUE(exec_sql(reader, "BEGIN"));
  ASSERT_EQ(query_int(reader, "SELECT COUNT(*) FROM data"), 8);
  std::thread release([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    exec_sql(reader, "COMMIT");
  });
  log().clear();
  rnr_Database_end_bulk_insert_data(store_);
  release.join();
  EXPECT_EQ(log().count(RNR_LOG_WARN, "Database Waiting up to 30 s for the readers of "), 1u);
  EXPECT_EQ(log().lines().size(), 1u);
  EXPECT_EQ(rnr_Database_bulk_insert_stats(store_).lost_samples, 0u);
  EXPECT_EQ(query_int(reader, "SELECT COUNT(*) FROM data"), 9);
  sqlite3_close(reader);
}
