// `quorvin-rnr replay` as a process: refusals with their lines and status,
// a bag whose samples cannot be read, the end of a bag, and SIGINT during a
// replay.
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "bag_files.h"
#include "child_process.h"
#include "files.h"
#include "log_capture.h"

using namespace std::chrono_literals;
using namespace rnr::test;

namespace {

struct Outcome {
  int status;
  std::string out;
  std::string err;
  double seconds;
};

class ReplayCommandTest : public ::testing::Test {
 protected:
  // Each run's output alone: the files are appended to.
  Child start(const std::string& bag, int domain) {
    std::remove(dir.file("out.txt").c_str());
    std::remove(dir.file("err.txt").c_str());
    return Child({RNR_EXECUTABLE, "replay", "-d", std::to_string(domain), bag},
                 {.stdout_path = dir.file("out.txt"), .stderr_path = dir.file("err.txt")});
  }
  Outcome finish(Child& child, std::chrono::steady_clock::time_point started,
                 std::chrono::milliseconds timeout) {
    int status = child.wait(timeout).value_or(-1);
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
    return Outcome{status, rnr::test::read_file(dir.file("out.txt")),
                   rnr::test::read_file(dir.file("err.txt")), took.count()};
  }
  Outcome replay(const std::string& bag, int domain, std::chrono::milliseconds timeout = 20s) {
    auto started = std::chrono::steady_clock::now();
    Child child = start(bag, domain);
    return finish(child, started, timeout);
  }
  static bool has(const std::string& text, const std::string& piece) {
    return text.find(piece) != std::string::npos;
  }
  TempDir dir;
};

TEST_F(ReplayCommandTest, RefusedBagsEndWithStatusOneAndStayUntouched) {
  const int domain = 140;

  std::string missing = dir.file("no-such-bag.sqlite3");
  Outcome absent = replay(missing, domain);
  EXPECT_EQ(absent.status, 1);
  EXPECT_TRUE(has(absent.out, "Database Cannot open database")) << absent.out;
  EXPECT_TRUE(has(absent.out, "Replayer Cannot get topic list from database"));
  EXPECT_TRUE(has(absent.out, "Main Cannot create replayer"));
  EXPECT_FALSE(has(absent.out, "Replay finished"));
  EXPECT_FALSE(rnr::test::file_exists(missing));

  std::string text = dir.file("readme.txt");
  rnr::test::write_file(text, std::string(3000, 'q'));
  Outcome not_sqlite = replay(text, domain);
  EXPECT_EQ(not_sqlite.status, 1);
  EXPECT_TRUE(has(not_sqlite.out, "Database Cannot read database")) << not_sqlite.out;
  EXPECT_TRUE(has(not_sqlite.out, "Replayer Cannot get topic list from database"));
  EXPECT_TRUE(has(not_sqlite.out, "Main Cannot create replayer"));
  EXPECT_EQ(rnr::test::read_file(text), std::string(3000, 'q'));

  // An SQLite file without the bag's tables: refused, and left byte for byte.
  std::string tableless = dir.file("tableless.sqlite3");
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(tableless.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE other (x); INSERT INTO other VALUES (1)", nullptr,
                         nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  const std::string before = rnr::test::read_file(tableless);
  Outcome no_tables = replay(tableless, domain);
  EXPECT_EQ(no_tables.status, 1);
  EXPECT_TRUE(has(no_tables.out, "Replayer Cannot get topic list from database")) << no_tables.out;
  EXPECT_EQ(rnr::test::read_file(tableless), before);
  EXPECT_FALSE(rnr::test::file_exists(tableless + "-journal"));

  // Not a regular file: refused with the store's line, without opening it
  // (a FIFO would block the open until a writer came).
  std::string fifo = dir.file("fifo.sqlite3");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& path : {fifo, dir.path()}) {
    Outcome refused = replay(path, domain);
    EXPECT_EQ(refused.status, 1) << path;
    EXPECT_TRUE(has(refused.out, "Database Cannot open database")) << refused.out;
    EXPECT_TRUE(has(refused.out, "Main Cannot create replayer")) << refused.out;
  }
}

// The three tables are there, but the samples cannot be read: the replay
// cannot run, and the command ends at once with status 1 instead of waiting
// for a signal.
TEST_F(ReplayCommandTest, BagWhoseSamplesCannotBeReadEndsWithStatusOne) {
  const int domain = 178;
  std::string bag = dir.file("foreign.sqlite3");
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(bag.c_str(), &db), SQLITE_OK);
  for (const char* sql :
       {"CREATE TABLE topics (_id INTEGER PRIMARY KEY, topic_name, type_name, metastring, "
        "is_with_key)",
        "CREATE TABLE writers (_id INTEGER PRIMARY KEY, guid)",
        "CREATE TABLE data (_id INTEGER PRIMARY KEY, topic_id, timestamp, payload)",
        "INSERT INTO topics VALUES (1, 'rnr_replay_foreign', 'RnrForeign', NULL, 0)",
        "INSERT INTO data VALUES (1, 1, 5, X'00010000')"}) {
    ASSERT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sql;
  }
  sqlite3_close(db);

