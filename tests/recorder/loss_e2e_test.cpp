// `quorvin-rnr record` while others read its bag and while signals arrive the
// way terminals, pipes and timeout(1) deliver them: nothing it received may go
// missing, and what did go missing is counted. Each case uses its own DDS
// domain (101..105, 72) on loopback.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <sqlite3.h>

#include "bag_files.h"
#include "child_process.h"
#include "files.h"

using namespace rnr::test;
using namespace std::chrono_literals;

namespace {

// A reliable ddsperf publisher of its keyed sequence topic, whose samples
// carry the writer's sequence number as their first field.
std::unique_ptr<Child> publisher(int domain, int rate, int size, const std::string& log) {
  return std::make_unique<Child>(
      std::vector<std::string>{RNR_DDSPERF_PATH, "-i", std::to_string(domain), "-k", "all", "-D",
                               "30", "pub", std::to_string(rate), "size", std::to_string(size)},
      ChildOptions{.stdout_path = log, .stderr_path = log});
}

struct Recording {
  TempDir dir;
  std::string out = dir.file("recorder.out");
  std::unique_ptr<Child> recorder;
  std::unique_ptr<Child> pub;

  // Starts the recorder, then the publisher once the recorder has its topic.
  Recording(int domain, int rate, int size, const std::string& level = "info",
            const std::string& stdout_path = "") {
    recorder = std::make_unique<Child>(
        std::vector<std::string>{RNR_TOOL_PATH, "record", "-d", std::to_string(domain), "-l", level,
                                 "KeyedSeq", "DDSPerfRDataKS"},
        ChildOptions{.cwd = dir.path(),
                     .stdout_path = stdout_path.empty() ? out : stdout_path,
                     .stderr_path = out});
    // The log is in `out` unless standard output goes elsewhere.
    if (stdout_path.empty()) {
      wait_for_text(out, "Recorder Add Topic{", 20s);
    } else {
      std::this_thread::sleep_for(2s);
    }
    pub = publisher(domain, rate, size, dir.file("pub.log"));
  }

  std::string bag() const {
    const auto bags = dir.files_matching("dovuve_", ".sqlite3");
    return bags.size() == 1 ? bags[0] : "";
  }
  bool receiving() const { return wait_for_text(out, "Recorder Create DataReader", 20s); }
};

// Every sample from the first stored to the last, each once and in order.
void expect_no_gap(const std::string& path, size_t at_least) {
  const Bag bag = read_bag(path);
  ASSERT_TRUE(bag.integrity_ok) << path;
  ASSERT_GE(bag.data.size(), at_least) << path;
  const auto first = payload_u32(bag.data.front().bytes, 0);
  ASSERT_TRUE(first.has_value());
  for (size_t i = 0; i < bag.data.size(); ++i) {
    const auto seq = payload_u32(bag.data[i].bytes, 0);
    ASSERT_EQ(seq, *first + i) << "row " << i + 1 << " of " << bag.data.size();
  }
}

sqlite3* open_reader(const std::string& path) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_busy_timeout(db, 30000);
  return db;
}

