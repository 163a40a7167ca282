// `quorvin-rnr-bag record` on long runs, against the test talker: split bags
// (by duration and by size) that together hold every sample once and each
// play alone, the snapshot window, retention, and the refusals of the
// command line. Each case uses its own DDS domain on loopback.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bagtool/recording_set.h"
#include "byte_multiset.h"
#include "child_process.h"
#include "files.h"
#include "listener_output.h"
#include "peer_runs.h"

using namespace rnr::test;
using namespace std::chrono_literals;

namespace {

const std::string kType = "rnr_test::KeyedSample";

struct Row {
  int64_t id = 0;
  int64_t timestamp = 0;
  std::vector<uint8_t> bytes;
  bool repeated = false;
};

// The data rows of a bag, with the rows `repeated_rows` lists marked.
std::vector<Row> read_rows(const std::string& path) {
  std::vector<Row> rows;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return rows;
  }
  sqlite3_stmt* st = nullptr;
  // A bag of no split recording (a merge's output) has no repeated rows.
  if (sqlite3_prepare_v2(db,
                         "SELECT _id, timestamp, serialized_data, _id IN (SELECT data_id FROM "
                         "repeated_rows) FROM data ORDER BY _id",
                         -1, &st, nullptr) != SQLITE_OK) {
    sqlite3_prepare_v2(db, "SELECT _id, timestamp, serialized_data, 0 FROM data ORDER BY _id", -1,
                       &st, nullptr);
  }
  while (st != nullptr && sqlite3_step(st) == SQLITE_ROW) {
    Row r;
    r.id = sqlite3_column_int64(st, 0);
    r.timestamp = sqlite3_column_int64(st, 1);
    const auto* p = static_cast<const uint8_t*>(sqlite3_column_blob(st, 2));
    r.bytes.assign(p, p + sqlite3_column_bytes(st, 2));
    r.repeated = sqlite3_column_int(st, 3) != 0;
    rows.push_back(std::move(r));
  }
  sqlite3_finalize(st);
  sqlite3_close(db);
  return rows;
}

