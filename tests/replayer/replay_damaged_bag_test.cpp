// Bags written by other tools or damaged by hand: odd column types and short
// blobs must neither crash nor stall the replay, nor cost it the good rows.
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "middleware/dds_api.h"
#include "log/logger.h"
#include "replayer/replayer.h"
#include "bag_files.h"
#include "child_process.h"
#include "files.h"
#include "log_capture.h"

using namespace std::chrono_literals;
using namespace rnr::test;

namespace {

std::atomic<int> finished_calls{0};

void count_finished(rnr_replayer* /*replayer*/) {
  finished_calls.fetch_add(1);
}

// A bag whose schema has no type or NOT NULL constraints, filled row by row
// with the given SQL. `topic_key` declares the topics table's key.
void write_raw_bag(const std::string& path, const std::vector<std::string>& statements,
                   const std::string& topic_key = " INTEGER PRIMARY KEY") {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  std::vector<std::string> all = {
      "CREATE TABLE topics (_id" + topic_key +
          ", topic_name, type_name, metastring, "
          "is_with_key)",
      "CREATE TABLE writers (_id INTEGER PRIMARY KEY, guid)",
      "CREATE TABLE data (_id INTEGER PRIMARY KEY, topic_id, timestamp, serialized_data)"};
  all.insert(all.end(), statements.begin(), statements.end());
  for (const std::string& sql : all) {
    ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
        << sql << ": " << sqlite3_errmsg(db);
  }
  sqlite3_close(db);
}

std::string sample_literal(uint32_t value) {
  std::string hex = "X'";
  char byte[3];
  for (uint8_t b : xcdr1_sample(value)) {
    std::snprintf(byte, sizeof byte, "%02x", b);
    hex += byte;
  }
  return hex + "'";
}

int written_id(const LogLine& line) {
  int id = -1;
  int topic = -1;
  std::sscanf(line.text.c_str(), "Replayer Write Data(_id=%d, topic_id=%d)", &id, &topic);
  return id;
}

rnr_replayer* replay_to_end(const std::string& bag, int domain) {
  finished_calls = 0;
  rnr_replayer* replayer = rnr_replayer_create(bag.c_str(), domain);
  if (replayer == nullptr) {
    return nullptr;
  }
  rnr_replayer_set_on_replay_finished(replayer, count_finished);
  rnr_replayer_start_replay(replayer);
  auto deadline = std::chrono::steady_clock::now() + 10s;
  while (finished_calls.load() == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(2ms);
  }
  rnr_replayer_stop_replay(replayer);
  return replayer;
}

TEST(ReplayDamagedBagTest, OddColumnsAndShortBlobsAreRefusedRowByRowAndTheRestIsWritten) {
  TempDir dir;
  LogCapture log;
  const std::string bag = dir.file("odd.sqlite3");
  const std::string ok = sample_literal(7);
  write_raw_bag(bag, {
                         "INSERT INTO topics VALUES (1, 'rnr_damaged_odd', 'RnrOdd', NULL, 0)",
                         "INSERT INTO topics VALUES (2, NULL, NULL, NULL, NULL)",
                         "INSERT INTO data VALUES (1, 1, 1000, " + ok + ")",
                         "INSERT INTO data VALUES (2, NULL, 1001, " + ok + ")",
                         "INSERT INTO data VALUES (3, 'one', 1002, " + ok + ")",
                         "INSERT INTO data VALUES (4, 1, 1003, X'')",
                         "INSERT INTO data VALUES (5, 1, 1004, X'000100')",
                         "INSERT INTO data VALUES (6, 1, 1005, NULL)",
                         "INSERT INTO data VALUES (7, 1, 1006, 'text, not a blob')",
                         "INSERT INTO data VALUES (8, 2, 1007, " + ok + ")",
                         "INSERT INTO data VALUES (9, 1, NULL, " + ok + ")",
                         "INSERT INTO data VALUES (10, 1, 'late', " + ok + ")",
                         "INSERT INTO data VALUES (11, 1, -5, " + ok + ")",
                         "INSERT INTO data VALUES (12, 1.5, 1008, " + ok + ")",
                         "INSERT INTO data VALUES (13, 1, 1009, " + ok + ")",
                     });
  rnr_replayer* replayer = replay_to_end(bag, 175);
  ASSERT_NE(replayer, nullptr);
  EXPECT_EQ(finished_calls.load(), 1);
  // Six refused, one of no known representation, three without a time.
  EXPECT_EQ(rnr_replayer_unwritten(replayer), 10u);
  rnr_replayer_destroy(replayer);
  EXPECT_TRUE(log.contains(
      "Replayer Could not write 10 of 13 samples: 6 refused by the writer (no writer for the "
      "topic, or no valid sample), 1 of an unknown representation, 3 without a valid timestamp"));

  std::vector<int> written;
  for (const LogLine& line : log.matching("Replayer Write Data(_id=")) {
    written.push_back(written_id(line));
  }
  // Text in the data column ("te...") names no representation and is
  // skipped; the topic id 1.5 reads as topic 1.
  EXPECT_EQ(written, (std::vector<int>{1, 12, 13}));
  EXPECT_EQ(log.matching("Replayer Skip samples of topic_id 1 whose encapsulation header").size(),
            1u);
  for (int refused : {2, 3, 4, 5, 6, 8}) {
    EXPECT_EQ(
        log.matching("Replayer Cannot write data (_id: " + std::to_string(refused) + ",").size(),
        1u)
        << "row " << refused;
  }
  for (int skipped : {9, 10, 11}) {
    EXPECT_TRUE(log.contains(
        "Replayer Skip data with invalid timestamp (_id: " + std::to_string(skipped) + ")"))
        << "row " << skipped;
  }
}

// Topics rows that cannot be replayed as they are: a topic name of 300
// characters (cutting it would publish on another topic) and a second row
// with an _id already seen (a topics table without its primary key). Each is
// refused with one line and gets no writer; the other topics replay, and since
// nobody listens, each of them is reported with the number of samples written.
TEST(ReplayDamagedBagTest, TopicsRowsThatDoNotFitAreRefusedAndTheOthersReplay) {
  TempDir dir;
  LogCapture log;
  const std::string bag = dir.file("names.sqlite3");
  const std::string ok = sample_literal(9);
  const std::string long_name(300, 'n');
  write_raw_bag(bag,
                {
                    "INSERT INTO topics VALUES (1, 'rnr_names_ok', 'RnrNames', NULL, 0)",
                    "INSERT INTO topics VALUES (2, '" + long_name + "', 'RnrNames', NULL, 0)",
                    "INSERT INTO topics VALUES (3, 'rnr_names_first', 'RnrNames', NULL, 0)",
                    "INSERT INTO topics VALUES (3, 'rnr_names_second', 'RnrNames', NULL, 1)",
                    "INSERT INTO data VALUES (1, 1, 1000, " + ok + ")",
                    "INSERT INTO data VALUES (2, 2, 1001, " + ok + ")",
                    "INSERT INTO data VALUES (3, 3, 1002, " + ok + ")",
                    "INSERT INTO data VALUES (4, 1, 1003, " + ok + ")",
                },
                "");
  rnr_replayer* replayer = replay_to_end(bag, 168);
  ASSERT_NE(replayer, nullptr);
  EXPECT_EQ(finished_calls.load(), 1);
  EXPECT_EQ(rnr_replayer_writer_count(replayer), 2u);
  rnr_replayer_destroy(replayer);

  EXPECT_EQ(log.matching("Replayer Name of 256 characters or more! Skip creating datawriter on "
                         "topic(_id: 2)")
                .size(),
            1u);
  EXPECT_EQ(log.matching("Replayer Duplicate topic _id 3! Skip creating datawriter on topic(name: "
                         "rnr_names_second, type_name: RnrNames)")
                .size(),
            1u);
  EXPECT_EQ(log.matching("Replayer Create DataWriter with topic_name: ").size(), 2u);
  EXPECT_EQ(log.matching("Replayer Create DataWriter with topic_name: rnr_names_first,").size(),
            1u);
  std::vector<int> written;
  for (const LogLine& line : log.matching("Replayer Write Data(_id=")) {
    written.push_back(written_id(line));
  }
  EXPECT_EQ(written, (std::vector<int>{1, 3, 4}));
  EXPECT_EQ(log.matching("Replayer Cannot write data (_id: 2,").size(), 1u);
  EXPECT_EQ(log.matching("Replayer No reader matched topic(name: rnr_names_ok, type_name: "
                         "RnrNames): 2 samples written reached nobody")
                .size(),
            1u);
  EXPECT_EQ(log.matching("Replayer No reader matched topic(name: rnr_names_first, type_name: "
                         "RnrNames): 1 samples written reached nobody")
                .size(),
            1u);
}

}  // namespace
