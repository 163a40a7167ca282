// The recorder beyond what its bag can take: a publisher faster than the
// store, and a bag on a file system that fills up. All traffic stays on
// loopback (CYCLONEDDS_URI is inherited by the children).
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "bag_files.h"
#include "child_process.h"
#include "files.h"
#include "log/logger.h"
#include "recorder/recorder_internal.h"  // the recorder's store, slowed down here

using namespace rnr::test;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

std::unique_ptr<Child> ddsperf_pub(int domain, const std::string& rate, int seconds,
                                   const std::string& log) {
  std::vector<std::string> argv = {
      std::string(RNR_DDSPERF_PATH), "-i", std::to_string(domain), "-k", "all", "-D",
      std::to_string(seconds),       "pub"};
  if (!rate.empty()) {
    argv.push_back(rate);  // otherwise as fast as it can
  }
  argv.insert(argv.end(), {"size", "1000"});
  return std::make_unique<Child>(argv, ChildOptions{.stdout_path = log, .stderr_path = log});
}

// The KeyedSeq sequence numbers of a bag's samples run on without a gap, and
// its rows are well formed.
void expect_gapless(const Bag& bag) {
  ASSERT_TRUE(bag.opened);
  EXPECT_TRUE(bag.integrity_ok);
  for (size_t i = 0; i < bag.data.size(); ++i) {
    ASSERT_EQ(bag.data[i].id, static_cast<int64_t>(i + 1));
    if (i > 0) {
      ASSERT_EQ(payload_u32(bag.data[i].bytes, 0), *payload_u32(bag.data[i - 1].bytes, 0) + 1)
          << "gap after _id " << i;
    }
  }
}

// Slows every commit of the bag down, so that any publisher is faster.
int slow_commit(void*) {
  std::this_thread::sleep_for(20ms);
  return 0;
}

}  // namespace

// A reliable publisher at full speed against a store that commits 256 rows
// per 20 ms: the recorder holds no more than its bound, the publisher waits
// for it, every sample taken is stored without a gap, and the stop is prompt.
TEST(RecorderOverload, HeldSamplesStayWithinTheBoundAndReliableOnesAreAllStored) {
  const int domain = 166;
  constexpr size_t kLimit = size_t{1} << 20;
  rnr_logger_init(RNR_LOG_WARN);
  TempDir dir;
  const std::string bag_path = dir.path() + "/overload.sqlite3";
  rnr_recorder* recorder = rnr_recorder_create(domain, bag_path.c_str());
  ASSERT_NE(recorder, nullptr);
  sqlite3_commit_hook(recorder->database.load()->db, slow_commit, nullptr);
  rnr_recorder_set_held_bytes_limit(recorder, kLimit);
  ASSERT_TRUE(rnr_recorder_add_topic(recorder, "DDSPerfRDataKS", "KeyedSeq"));
  ASSERT_TRUE(rnr_recorder_start_record(recorder));

  auto perf = ddsperf_pub(domain, "", 30, dir.path() + "/ddsperf.log");
  // Until the bound has been reached, and for two seconds more.
  rnr_BulkInsertStats stats{};
  const auto deadline = Clock::now() + 20s;
  bool reached = false;
  auto end = deadline;
  while (Clock::now() < end) {
    std::this_thread::sleep_for(50ms);
    stats = rnr_Database_bulk_insert_stats(recorder->database);
    if (!reached && stats.held_bytes_peak + 2000 >= kLimit) {
      reached = true;
      end = Clock::now() + 2s;
    }
  }
  ASSERT_TRUE(reached) << "the bound was never reached";
  // One sample beyond the bound at most: the one that did not quite fit.
  EXPECT_LE(stats.held_bytes_peak, kLimit + 1100);
  EXPECT_EQ(stats.lost_samples, 0u);

  // Stopped while the publisher still sends.
  const auto stop_started = Clock::now();
  rnr_recorder_stop_record(recorder);
  EXPECT_TRUE(rnr_recorder_save_record(recorder));
  EXPECT_LT(Clock::now() - stop_started, 10s);
  rnr_recorder_destroy(recorder);
  perf.reset();

  const Bag bag = read_bag(bag_path);
  EXPECT_GT(bag.data.size(), 1000u);
  expect_gapless(bag);
}

namespace {

// A small tmpfs mounted on a fresh directory, unmounted when the test ends.
class SmallFileSystem {
 public:
  explicit SmallFileSystem(const std::string& size) {
    path_ = dir_.path() + "/fs";
    std::filesystem::create_directory(path_);
    const std::string options = "size=" + size;
    mounted_ = mount("tmpfs", path_.c_str(), "tmpfs", 0, options.c_str()) == 0;
  }
  ~SmallFileSystem() {
    if (mounted_) {
      umount2(path_.c_str(), MNT_DETACH);
    }
  }
  bool mounted() const { return mounted_; }
  const std::string& path() const { return path_; }

  // Fills the file system up with a file of zeros.
  void fill(const std::string& name) const {
    std::ofstream out(path_ + "/" + name, std::ios::binary);
    const std::string block(4096, '\0');
    while (out.write(block.data(), block.size()) && out.flush()) {
    }
  }

 private:
  TempDir dir_;
  std::string path_;
  bool mounted_ = false;
};

}  // namespace

