// Who wrote each sample, and when: three writers of one topic recorded by
// `quorvin-rnr-bag record` are told apart by info, json, cut and merge; a
// transient-local writer's history, delivered in a burst on matching, plays
// with its original spacing under `play --timing source`; a bag without the
// sample sources shows none. Each case uses its own DDS domain on loopback.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "bag_files.h"
#include "child_process.h"
#include "files.h"
#include "listener_output.h"
#include "peer_common.h"
#include "peer_runs.h"

using namespace rnr::test;
using namespace std::chrono_literals;

namespace {

const std::string kType = "rnr_test::KeyedSample";

// What one json line tells of a sample's source.
struct JsonSource {
  int64_t timestamp = 0;
  std::string writer;
  int64_t source_timestamp = 0;
  int64_t sequence = 0;
  bool present = false;
};

int64_t number_after(const std::string& line, const std::string& key) {
  const size_t at = line.find("\"" + key + "\":");
  return at == std::string::npos ? -1 : std::stoll(line.substr(at + key.size() + 3));
}

std::vector<JsonSource> json_sources(const std::string& output) {
  std::vector<JsonSource> lines;
  size_t begin = 0;
  while (begin < output.size()) {
    size_t end = output.find('\n', begin);
    end = end == std::string::npos ? output.size() : end;
    const std::string line = output.substr(begin, end - begin);
    begin = end + 1;
    if (line.rfind("{\"event\":", 0) == 0) {
      continue;  // a dispose or unregister, not a sample
    }
    JsonSource s;
    s.timestamp = number_after(line, "timestamp");
    const size_t writer = line.find(",\"writer\":\"");
    s.present = writer != std::string::npos;
    if (s.present) {
      // The source fields come last, after the sample's own.
      EXPECT_GT(writer, line.find("\"data\":")) << line;
      s.writer = line.substr(writer + 11, 35);
      s.source_timestamp = number_after(line, "source_timestamp");
      s.sequence = number_after(line, "sequence");
    }
    lines.push_back(s);
  }
  return lines;
}

// "GUID count" of each writer that info lists under "samples per writer".
std::map<std::string, int> info_per_writer(const std::string& info) {
  std::map<std::string, int> counts;
  const size_t section = info.find("samples per writer");
  if (section == std::string::npos) {
    return counts;
  }
  size_t at = info.find('\n', section);
  while (at != std::string::npos && at + 1 < info.size()) {
    const size_t end = info.find('\n', at + 1);
    const std::string line = info.substr(at + 1, end - at - 1);
    at = end;
    if (line.rfind("    ", 0) == 0 && line.size() > 4 + 35 + 2) {
      counts[line.substr(4, 35)] = std::stoi(line.substr(4 + 35 + 2));
    } else if (line.rfind("  topic ", 0) != 0) {
      break;
    }
  }
  return counts;
}

class SampleSourcesTest : public ::testing::Test {
 protected:
  std::unique_ptr<Child> record(int domain, const std::string& bag, const std::string& topic) {
    return std::make_unique<Child>(
        std::vector<std::string>{RNR_RECORD_PATH, "-d", std::to_string(domain), "-o", bag, "-l",
                                 "info", kType, topic},
        ChildOptions{.stdout_path = dir.file("record.out"), .stderr_path = dir.file("record.err")});
  }
  // Ends a recording once its last samples are committed (within 1 s).
  void stop(Child& recorder) {
    std::this_thread::sleep_for(1500ms);
    recorder.signal(SIGINT);
    EXPECT_EQ(recorder.wait(30s), 0) << read_file(dir.file("record.err"));
  }
  ChildResult tool(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {RNR_BAG_TOOL_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv);
  }