uint64_t size_of(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

std::unique_ptr<Child> start_recorder(const TempDir& dir, const std::string& name, int domain,
                                      const std::vector<std::string>& options) {
  std::vector<std::string> argv = {RNR_RECORD_PATH, "-d", std::to_string(domain), "-l", "info"};
  argv.insert(argv.end(), options.begin(), options.end());
  argv.insert(argv.end(), {kType, "chatter"});
  return std::make_unique<Child>(argv, ChildOptions{.stdout_path = dir.file(name + ".out"),
                                                    .stderr_path = dir.file(name + ".err")});
}

// 1 kHz of samples of about 300 bytes, five instances written in turn.
std::unique_ptr<Child> start_talker(const TempDir& dir, int domain, int count, int readers) {
  return start_peer(
      {RNR_TALKER_PATH}, domain,
      {"--topic", "keyed:chatter", "--count", std::to_string(count), "--rate", "1000", "--payload",
       "256", "--transient-local", "--wait-readers", std::to_string(readers)},
      dir.file("talker.out"));
}

// Index of each sample the talker wrote, by its bytes.
std::map<std::vector<uint8_t>, size_t, BytesLess> talker_index(const TempDir& dir) {
  const TalkerReport report = parse_talker(read_file(dir.file("talker.out")));
  std::map<std::vector<uint8_t>, size_t, BytesLess> index;
  const auto found = report.samples.find("chatter");
  if (found != report.samples.end()) {
    for (size_t i = 0; i < found->second.size(); ++i) {
      index.emplace(found->second[i], i);
    }
  }
  return index;
}

// What `info` says of the samples: its lines from `start:` to the writers,
// blanks between words counted as one.
std::vector<std::string> summary_figures(const std::string& info) {
  std::vector<std::string> figures;
  std::istringstream lines(info.substr(std::min(info.find("start:"), info.size())));
  for (std::string line; std::getline(lines, line) && line.rfind("writers (", 0) != 0;) {
    std::istringstream words(line);
    std::string figure;
    for (std::string word; words >> word;) {
      figure.append(figure.empty() ? "" : " ").append(word);
    }
    figures.push_back(figure);
  }
  return figures;
}

std::vector<std::string> sorted_bags(const TempDir& dir, const std::string& prefix) {
  auto bags = dir.files_matching(prefix, ".sqlite3");
  std::sort(bags.begin(), bags.end());
  return bags;
}

// Every sample of the split bags once, in order, each repeated row a copy
// of a sample stored in an earlier bag; and the same samples as `whole`.
void expect_once_across(const std::vector<std::string>& bags, const std::string& whole,
                        size_t written) {
  ByteMultiset originals, seen;
  std::vector<int64_t> order;
  for (size_t b = 0; b < bags.size(); ++b) {
    SCOPED_TRACE(bags[b]);
    const std::vector<Row> rows = read_rows(bags[b]);
    bool head = true;
    for (const Row& r : rows) {
      if (r.repeated) {
        EXPECT_TRUE(head) << "a repeated row after the bag's first samples";
        EXPECT_GT(b, 0u);
        EXPECT_EQ(seen.count(r.bytes), 1u) << "a repeated row without its original before";
        continue;
      }
      head = false;
      originals.insert(r.bytes);
      seen.insert(r.bytes);
      order.push_back(r.timestamp);
    }
  }
  EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
  EXPECT_EQ(originals.size(), written);
  for (const auto& bytes : originals) {
    EXPECT_EQ(originals.count(bytes), 1u);
  }
  ByteMultiset unsplit;
  for (const Row& r : read_rows(whole)) {
    EXPECT_FALSE(r.repeated);
    unsplit.insert(r.bytes);
  }
  EXPECT_TRUE(originals == unsplit) << "the split bags differ from the recording without splits";
}

// Three recorders of one talker at 1 kHz for 7 s: without splits, split every
// 2 s, and split at 512 KiB.
TEST(RecordLongRun, SplitBagsHoldEverySampleOnceAndEachPlaysAlone) {
  TempDir dir;
  const int domain = 180;
  auto whole = start_recorder(dir, "whole", domain, {"-o", dir.file("whole.sqlite3")});
  auto timed =
      start_recorder(dir, "timed", domain, {"-o", dir.file("timed"), "--split-duration", "2"});
  auto sized =
      start_recorder(dir, "sized", domain, {"-o", dir.file("sized"), "--split-size", "512K"});
  auto talker = start_talker(dir, domain, 7000, 3);
  ASSERT_TRUE(talker->wait(40s).value_or(-1) == 0) << read_file(dir.file("talker.out.err"));
  std::this_thread::sleep_for(500ms);
  for (auto* recorder : {whole.get(), timed.get(), sized.get()}) {
    recorder->signal(SIGINT);
    ASSERT_EQ(recorder->wait(30s), 0) << read_file(dir.file("timed.err"));
  }
  const size_t written = talker_index(dir).size();
  ASSERT_EQ(written, 7000u);
  EXPECT_EQ(sorted_bags(dir, "whole").size(), 1u);

  const auto timed_bags = sorted_bags(dir, "timed_");
  ASSERT_GE(timed_bags.size(), 3u);
  EXPECT_EQ(timed_bags[0], dir.file("timed_0000.sqlite3"));
  {
    SCOPED_TRACE("--split-duration");
    expect_once_across(timed_bags, dir.file("whole.sqlite3"), written);
  }
  const auto sized_bags = sorted_bags(dir, "sized_");
  ASSERT_GE(sized_bags.size(), 3u);
  {
    SCOPED_TRACE("--split-size");
    expect_once_across(sized_bags, dir.file("whole.sqlite3"), written);
    for (size_t b = 0; b + 1 < sized_bags.size(); ++b) {
      const double size = static_cast<double>(size_of(sized_bags[b]));
      EXPECT_NEAR(size, 512.0 * 1024, 0.1 * 512 * 1024) << sized_bags[b];
    }
  }

  // Read as one recording, every repeated row has its original before it.
  std::vector<std::string> ordered;
  std::string error;
  ASSERT_TRUE(rnr::bagtool::expand_recording(timed_bags, &ordered, &error)) << error;
  EXPECT_EQ(ordered, timed_bags);
  for (size_t k = 0; k < ordered.size(); ++k) {
    std::vector<int64_t> skip, repeated;
    ASSERT_TRUE(rnr::bagtool::repeated_rows_to_skip(ordered, k, &skip, &error)) << error;
    for (const Row& r : read_rows(ordered[k])) {
      if (r.repeated) {
        repeated.push_back(r.id);
      }
    }
    EXPECT_EQ(skip, repeated) << ordered[k];
  }

  // merge of the split bags, given in any order, holds each sample once: the
  // same samples as the recording without splits.
  std::vector<std::string> merge = {RNR_BAG_TOOL_PATH, "merge", dir.file("merged.sqlite3")};
  merge.insert(merge.end(), timed_bags.rbegin(), timed_bags.rend());
  const ChildResult merged = run_program(merge);
  ASSERT_TRUE(merged.exited_with(0)) << merged.err;
  expect_once_across({dir.file("merged.sqlite3")}, dir.file("whole.sqlite3"), written);
  // Each bag alone: its catalogue and writers, `info`, and a bag from the
  // middle replays.
  for (const auto& bag : timed_bags) {
    const ChildResult info = run_program({RNR_BAG_TOOL_PATH, "info", bag});
    EXPECT_TRUE(info.exited_with(0)) << bag << ": " << info.err;
    EXPECT_NE(info.out.find("chatter"), std::string::npos) << info.out;
  }
  const ChildResult play =
      run_program({RNR_BAG_TOOL_PATH, "play", timed_bags[1], "-d", "181", "--rate", "20"});
  EXPECT_TRUE(play.exited_with(0)) << play.err;

  // The split bags in a directory of their own, read as one recording.
  const std::string split = dir.file("split");
  ASSERT_EQ(mkdir(split.c_str(), 0755), 0);
  for (const auto& bag : timed_bags) {
    ASSERT_EQ(link(bag.c_str(), (split + bag.substr(bag.rfind('/'))).c_str()), 0);
  }
  {
    SCOPED_TRACE("info of the directory against info of the merged bag");
    const ChildResult of_split = run_program({RNR_BAG_TOOL_PATH, "info", split});
    const ChildResult of_merged =
        run_program({RNR_BAG_TOOL_PATH, "info", dir.file("merged.sqlite3")});
    ASSERT_TRUE(of_split.exited_with(0)) << of_split.err;
    EXPECT_NE(of_split.out.find("bags:       " + std::to_string(timed_bags.size()) + " ("),
              std::string::npos)
        << of_split.out;
    EXPECT_EQ(summary_figures(of_split.out), summary_figures(of_merged.out)) << of_split.out;
  }
  {
    SCOPED_TRACE("cut across the bags' boundaries against cut of the merged bag");
    const std::vector<std::string> range = {"--start", "1", "--end", "5.5"};
    std::vector<std::string> cut_split = {RNR_BAG_TOOL_PATH, "cut", split,
                                          dir.file("cut_split.sqlite3")};
    std::vector<std::string> cut_merged = {RNR_BAG_TOOL_PATH, "cut", dir.file("merged.sqlite3"),
                                           dir.file("cut_merged.sqlite3")};
    cut_split.insert(cut_split.end(), range.begin(), range.end());
    cut_merged.insert(cut_merged.end(), range.begin(), range.end());
    ASSERT_TRUE(run_program(cut_split).exited_with(0));
    ASSERT_TRUE(run_program(cut_merged).exited_with(0));
    const std::vector<Row> a = read_rows(dir.file("cut_split.sqlite3"));
    const std::vector<Row> b = read_rows(dir.file("cut_merged.sqlite3"));
    EXPECT_GT(a.size(), 4000u);
    ASSERT_EQ(a.size(), b.size());
    for (size_t i = 0; i < a.size(); ++i) {
      ASSERT_TRUE(a[i].timestamp == b[i].timestamp && a[i].bytes == b[i].bytes) << "row " << i;
    }
  }
  {
    SCOPED_TRACE("play of the directory");
    auto listener = std::make_unique<Child>(
        std::vector<std::string>{RNR_LISTENER, "--domain", "228", "--topic", "keyed:chatter",
                                 "--count", std::to_string(written), "--timeout-ms", "30000"},
        ChildOptions{.stdout_path = dir.file("listener.out"),
                     .stderr_path = dir.file("listener.err")});
    ASSERT_TRUE(wait_for_text(dir.file("listener.out"), "READY", 10s));
    const ChildResult played =
        run_program({RNR_BAG_TOOL_PATH, "play", split, "-d", "228", "--rate", "20"});
    EXPECT_TRUE(played.exited_with(0)) << played.err;
    EXPECT_EQ(listener->wait(30s), 0) << read_file(dir.file("listener.err"));
    const auto index = talker_index(dir);
    std::vector<int> heard(written, 0);
    for (const Heard& h : heard_samples(read_file(dir.file("listener.out")))) {
      const auto found = index.find(from_hex(h.hex));
      ASSERT_NE(found, index.end()) << "a sample the talker never wrote";
      ++heard[found->second];
    }
    EXPECT_EQ(std::count(heard.begin(), heard.end(), 1), static_cast<long>(written))
        << "every sequence number once";
  }
}

// A window of 3 s and a trigger 7 s into a 10 s run: one bag of the 3 s up to
// the trigger, contiguous, led by the latched state.
TEST(RecordLongRun, SnapshotWritesTheWindowUpToTheTrigger) {
  TempDir dir;
  const int domain = 182;
  auto recorder = start_recorder(dir, "snap", domain, {"-o", dir.file("snap"), "--snapshot", "3"});
  auto talker = start_talker(dir, domain, 10000, 1);
  ASSERT_TRUE(wait_for_text(dir.file("talker.out"), "SAMPLE", 15s));
  const auto started = std::chrono::system_clock::now();
  std::this_thread::sleep_until(started + 7s);
  const int64_t trigger = std::chrono::duration_cast<std::chrono::nanoseconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
  recorder->signal(SIGUSR1);
  ASSERT_TRUE(wait_for_text(dir.file("snap.err"), "snapshot written", 10s));
  ASSERT_TRUE(talker->wait(30s).value_or(-1) == 0);
  recorder->signal(SIGINT);
  ASSERT_EQ(recorder->wait(30s), 0) << read_file(dir.file("snap.err"));

  const auto bags = sorted_bags(dir, "snap_");
  ASSERT_EQ(bags.size(), 1u);
  EXPECT_TRUE(dir.files_matching("snap", ".partial").empty());
  const auto index = talker_index(dir);
  const std::vector<Row> rows = read_rows(bags[0]);
  std::vector<size_t> latched, window;
  int64_t first = 0, last = 0;
  for (const Row& r : rows) {
    const auto found = index.find(r.bytes);
    ASSERT_NE(found, index.end());
    if (r.repeated) {
      latched.push_back(found->second);
      continue;
    }
    if (window.empty()) {
      first = r.timestamp;
    }
    last = r.timestamp;
    window.push_back(found->second);
  }
  ASSERT_FALSE(window.empty());
  for (size_t i = 1; i < window.size(); ++i) {
    ASSERT_EQ(window[i], window[i - 1] + 1) << "the window is not contiguous";
  }
  EXPECT_NEAR(static_cast<double>(last - first) / 1e9, 3.0, 0.3);
  EXPECT_NEAR(static_cast<double>(trigger - last) / 1e9, 0.0, 0.3);
  // The talker writes five instances in turn: the latched state is the
  // latest of each before the window.
  ASSERT_EQ(latched.size(), 5u);
  for (size_t i : latched) {
    EXPECT_LT(i, window.front());
    EXPECT_GE(i + 5, window.front());
  }
}

// --max-files keeps the newest bags; --min-free that the disk cannot give
// pauses with one line; and what the command line refuses.
TEST(RecordLongRun, RetentionAndRefusals) {
  TempDir dir;
  const int domain = 183;
  auto kept = start_recorder(dir, "kept", domain,
                             {"-o", dir.file("kept"), "--split-duration", "1", "--max-files", "2"});
  auto starved = start_recorder(dir, "starved", domain,
                                {"-o", dir.file("starved.sqlite3"), "--min-free", "1000000G"});
  auto talker = start_talker(dir, domain, 4500, 2);
  ASSERT_TRUE(talker->wait(30s).value_or(-1) == 0);
  for (auto* recorder : {kept.get(), starved.get()}) {
    recorder->signal(SIGINT);
    ASSERT_EQ(recorder->wait(30s), 0);
  }
  const auto bags = sorted_bags(dir, "kept_");
  ASSERT_EQ(bags.size(), 2u);
  EXPECT_NE(bags[0], dir.file("kept_0000.sqlite3"));
  EXPECT_EQ(count_occurrences(read_file(dir.file("kept.out")), "Recorder Deleted"),
            count_occurrences(read_file(dir.file("kept.out")), "Recorder Recording into") - 2);
  const std::string starved_log = read_file(dir.file("starved.out"));
  EXPECT_EQ(count_occurrences(starved_log, "Recorder Paused: "), 1u) << starved_log;
  EXPECT_TRUE(read_rows(dir.file("starved.sqlite3")).empty()) << starved_log;

  const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
      {{"-o", dir.file("kept.out")}, "exists"},
      {{"--split-size", "12X"}, "not a size"},
      {{"--split-duration", "-3"}, "not a duration"},
      {{"--snapshot", "3", "--split-size", "1M"}, "--snapshot"},
      {{"--control", "--name", "all"}, "--name"},
  };
  for (const auto& [options, why] : refused) {
    std::vector<std::string> argv = {RNR_RECORD_PATH};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.insert(argv.end(), {kType, "chatter"});
    const ChildResult run = run_program(argv);
    EXPECT_TRUE(run.exited_with(2)) << options[0];
    EXPECT_NE(run.err.find(why), std::string::npos) << run.err;
  }
}

