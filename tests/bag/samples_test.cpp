// Sample insertion: immediate rows, batches, their statements and failures.
#include <climits>

#include "bag_test_util.h"

using namespace bagtest;

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
    ASSERT_EQ(query_int(store_->db, "SELECT COUNT(*) FROM data"), i < 255 ? 0 : 256)
        << "after sample " << i;
  }
  rnr_Database_end_bulk_insert_data(store_);
  EXPECT_FALSE(store_->bulk_insert_enabled);
  EXPECT_EQ(store_->bulk_insert_stmt, nullptr);
  EXPECT_EQ(store_->bulk_insert_rows, nullptr);

  ASSERT_EQ(trace.statements.size(), 2u);
  EXPECT_EQ(trace.statements[0].size(), 2621u);
  EXPECT_EQ(trace.statements[0], batch_text(256));
  EXPECT_EQ(trace.statements[1], batch_text(44));

  const auto rows = read_data(store_->db);
  ASSERT_EQ(rows.size(), 300u);
  for (uint64_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i].id, static_cast<int64_t>(i + 1));
    EXPECT_EQ(rows[i].topic_id, static_cast<int64_t>(1 + i % 3));
    EXPECT_EQ(rows[i].timestamp, 1000 + i);
    EXPECT_EQ(rows[i].bytes, "sample-" + std::to_string(i));
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
  EXPECT_EQ(log().lines(), std::vector<std::string>{"3 Database Data bulk insert is not enabled"});

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
  EXPECT_EQ(log().lines(),
            std::vector<std::string>{
                "4 Database Data bulk insert is already enabled. But bulk insert size is different "
                "(origin: 4, request: 8). It cannot be changed when bulk insert is started"});
  // The batch size is still 4: the fourth sample writes the batch.
  ASSERT_TRUE(rnr_Database_insert_data(store_, &row));
  EXPECT_EQ(query_int(store_->db, "SELECT COUNT(*) FROM data"), 0);
  ASSERT_TRUE(rnr_Database_insert_data(store_, &row));
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
  const auto rows = read_data(store_->db);
  ASSERT_EQ(rows.size(), 2 * stamps.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i].timestamp_type, "integer");
    EXPECT_EQ(rows[i].timestamp, stamps[i % stamps.size()]);
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
  rnr_Database_end_bulk_insert_data(store_);

  const auto rows = read_data(store_->db);
  ASSERT_EQ(rows.size(), 8u);
  for (size_t i = 0; i < 6; i += 3) {
    EXPECT_EQ(rows[i].bytes, a);
    EXPECT_EQ(rows[i + 1].timestamp, 4u);
    EXPECT_EQ(rows[i + 1].bytes, "");
    EXPECT_EQ(rows[i + 2].bytes, b);
  }
  EXPECT_EQ(
      query_int(store_->db, "SELECT COUNT(*) FROM data WHERE typeof(serialized_data) = 'blob'"), 8);
}

TEST_F(StoreTest, FailedBatchIsKeptAndRetriedDroppingOnlyTheOldest) {
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(bag_path().c_str(), &other), SQLITE_OK);
  ASSERT_TRUE(rnr_Database_start_bulk_insert_data(store_, 4));
  std::vector<std::string> payloads;
  for (int i = 0; i < 8; ++i) {
    payloads.push_back(std::string("s").append(std::to_string(i)));
  }
  auto insert = [&](int i) {
    const rnr_DataRow row = make_row(1, static_cast<uint64_t>(i), payloads[i]);
    return rnr_Database_insert_data(store_, &row);
  };

  // Another connection holds the write lock: the full batch cannot be written.
  ASSERT_TRUE(exec(other, "BEGIN IMMEDIATE"));
  for (int i = 0; i < 4; ++i) {
    EXPECT_TRUE(insert(i));
  }
  EXPECT_EQ(log().count(RNR_LOG_ERROR, "Database Cannot execute sql"), 1u);
  EXPECT_EQ(store_->bulk_insert_count, 4u);
  // The retry fails too: the oldest sample makes room, and only it is lost.
  EXPECT_TRUE(insert(4));
  EXPECT_EQ(log().count(RNR_LOG_ERROR, "Database Cannot execute sql"), 2u);
  EXPECT_EQ(log().count(RNR_LOG_ERROR,
                        "Database Bulk insert buffer full: dropped the oldest sample (topic_id 1, "
                        "timestamp 0)"),
            1u);
  EXPECT_EQ(store_->bulk_insert_count, 4u);

  // Once the lock is gone the kept batch is written by the next insert.
  ASSERT_TRUE(exec(other, "ROLLBACK"));
  EXPECT_TRUE(insert(5));
  EXPECT_EQ(query_int(store_->db, "SELECT COUNT(*) FROM data"), 4);
  EXPECT_EQ(store_->bulk_insert_count, 1u);

  // Samples that cannot be written when the bulk insert ends are reported.
  EXPECT_TRUE(insert(6));
  ASSERT_TRUE(exec(other, "BEGIN IMMEDIATE"));
  log().clear();
  rnr_Database_end_bulk_insert_data(store_);
  EXPECT_EQ(log().count(RNR_LOG_ERROR, "Database Lost 2 buffered samples"), 1u);
  EXPECT_FALSE(store_->bulk_insert_enabled);
  ASSERT_TRUE(exec(other, "ROLLBACK"));
  EXPECT_TRUE(insert(7));
  sqlite3_close(other);

  const auto rows = read_data(store_->db);
  ASSERT_EQ(rows.size(), 5u);
  const std::vector<uint64_t> expected = {1, 2, 3, 4, 7};
  for (size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i].id, static_cast<int64_t>(i + 1));
    EXPECT_EQ(rows[i].timestamp, expected[i]);
    EXPECT_EQ(rows[i].bytes, payloads[expected[i]]);
  }
}