  TempDir dir;
};

TEST_F(SampleSourcesTest, ThreeWritersOfOneTopicAreCountedShownCutAndMerged) {
  constexpr int kDomain = 230;
  const std::string bag = dir.file("three.sqlite3");
  auto recorder = record(kDomain, bag, "ss_three");
  const std::vector<int> counts = {4, 7, 11};
  std::vector<std::unique_ptr<Child>> talkers;
  for (size_t k = 0; k < counts.size(); ++k) {
    talkers.push_back(start_peer({RNR_TALKER_PATH}, kDomain,
                                 {"--topic", "keyed:ss_three", "--count", std::to_string(counts[k]),
                                  "--rate", "50", "--wait-readers", "1"},
                                 dir.file("talker" + std::to_string(k) + ".out")));
  }
  std::map<std::string, int> written;
  for (size_t k = 0; k < talkers.size(); ++k) {
    ASSERT_EQ(talkers[k]->wait(30s), 0);
    const TalkerReport report =
        parse_talker(read_file(dir.file("talker" + std::to_string(k) + ".out")));
    ASSERT_TRUE(report.done);
    written[report.writer_of_topic.at("ss_three")] = counts[k];
  }
  stop(*recorder);

  // info: each writer's GUID with what it wrote.
  const ChildResult info = tool({"info", bag});
  ASSERT_TRUE(info.exited_with(0)) << info.err;
  EXPECT_EQ(info_per_writer(info.out), written) << info.out;

  // json: every sample names its writer, whose numbers run 1..count, with
  // a source time no later than its reception.
  const ChildResult json = tool({"json", bag});
  ASSERT_TRUE(json.exited_with(0)) << json.err;
  const std::vector<JsonSource> lines = json_sources(json.out);
  ASSERT_EQ(lines.size(), 22u);
  std::map<std::string, std::vector<int64_t>> sequences;
  std::set<std::tuple<std::string, int64_t, int64_t>> originals;
  for (const JsonSource& s : lines) {
    ASSERT_TRUE(s.present);
    EXPECT_GT(s.source_timestamp, 0);
    EXPECT_LE(s.source_timestamp, s.timestamp);
    sequences[s.writer].push_back(s.sequence);
    originals.emplace(s.writer, s.sequence, s.source_timestamp);
  }
  for (const auto& [writer, count] : written) {
    std::vector<int64_t> expected(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
      expected[static_cast<size_t>(i)] = i + 1;
    }
    EXPECT_EQ(sequences[writer], expected) << writer;
  }

  // cut keeps the sources of the samples it keeps; merge of the bag and the
  // cut holds the sources of both.
  const std::string cut = dir.file("cut.sqlite3");
  ASSERT_TRUE(tool({"cut", bag, cut, "--start", "0.1"}).exited_with(0));
  const std::vector<JsonSource> cut_lines = json_sources(tool({"json", cut}).out);
  ASSERT_FALSE(cut_lines.empty());
  EXPECT_LT(cut_lines.size(), lines.size());
  std::map<std::string, int> expected_merge = written;
  for (const JsonSource& s : cut_lines) {
    ASSERT_TRUE(s.present);
    EXPECT_EQ(originals.count({s.writer, s.sequence, s.source_timestamp}), 1u) << s.writer;
    ++expected_merge[s.writer];
  }
  const std::string merged = dir.file("merged.sqlite3");
  ASSERT_TRUE(tool({"merge", merged, bag, cut}).exited_with(0));
  EXPECT_EQ(info_per_writer(tool({"info", merged}).out), expected_merge);
}

TEST_F(SampleSourcesTest, HistoryBurstPlaysWithItsOriginalSpacingUnderSourceTiming) {
  constexpr int kDomain = 231;
  constexpr int64_t kPeriodNs = 100000000;  // the talker's 10 Hz
  // The writer keeps its last 10 samples for late joiners and has written
  // them all before the recorder comes: they arrive in one burst.
  auto talker =
      start_peer({RNR_TALKER_PATH}, kDomain,
                 {"--topic", "keyed:ss_history", "--count", "10", "--rate", "10",
                  "--transient-local", "--durability-depth", "10", "--linger-ms", "30000"},
                 dir.file("talker.out"));
  ASSERT_TRUE(wait_until(
      [&] { return count_occurrences(read_file(dir.file("talker.out")), "SAMPLE ") >= 10; }, 20s));
  const std::string bag = dir.file("history.sqlite3");
  auto recorder = record(kDomain, bag, "ss_history");
  ASSERT_TRUE(wait_until(
      [&] {
        return count_occurrences(tool({"json", bag}).out, "\"sequence\":") >= 10;
      },
      15s));
  stop(*recorder);
  talker->signal(SIGTERM);
  talker->wait(10s);

  const std::vector<JsonSource> lines = json_sources(tool({"json", bag}).out);
  ASSERT_EQ(lines.size(), 10u);
  const int64_t source_span = lines.back().source_timestamp - lines.front().source_timestamp;
  const int64_t reception_span = lines.back().timestamp - lines.front().timestamp;
  EXPECT_GE(source_span, 8 * kPeriodNs * 9 / 10);
  // The premise: the history came in a burst, much closer than it was written.
  EXPECT_LT(reception_span, source_span / 2);

  auto listener = std::make_unique<Child>(
      std::vector<std::string>{RNR_LISTENER, "--domain", std::to_string(kDomain), "--topic",
                               "keyed:ss_history", "--count", "10", "--timeout-ms", "30000"},
      ChildOptions{.stdout_path = dir.file("listener.out"),
                   .stderr_path = dir.file("listener.err")});
  ASSERT_TRUE(wait_for_text(dir.file("listener.out"), "READY", 10s));
  const ChildResult play = tool({"play", bag, "-d", std::to_string(kDomain), "--timing", "source"});
  EXPECT_TRUE(play.exited_with(0)) << play.err;
  EXPECT_EQ(listener->wait(30s), 0) << read_file(dir.file("listener.err"));
  std::vector<Heard> heard = heard_samples(read_file(dir.file("listener.out")));
  ASSERT_EQ(heard.size(), 10u);
  std::vector<int64_t> gaps;
  for (size_t k = 1; k < heard.size(); ++k) {
    gaps.push_back(heard[k].recv_ns - heard[k - 1].recv_ns);
  }
  std::sort(gaps.begin(), gaps.end());
  EXPECT_GT(gaps[gaps.size() / 2], kPeriodNs / 2);

  EXPECT_TRUE(tool({"play", bag, "--timing", "sent"}).exited_with(2));
}

TEST_F(SampleSourcesTest, BagWithoutSourcesShowsNoneAndPlaysByReception) {
  constexpr int kDomain = 232;
  const std::string bag = dir.file("plain.sqlite3");
  {
    BagWriter writer(bag);
    const int topic =
        writer.add_topic("ss_plain", rnr::peers::type_name(rnr::peers::Kind::keyless), 0, nullptr);
    for (uint64_t i = 0; i < 3; ++i) {
      writer.add_sample(topic, kBase + i * 20 * kMs,
                        rnr::peers::expected_bytes(rnr::peers::Kind::keyless, i, 16, true));
    }
  }
  const ChildResult info = tool({"info", bag});
  ASSERT_TRUE(info.exited_with(0)) << info.err;
  EXPECT_EQ(info.out.find("samples per writer"), std::string::npos);
  const ChildResult json = tool({"json", bag});
  ASSERT_TRUE(json.exited_with(0)) << json.err;
  EXPECT_EQ(count_occurrences(json.out, "\n"), 3u);
  EXPECT_EQ(json.out.find("\"writer\""), std::string::npos);
  const std::string cut = dir.file("plain_cut.sqlite3");
  ASSERT_TRUE(tool({"cut", bag, cut, "--start", "0"}).exited_with(0));
  EXPECT_EQ(tool({"json", cut}).out, json.out);
  const ChildResult play = tool({"play", bag, "-d", std::to_string(kDomain), "--timing", "source"});
  EXPECT_TRUE(play.exited_with(0)) << play.err;
  // The log goes to standard output.
  EXPECT_NE((play.out + play.err).find("no source timestamps"), std::string::npos) << play.out;
}

}  // namespace
