// The sample sources in the store: written with their samples, under the
// samples' ids, through a batch that found the bag locked (rolled back and
// written again, never doubled) and the immediate insert; read back by the
// cursor and counted per writer.
#include <sqlite3.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bag/sample_sources.h"
#include "bag_test_util.h"
#include "child_process.h"

using namespace rnr::test;

namespace {

bool exec_on(sqlite3* db, const char* sql) {
  return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

int64_t single_int(sqlite3* db, const char* sql) {
  sqlite3_stmt* st = nullptr;
  int64_t value = -1;
  if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) == SQLITE_OK &&
      sqlite3_step(st) == SQLITE_ROW) {
    value = sqlite3_column_int64(st, 0);
  }
  sqlite3_finalize(st);
  return value;
}

TEST_F(StoreTest, SourcesGoWithTheirSamplesAlsoThroughALockedCommit) {
  ASSERT_TRUE(rnr_Database_create_sample_sources_table(store_));
  sqlite3* reader = nullptr;
  ASSERT_EQ(sqlite3_open(bag_path().c_str(), &reader), SQLITE_OK);
  ASSERT_TRUE(rnr_Database_start_bulk_insert_data(store_, 4));
  // Sample i has reception time i; its source (when it has one) is writer
  // 1 (i < 4) or 2, source time 1000 + i and number 10 + i. Sample 2 comes without
  // a source, sample 3 with one that says nothing.
  auto insert = [&](uint64_t i) {
    const std::string bytes = "sample " + std::to_string(i);
    const rnr_DataRow row = make_row(1, i, bytes);
    rnr_SampleSource source{static_cast<int32_t>(i / 4 + 1), 1000 + i, 10 + i};
    if (i == 3) {
      source = {};
    }
    return rnr_Database_insert_data_with_source(store_, &row, i == 2 ? nullptr : &source);
  };
  // The first batch's commit finds the bag locked by a reader.
  ASSERT_TRUE(exec_on(reader, "BEGIN"));
  ASSERT_EQ(single_int(reader, "SELECT COUNT(*) FROM data"), 0);
  for (uint64_t i = 0; i < 6; ++i) {
    ASSERT_TRUE(insert(i));
  }
  ASSERT_TRUE(wait_until([&] { return rnr_Database_bulk_insert_stats(store_).locked; },
                         std::chrono::seconds(5)));
  ASSERT_TRUE(exec_on(reader, "COMMIT"));
  rnr_Database_end_bulk_insert_data(store_);
  ASSERT_TRUE(insert(6));  // immediate
  EXPECT_EQ(rnr_Database_bulk_insert_stats(store_).lost_samples, 0u);

  EXPECT_EQ(single_int(reader, "SELECT COUNT(*) FROM data"), 7);
  // One row per run of a writer's consecutive samples written together: 0
  // and 1 of writer 1, 4 and 5 of writer 2 (the last batch), and 6 (the
  // immediate insert).
  EXPECT_EQ(single_int(reader, "SELECT COUNT(*) FROM sample_sources"), 3);
  EXPECT_EQ(single_int(reader, "SELECT SUM(count) FROM sample_sources"), 5);

  // Each source belongs to the sample it was handed with (sample i is row
  // i + 1); asked again for an earlier one, the cursor goes back.
  // The cursor's statement goes before the connection closes.
  auto cursor_owner = std::make_unique<rnr::bag::SampleSourceCursor>();
  rnr::bag::SampleSourceCursor& cursor = *cursor_owner;
  std::string error;
  ASSERT_TRUE(cursor.open(reader, &error)) << error;
  ASSERT_TRUE(cursor.present());
  for (int64_t id : {1, 2, 3, 4, 5, 6, 7, 8, 2}) {
    SCOPED_TRACE(id);
    const rnr::bag::SampleSourceRow* row = nullptr;
    ASSERT_TRUE(cursor.find(id, &row, &error)) << error;
    const int64_t i = id - 1;
    if (i == 2 || i == 3 || i > 6) {
      EXPECT_EQ(row, nullptr);
      continue;
    }
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->writer_id, i / 4 + 1);
    EXPECT_EQ(row->source_timestamp, 1000 + i);
    EXPECT_EQ(row->sequence, 10 + i);
  }

  std::vector<rnr::bag::WriterSampleCount> counts;
  ASSERT_TRUE(rnr::bag::samples_per_writer(reader, &counts, &error)) << error;
  ASSERT_EQ(counts.size(), 2u);
  EXPECT_EQ(counts[0].writer_id, 1);
  EXPECT_EQ(counts[0].samples, 2u);  // samples 0, 1
  EXPECT_EQ(counts[0].topic_id, 1);
  EXPECT_EQ(counts[1].writer_id, 2);
  EXPECT_EQ(counts[1].samples, 3u);  // samples 4, 5, 6
  cursor_owner.reset();
  EXPECT_EQ(sqlite3_close(reader), SQLITE_OK);
}

TEST_F(StoreTest, WithoutTheTableSourcesAreLeftOutAndNothingIsFound) {
  const std::string bytes = "plain";
  const rnr_DataRow row = make_row(1, 5, bytes);
  const rnr_SampleSource source{1, 1000, 1};
  ASSERT_TRUE(rnr_Database_insert_data_with_source(store_, &row, &source));
  ASSERT_TRUE(rnr_Database_start_bulk_insert_data(store_, 4));
  ASSERT_TRUE(rnr_Database_insert_data_with_source(store_, &row, &source));
  rnr_Database_end_bulk_insert_data(store_);
  EXPECT_EQ(single_int(store_->db, "SELECT COUNT(*) FROM data"), 2);
  EXPECT_FALSE(rnr::bag::has_sample_sources(store_->db));
  rnr::bag::SampleSourceCursor cursor;
  std::string error;
  ASSERT_TRUE(cursor.open(store_->db, &error));
  const rnr::bag::SampleSourceRow* found = nullptr;
  ASSERT_TRUE(cursor.find(1, &found, &error));
  EXPECT_EQ(found, nullptr);
  std::vector<rnr::bag::WriterSampleCount> counts;
  ASSERT_TRUE(rnr::bag::samples_per_writer(store_->db, &counts, &error));
  EXPECT_TRUE(counts.empty());
}

}  // namespace