// Two recorders under remote control: a pause reaches the one it names,
// status lists both, a command for nobody changes nothing, and one stop to
// all ends both with complete bags.
TEST(RecordLongRun, RemoteControlPausesStopsAndReports) {
  TempDir dir;
  const int domain = 184;
  auto r1 = start_recorder(dir, "r1", domain,
                           {"-o", dir.file("r1.sqlite3"), "--control", "--name", "r1"});
  auto r2 = start_recorder(dir, "r2", domain,
                           {"-o", dir.file("r2.sqlite3"), "--control", "--name", "r2"});
  const std::string d = std::to_string(domain);
  auto talker = start_talker(dir, domain, 6000, 2);
  ASSERT_TRUE(wait_for_text(dir.file("talker.out"), "SAMPLE", 15s));
  const ChildResult pause = run_program({RNR_BAG_TOOL_PATH, "control", "-d", d, "r1", "pause"});
  ASSERT_TRUE(pause.exited_with(0)) << pause.out << pause.err;
  const ChildResult status = run_program({RNR_BAG_TOOL_PATH, "status", "-d", d});
  EXPECT_TRUE(status.exited_with(0)) << status.err;
  for (const char* line : {"r1", "r2", "paused", "recording"}) {
    EXPECT_NE(status.out.find(line), std::string::npos) << status.out;
  }
  const ChildResult nobody = run_program({RNR_BAG_TOOL_PATH, "control", "-d", d, "nobody", "stop"});
  EXPECT_TRUE(nobody.exited_with(1));
  EXPECT_NE((nobody.out + nobody.err).find("nobody"), std::string::npos) << "not named";
  std::this_thread::sleep_for(1500ms);
  const ChildResult resume = run_program({RNR_BAG_TOOL_PATH, "control", "-d", d, "r1", "resume"});
  EXPECT_TRUE(resume.exited_with(0)) << resume.out << resume.err;
  ASSERT_TRUE(talker->wait(30s).value_or(-1) == 0);
  std::this_thread::sleep_for(500ms);
  const ChildResult stop = run_program({RNR_BAG_TOOL_PATH, "control", "-d", d, "all", "stop"});
  EXPECT_TRUE(stop.exited_with(0)) << stop.out << stop.err;
  EXPECT_EQ(r1->wait(30s), 0) << read_file(dir.file("r1.err"));
  EXPECT_EQ(r2->wait(30s), 0) << read_file(dir.file("r2.err"));
  const size_t kept = read_rows(dir.file("r1.sqlite3")).size();
  EXPECT_EQ(read_rows(dir.file("r2.sqlite3")).size(), 6000u) << "the other recorder went on";
  EXPECT_LT(kept, 6000u - 1000u) << "r1 stored while paused";
  EXPECT_GT(kept, 0u);
}

}  // namespace
