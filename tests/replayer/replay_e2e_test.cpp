// End to end: bags of the test types replayed by `quorvin-rnr replay` to the
// typed test listener, a separate process on loopback.
#include <sys/stat.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <chrono>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "peer_common.h"
#include "bag_files.h"
#include "child_process.h"
#include "files.h"
#include "listener_output.h"
#include "log_capture.h"

using namespace std::chrono_literals;
using rnr::peers::Kind;
using namespace rnr::test;

namespace {

constexpr size_t kPayload = 24;

struct TopicUnderTest {
  Kind kind;
  std::string name;
  bool xcdr2;
  int id = 0;
};

class ReplayEndToEndTest : public ::testing::Test {
 protected:
  // Starts the listener on `topics`, waits until its readers exist, replays
  // `bag`, and returns the listener's samples. `replay_seconds` receives the
  // replay's duration, `replay_out` its output.
  std::vector<Heard> replay_to_listener(const std::string& bag, int domain,
                                        const std::vector<TopicUnderTest>& topics, size_t count,
                                        int* replay_status, double* replay_seconds,
                                        std::string* replay_out) {
    std::vector<std::string> argv = {
        RNR_LISTENER,   "--domain", std::to_string(domain), "--count", std::to_string(count),
        "--timeout-ms", "20000"};
    for (const TopicUnderTest& t : topics) {
      argv.push_back("--topic");
      argv.push_back(std::string(t.kind == Kind::keyed ? "keyed:" : "keyless:") + t.name);
    }
    Child listener(
        argv, {.stdout_path = dir.file("listener.out"), .stderr_path = dir.file("listener.err")});
    EXPECT_TRUE(wait_for_text(dir.file("listener.out"), "READY", 10s));

    auto started = std::chrono::steady_clock::now();
    Child replay({RNR_EXECUTABLE, "replay", "-d", std::to_string(domain), bag},
                 {.stdout_path = dir.file("replay.out"), .stderr_path = dir.file("replay.err")});
    *replay_status = replay.wait(30s).value_or(-1);
    replay_exit_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    *replay_seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    *replay_out = rnr::test::read_file(dir.file("replay.out"));
    EXPECT_EQ(listener.wait(25s), 0) << rnr::test::read_file(dir.file("listener.err"));
    return heard_samples(rnr::test::read_file(dir.file("listener.out")));
  }
  TempDir dir;
  int64_t replay_exit_ns = 0;  // when the replay process was seen ending
};

TEST_F(ReplayEndToEndTest, ListenerSeesTheRecordedGaps) {
  const int domain = 151;
  std::vector<TopicUnderTest> topics = {{Kind::keyless, "rnr_e2e_paced", true}};
  // Gaps in ms between consecutive rows; the row marked -20 lies 20 ms before
  // its predecessor: it is written at once, and the next rows are paced from
  // it.
  const std::vector<int64_t> gaps = {10, 0, 50, 1, -20, 30, 10, 0, 50, 1};
  std::string bag = dir.file("paced.sqlite3");
  std::vector<int64_t> expected_gaps;
  {
    BagWriter writer(bag);
    topics[0].id = writer.add_topic(topics[0].name, rnr::peers::type_name(Kind::keyless), 0);
    int64_t at = 0;
    uint64_t i = 0;
    writer.add_sample(topics[0].id, kBase,
                      rnr::peers::expected_bytes(Kind::keyless, i++, kPayload, true));
    for (int64_t gap : gaps) {
      at += gap * static_cast<int64_t>(kMs);
      writer.add_sample(topics[0].id, kBase + static_cast<uint64_t>(at),
                        rnr::peers::expected_bytes(Kind::keyless, i++, kPayload, true));
      expected_gaps.push_back(std::max<int64_t>(gap, 0));
    }
  }

  int status = -1;
  double seconds = 0;
  std::string out;
  std::vector<Heard> heard =
      replay_to_listener(bag, domain, topics, expected_gaps.size() + 1, &status, &seconds, &out);
  EXPECT_EQ(status, 0);
  ASSERT_EQ(heard.size(), expected_gaps.size() + 1);
  // The early row (sample 5) arrives in its place.
  EXPECT_EQ(heard[5].description, rnr::peers::expected_description(Kind::keyless, 5, kPayload));
  for (size_t k = 0; k < expected_gaps.size(); ++k) {
    int64_t gap_ns = heard[k + 1].recv_ns - heard[k].recv_ns;
    EXPECT_GE(gap_ns, expected_gaps[k] * 1000000 - 5000000) << "gap " << k;
    EXPECT_LE(gap_ns, expected_gaps[k] * 1000000 + 30000000) << "gap " << k;
  }
}

// The talker's SAMPLE lines of one topic: the hex bytes in the order written.
std::vector<std::string> talker_samples(const std::string& output, const std::string& topic) {
  std::vector<std::string> result;
  std::istringstream lines(output);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string word;
    std::string name;
    fields >> word >> name;
    if (word != "SAMPLE" || name != topic) {
      continue;
    }
    std::string index;
    std::string guid[4];
    std::string hex;
    fields >> index >> guid[0] >> guid[1] >> guid[2] >> guid[3] >> hex;
    result.push_back(hex);
  }
  return result;
}