  Outcome result = replay(bag, domain, 10s);
  EXPECT_EQ(result.status, 1);
  EXPECT_TRUE(has(result.out, "Replayer Cannot prepare database query")) << result.out;
  EXPECT_TRUE(has(result.out, "Main Replay failed")) << result.out;
  EXPECT_FALSE(has(result.out, "Replay finished"));
  // The start waits 1 s, and up to 2 s more for a reader of a writer that
  // has none; then the failure ends the command without a signal.
  EXPECT_LT(result.seconds, 6.0);
}

TEST_F(ReplayCommandTest, EmptyBagPrintsReplayFinishedAfterAboutOneSecond) {
  const int domain = 141;
  std::string bag = dir.file("empty.sqlite3");
  { BagWriter writer(bag); }
  std::string before = rnr::test::read_file(bag);
  Outcome result = replay(bag, domain);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out.find("Replay finished\n") != std::string::npos, true) << result.out;
  EXPECT_GE(result.seconds, 1.0);
  EXPECT_LT(result.seconds, 4.0);
  EXPECT_EQ(rnr::test::read_file(bag), before);
}

TEST_F(ReplayCommandTest, SigintDuringReplayFinishesWithStatusZero) {
  const int domain = 142;
  std::string bag = dir.file("long.sqlite3");
  {
    BagWriter writer(bag);
    int topic = writer.add_topic("rnr_replay_long", "RnrLong", 0);
    writer.add_sample(topic, kBase, rnr::test::xcdr1_sample(1));
    writer.add_sample(topic, kBase + 60000 * kMs, rnr::test::xcdr1_sample(2));
  }
  auto started = std::chrono::steady_clock::now();
  Child child = start(bag, domain);
  std::this_thread::sleep_for(2500ms);
  child.signal(SIGINT);
  Outcome result = finish(child, started, 10s);
  EXPECT_EQ(result.status, 0);
  EXPECT_TRUE(has(result.out, "Replay finished\n")) << result.out;
  EXPECT_LT(result.seconds, 6.0);
}