// The bag's file system fills up during a recording, gets space again, and
// fills up once more before the stop: one line when writing fails and one
// when it recovers, writing resumes where it stopped, the stop is prompt,
// and the samples that could not be saved are counted and end the run with
// status 1. The bag stays sound with its ids gapless.
TEST(RecorderOverload, FullDiskIsReportedInFewLinesResumedAndEndsWithStatusOne) {
  const int domain = 167;
  SmallFileSystem fs("8m");
  if (!fs.mounted()) {
    GTEST_SKIP() << "cannot mount a tmpfs here (needs root or CAP_SYS_ADMIN)";
  }
  const std::string out = fs.path() + "/../recorder.out";
  Child recorder({std::string(RNR_TOOL_PATH), "record", "-d", std::to_string(domain), "KeyedSeq",
                  "DDSPerfRDataKS"},
                 ChildOptions{.cwd = fs.path(), .stdout_path = out, .stderr_path = out});
  ASSERT_TRUE(recorder.started());
  ASSERT_TRUE(wait_for_text(out, "Recorder Add Topic{", 20s));
  auto perf = ddsperf_pub(domain, "2000Hz", 60, fs.path() + "/../ddsperf.log");
  ASSERT_TRUE(wait_for_text(out, "Recorder Create DataReader{", 30s)) << read_file(out);
  fs.fill("filler");

  ASSERT_TRUE(wait_for_text(out, "Database Cannot execute sql (", 30s)) << read_file(out);
  std::this_thread::sleep_for(1500ms);
  std::filesystem::remove(fs.path() + "/filler");
  ASSERT_TRUE(wait_for_text(out, "Database Writing samples again after", 10s)) << read_file(out);
  std::this_thread::sleep_for(500ms);
  fs.fill("filler");
  ASSERT_TRUE(wait_for_text(out, "Database Cannot execute sql (", 30s, 2)) << read_file(out);
  std::this_thread::sleep_for(1500ms);

  const auto stop_started = Clock::now();
  recorder.signal(SIGINT);
  EXPECT_EQ(recorder.wait(30s), 1);
  // The run loop notices the signal within a second; the store gets one
  // more attempt and then gives up.
  EXPECT_LT(Clock::now() - stop_started, 3500ms);
  perf.reset();

  const std::string output = read_file(out);
  EXPECT_EQ(count_occurrences(output, "Database Cannot execute sql ("), 2u) << output;
  EXPECT_EQ(count_occurrences(output, "Database Writing samples again after"), 1u) << output;
  EXPECT_EQ(count_occurrences(output, "Recorder Lost "), 1u) << output;
  EXPECT_LE(count_occurrences(output, "\n"), 12u) << output;

  std::filesystem::remove(fs.path() + "/filler");
  const auto bags = [&] {
    std::vector<std::string> found;
    for (const auto& e : std::filesystem::directory_iterator(fs.path())) {
      if (e.path().extension() == ".sqlite3") {
        found.push_back(e.path().string());
      }
    }
    return found;
  }();
  ASSERT_EQ(bags.size(), 1u);
  const Bag bag = read_bag(bags[0]);
  EXPECT_GT(bag.data.size(), 0u);
  ASSERT_TRUE(bag.opened);
  EXPECT_TRUE(bag.integrity_ok);
  for (size_t i = 0; i < bag.data.size(); ++i) {
    ASSERT_EQ(bag.data[i].id, static_cast<int64_t>(i + 1));
  }
}

// A writer discovered while the disk is full queues its catalogue rows behind
// the failing writes: the failing period is still one line naming the cause
// and one when writing resumes, however many attempts it took, and the
// writer's rows and samples follow once there is space.
TEST(RecorderOverload, FullDiskWithNewWritersIsTwoLines) {
  const int domain = 70;
  SmallFileSystem fs("8m");
  if (!fs.mounted()) {
    GTEST_SKIP() << "cannot mount a tmpfs here (needs root or CAP_SYS_ADMIN)";
  }
  const std::string out = fs.path() + "/../recorder.out";
  Child recorder({std::string(RNR_TOOL_PATH), "record", "-d", std::to_string(domain), "KeyedSeq",
                  "DDSPerfRDataKS"},
                 ChildOptions{.cwd = fs.path(), .stdout_path = out, .stderr_path = out});
  ASSERT_TRUE(recorder.started());
  ASSERT_TRUE(wait_for_text(out, "Recorder Add Topic{", 20s));
  auto first = ddsperf_pub(domain, "500Hz", 60, fs.path() + "/../first.log");
  ASSERT_TRUE(wait_for_text(out, "Recorder Create DataReader{", 30s)) << read_file(out);
  fs.fill("filler");
  ASSERT_TRUE(wait_for_text(out, "Database Cannot execute sql (", 30s)) << read_file(out);
  auto second = ddsperf_pub(domain, "500Hz", 60, fs.path() + "/../second.log");
  ASSERT_TRUE(wait_for_text(out, "Recorder Create Entity info of DataWriter{", 30s, 2))
      << read_file(out);
  std::this_thread::sleep_for(3s);  // a dozen attempts
  std::filesystem::remove(fs.path() + "/filler");
  ASSERT_TRUE(wait_for_text(out, "Database Writing samples again after", 10s)) << read_file(out);
  std::this_thread::sleep_for(1500ms);
  recorder.signal(SIGINT);
  EXPECT_EQ(recorder.wait(30s), 0);
  first.reset();
  second.reset();

  const std::string output = read_file(out);
  EXPECT_EQ(count_occurrences(output, "Database "), 2u) << output;
  EXPECT_EQ(count_occurrences(output, "Database Cannot execute sql (database or disk is full"), 1u)
      << output;
  const auto bags = [&] {
    std::vector<std::string> found;
    for (const auto& e : std::filesystem::directory_iterator(fs.path())) {
      if (e.path().extension() == ".sqlite3") {
        found.push_back(e.path().string());
      }
    }
    return found;
  }();
  ASSERT_EQ(bags.size(), 1u);
  const Bag bag = read_bag(bags[0]);
  ASSERT_TRUE(bag.opened);
  EXPECT_EQ(bag.writers.size(), 2u);
}