TEST_F(ReplayEndToEndTest, RecordedTalkersReplayToTypedListener) {
  const int domain = 152;
  const int per_topic = 15;
  // Keyed and keyless types, in XCDR1 and XCDR2; the third topic comes from
  // a second talker that writes XCDR2.
  std::vector<TopicUnderTest> topics = {{Kind::keyed, "rnr_rec_keyed", false},
                                        {Kind::keyless, "rnr_rec_keyless", true},
                                        {Kind::keyed, "rnr_rec_keyed_xcdr2", true}};
  std::string bags = dir.file("bags");
  std::filesystem::create_directory(bags);
  {
    std::vector<std::string> record = {RNR_EXECUTABLE, "record", "-d", std::to_string(domain)};
    for (const TopicUnderTest& t : topics) {
      record.push_back(rnr::peers::type_name(t.kind));
      record.push_back(t.name);
    }
    Child recorder(record, {.cwd = bags,
                            .stdout_path = dir.file("record.out"),
                            .stderr_path = dir.file("record.err")});
    std::this_thread::sleep_for(500ms);
    std::vector<std::string> common = {
        "--domain", std::to_string(domain), "--count", std::to_string(per_topic), "--rate",
        "50",       "--wait-readers",       "1"};
    std::vector<std::string> first = {RNR_TALKER, "--topic", "keyed:" + topics[0].name, "--topic",
                                      "keyless:" + topics[1].name};
    std::vector<std::string> second = {RNR_TALKER, "--xcdr2", "--topic", "keyed:" + topics[2].name};
    first.insert(first.end(), common.begin(), common.end());
    second.insert(second.end(), common.begin(), common.end());
    Child talker1(first,
                  {.stdout_path = dir.file("talker1.out"), .stderr_path = dir.file("talker1.err")});
    Child talker2(second,
                  {.stdout_path = dir.file("talker2.out"), .stderr_path = dir.file("talker2.err")});
    ASSERT_EQ(talker1.wait(30s), 0) << rnr::test::read_file(dir.file("talker1.err"));
    ASSERT_EQ(talker2.wait(30s), 0) << rnr::test::read_file(dir.file("talker2.err"));
    std::this_thread::sleep_for(300ms);
    recorder.signal(SIGINT);
    ASSERT_EQ(recorder.wait(20s), 0) << rnr::test::read_file(dir.file("record.out"));
  }
  std::string bag;
  for (const auto& entry : std::filesystem::directory_iterator(bags)) {
    bag = entry.path().string();
  }
  ASSERT_FALSE(bag.empty()) << rnr::test::read_file(dir.file("record.out"));
  // Replay only reads: a read-only bag plays and keeps every byte.
  ASSERT_EQ(chmod(bag.c_str(), 0444), 0);
  std::string before = rnr::test::read_file(bag);

  int status = -1;
  double seconds = 0;
  std::string out;
  std::vector<Heard> heard = replay_to_listener(
      bag, domain, topics, static_cast<size_t>(per_topic) * topics.size(), &status, &seconds, &out);
  EXPECT_EQ(status, 0);
  EXPECT_NE(out.find("Replay finished\n"), std::string::npos) << out;
  EXPECT_EQ(rnr::test::read_file(bag), before);
  ASSERT_FALSE(heard.empty());
  int64_t last_heard = 0;
  for (const Heard& h : heard) {
    last_heard = std::max(last_heard, h.recv_ns);
  }
  EXPECT_LT(replay_exit_ns - last_heard, 1500000000) << "the replay outlived its last sample";

  std::string talked =
      rnr::test::read_file(dir.file("talker1.out")) + rnr::test::read_file(dir.file("talker2.out"));
  for (const TopicUnderTest& t : topics) {
    SCOPED_TRACE(t.name);
    std::vector<std::string> sent = talker_samples(talked, t.name);
    ASSERT_EQ(sent.size(), static_cast<size_t>(per_topic));
    std::vector<Heard> mine;
    std::copy_if(heard.begin(), heard.end(), std::back_inserter(mine),
                 [&](const Heard& h) { return h.topic == t.name; });
    ASSERT_EQ(mine.size(), sent.size());
    for (size_t i = 0; i < sent.size(); ++i) {
      std::vector<uint8_t> bytes = rnr::peers::expected_bytes(t.kind, i, 16, t.xcdr2);
      ASSERT_EQ(sent[i], rnr::peers::hex(bytes.data(), bytes.size()));
      std::string description;
      std::string key;
      ASSERT_TRUE(rnr::peers::decode(t.kind, bytes.data(), bytes.size(), &description, &key));
      EXPECT_EQ(mine[i].hex, sent[i]) << "sample " << i;
      EXPECT_EQ(mine[i].description, rnr::peers::expected_description(t.kind, i, 16));
      EXPECT_EQ(mine[i].key, key) << "sample " << i;
    }
  }
}

}  // namespace