// Bags that replay only in part: a damaged page ends the replay with status 1
// instead of "Replay finished"; rows whose topic has no writer are counted
// and end it with status 1 too; a bag without a writers table replays; a gap
// of more than an hour is announced.
TEST_F(ReplayCommandTest, PartialReplaysEndWithStatusOneAndSayWhy) {
  const int domain = 173;
  const std::vector<uint8_t> big(5000, 0x5a);
  std::vector<uint8_t> sample = xcdr1_sample(1);
  sample.insert(sample.end(), big.begin(), big.end());

  std::string damaged = dir.file("damaged.sqlite3");
  {
    BagWriter writer(damaged);
    int topic = writer.add_topic("rnr_partial", "RnrPartial", 0);
    writer.begin();
    for (int i = 0; i < 60; ++i) {
      writer.add_sample(topic, kBase + static_cast<uint64_t>(i) * kMs, sample);
    }
    writer.commit();
  }
  // The cell pointers of a leaf page in the middle, overwritten: the rows can
  // be counted, but those of that page cannot be read.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(damaged.c_str(), &db), SQLITE_OK);
  const int64_t page = query_int(
      db, "SELECT pageno FROM dbstat WHERE name = 'data' AND pagetype = 'leaf' LIMIT 1 OFFSET 7");
  const int64_t page_size = query_int(db, "PRAGMA page_size");
  sqlite3_close(db);
  ASSERT_GT(page, 0);
  std::string bytes = rnr::test::read_file(damaged);
  bytes.replace(static_cast<size_t>((page - 1) * page_size + 8), 8, std::string(8, '\xff'));
  rnr::test::write_file(damaged, bytes);
  Outcome broken = replay(damaged, domain);
  EXPECT_EQ(broken.status, 1);
  // SQLite reports the page as malformed, or hands its cells over as rows
  // that cannot be played; either way the replay says so.
  EXPECT_TRUE(has(broken.out, "Replayer Cannot read data after _id ") ||
              has(broken.out, "Replayer Cannot prepare database query") ||
              has(broken.out, "Replayer Could not write "))
      << broken.out;
  EXPECT_TRUE(has(broken.out, "Main Replay failed"));
  EXPECT_FALSE(has(broken.out, "Replay finished"));
  EXPECT_EQ(rnr::test::read_file(damaged), bytes);

  // No writers table, and two rows of a topic id the bag does not list.
  std::string orphans = dir.file("orphans.sqlite3");
  {
    BagWriter writer(orphans);
    int topic = writer.add_topic("rnr_partial", "RnrPartial", 0);
    writer.add_sample(topic, kBase, xcdr1_sample(1));
    writer.add_sample(topic + 5, kBase + kMs, xcdr1_sample(2));
    writer.add_sample(topic + 5, kBase + 2 * kMs, xcdr1_sample(3));
  }
  ASSERT_EQ(sqlite3_open(orphans.c_str(), &db), SQLITE_OK);
  ASSERT_TRUE(exec_sql(db, "DROP TABLE writers"));
  sqlite3_close(db);
  Outcome lost = replay(orphans, domain);
  EXPECT_EQ(lost.status, 1);
  EXPECT_TRUE(has(lost.out,
                  "Replayer Could not write 2 of 3 samples: 2 refused by the writer (no writer "
                  "for the topic, or no valid sample), 0 of an unknown representation, 0 "
                  "without a valid timestamp"))
      << lost.out;
  EXPECT_FALSE(has(lost.out, "Replay finished"));

  ASSERT_EQ(sqlite3_open(orphans.c_str(), &db), SQLITE_OK);
  ASSERT_TRUE(exec_sql(db, "DELETE FROM data WHERE _id > 1"));
  ASSERT_TRUE(exec_sql(db, "INSERT INTO data VALUES (7, 1, " +
                               std::to_string(kBase + 7200000 * kMs) + ", X'0001000002000000')"));
  sqlite3_close(db);
  auto started = std::chrono::steady_clock::now();
  Child child = start(orphans, domain);
  EXPECT_TRUE(wait_for_text(dir.file("out.txt"),
                            "Replayer Waiting 7200 s for the next sample (_id: 7)", 10s));
  child.signal(SIGINT);
  Outcome interrupted = finish(child, started, 10s);
  EXPECT_EQ(interrupted.status, 0);
  EXPECT_TRUE(has(interrupted.out, "Replay finished\n")) << interrupted.out;
}

}  // namespace