int64_t now_ns() {
  timespec t{};
  clock_gettime(CLOCK_REALTIME, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

TEST(RecordAndRead, ReadersOfTheGrowingBagCostNoSample) {
  Recording rec(101, 5000, 1000);
  ASSERT_TRUE(rec.receiving()) << read_file(rec.out);
  std::this_thread::sleep_for(1s);
  const std::string bag = rec.bag();
  ASSERT_FALSE(bag.empty());

  // The bag tool reads it meanwhile, without "database is locked".
  for (const char* command : {"info", "json"}) {
    const ChildResult tool = run_program({RNR_BAGTOOL_PATH, command, bag});
    EXPECT_TRUE(tool.exited_with(0)) << command << ": " << tool.err;
    EXPECT_EQ(tool.err.find("locked"), std::string::npos) << tool.err;
  }
  // A read transaction of 3 s: the recorder waits, within its memory.
  sqlite3* reader = open_reader(bag);
  ASSERT_TRUE(exec_sql(reader, "BEGIN"));
  ASSERT_GT(query_int(reader, "SELECT COUNT(*) FROM data"), 0);
  std::this_thread::sleep_for(3s);
  ASSERT_TRUE(exec_sql(reader, "COMMIT"));
  std::this_thread::sleep_for(1s);

  // Stopped while a reader holds the bag: the recorder waits for it.
  ASSERT_TRUE(exec_sql(reader, "BEGIN"));
  ASSERT_GT(query_int(reader, "SELECT COUNT(*) FROM data"), 0);
  rec.recorder->signal(SIGINT);
  EXPECT_TRUE(wait_for_text(rec.out, "Database Waiting up to 30 s for the readers of", 10s))
      << read_file(rec.out);
  ASSERT_TRUE(exec_sql(reader, "COMMIT"));
  sqlite3_close(reader);
  EXPECT_EQ(rec.recorder->wait(60s), 0) << read_file(rec.out);
  const std::string log = read_file(rec.out);
  EXPECT_EQ(log.find("Lost"), std::string::npos) << log;
  expect_no_gap(bag, 5000);
}

TEST(RecordAndRead, LowRateSamplesAreInTheBagWithinASecond) {
  Recording rec(102, 10, 100);
  ASSERT_TRUE(rec.receiving()) << read_file(rec.out);
  sqlite3* reader = nullptr;
  ASSERT_TRUE(wait_until(
      [&] {
        if (reader == nullptr && !rec.bag().empty()) {
          reader = open_reader(rec.bag());
        }
        return reader != nullptr && query_int(reader, "SELECT COUNT(*) FROM data") > 0;
      },
      5s));
  // A sample every 100 ms; the newest committed one is never much older
  // than the commit bound of 1 s.
  int64_t worst = 0;
  for (int i = 0; i < 12; ++i) {
    std::this_thread::sleep_for(250ms);
    worst = std::max(worst, now_ns() - query_int(reader, "SELECT MAX(timestamp) FROM data"));
  }
  sqlite3_close(reader);
  EXPECT_LT(worst, 1300000000) << "ns behind";
  rec.recorder->signal(SIGINT);
  EXPECT_EQ(rec.recorder->wait(60s), 0);
  expect_no_gap(rec.bag(), 20);
}

TEST(RecordSignals, ClosedOutputHangupAndRepeatedInterruptSaveEverything) {
  // Standard output is a pipe whose reader leaves after three lines, like
  // `record -l verbose | head -3`.
  {
    TempDir fifo_dir;
    const std::string fifo = fifo_dir.file("out");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // Not inherited: the recorder must not hold a reading end itself.
    const int fd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    Recording rec(103, 2000, 100, "verbose", fifo);
    std::string seen;
    ASSERT_TRUE(wait_until(
        [&] {
          char buffer[4096];
          const ssize_t n = read(fd, buffer, sizeof buffer);
          if (n > 0) {
            seen.append(buffer, static_cast<size_t>(n));
          }
          return count_occurrences(seen, "\n") >= 3;
        },
        20s));
    close(fd);
    std::this_thread::sleep_for(2s);
    EXPECT_FALSE(rec.recorder->wait(0ms).has_value()) << "ended by the closed pipe";
    rec.recorder->signal(SIGINT);
    EXPECT_EQ(rec.recorder->wait(60s), 0) << read_file(rec.out);
    expect_no_gap(rec.bag(), 2000);
  }
  // The terminal closes: SIGHUP stops it like SIGTERM.
  {
    Recording rec(104, 2000, 100);
    ASSERT_TRUE(rec.receiving());
    std::this_thread::sleep_for(2s);
    rec.recorder->signal(SIGHUP);
    EXPECT_EQ(rec.recorder->wait(60s), 0) << read_file(rec.out);
    expect_no_gap(rec.bag(), 2000);
  }
  // The same SIGINT delivered twice at once (timeout(1), process groups).
  {
    Recording rec(105, 2000, 100);
    ASSERT_TRUE(rec.receiving());
    std::this_thread::sleep_for(2s);
    rec.recorder->signal(SIGINT);
    std::this_thread::sleep_for(2ms);
    rec.recorder->signal(SIGINT);
    EXPECT_EQ(rec.recorder->wait(60s), 0) << read_file(rec.out);
    expect_no_gap(rec.bag(), 2000);
  }
}

}  // namespace

// The recorder stopped for longer than its participant's lease: the reliable
// writer takes the recorder's reader for gone, drops what it held for it and
// matches it again once the recorder runs on. The recorder names the writer
// and what that cost, its "Lost" total is exactly the gap the bag's sequence
// numbers show, and the run ends with status 1.
TEST(RecordStall, ReliableSamplesDroppedByTheWriterAreCountedExactly) {
  Recording rec(72, 5000, 100);
  ASSERT_TRUE(rec.receiving()) << read_file(rec.out);
  std::this_thread::sleep_for(2s);
  rec.recorder->signal(SIGSTOP);
  std::this_thread::sleep_for(14s);
  rec.recorder->signal(SIGCONT);
  std::this_thread::sleep_for(4s);
  rec.pub.reset();
  std::this_thread::sleep_for(500ms);
  rec.recorder->signal(SIGINT);
  EXPECT_EQ(rec.recorder->wait(60s), 1);

  const Bag bag = read_bag(rec.bag());
  ASSERT_TRUE(bag.integrity_ok);
  ASSERT_GT(bag.data.size(), 1000u);
  uint64_t missing = 0;
  for (size_t i = 1; i < bag.data.size(); ++i) {
    const auto prev = payload_u32(bag.data[i - 1].bytes, 0);
    const auto seq = payload_u32(bag.data[i].bytes, 0);
    ASSERT_TRUE(prev.has_value() && seq.has_value());
    ASSERT_GT(*seq, *prev) << "row " << i + 1;
    missing += *seq - *prev - 1;
  }
  const std::string output = read_file(rec.out);
  ASSERT_GT(missing, 0u) << output;
  EXPECT_EQ(count_occurrences(output, "dropped the recorder's reader"), 1u) << output;
  EXPECT_EQ(count_occurrences(output, "Recorder Lost " + std::to_string(missing) + " samples: " +
                                          std::to_string(missing) + " never arrived"),
            1u)
      << output;
}
