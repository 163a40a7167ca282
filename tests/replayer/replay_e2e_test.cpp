// End to end: bags of the test types replayed by `quorvin-rnr replay` to the
// typed test listener, a separate process on loopback.
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "peer_common.h"
#include "test_support.h"

using namespace std::chrono_literals;
using rnr::peers::Kind;
using rnr_test::BagWriter;
using rnr_test::Child;
using rnr_test::ScratchDir;

namespace {

constexpr uint64_t kBase = 1700000000000000000ull;
constexpr uint64_t kMs = 1000000ull;
constexpr size_t kPayload = 24;

// One SAMPLE line of the listener.
struct Heard {
  std::string topic;
  int64_t recv_ns = 0;
  std::string key;
  std::string hex;
  std::string description;
};

std::vector<Heard> heard_samples(const std::string& output) {
  std::vector<Heard> result;
  std::istringstream lines(output);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string word;
    fields >> word;
    if (word != "SAMPLE") {
      continue;
    }
    Heard heard;
    fields >> heard.topic >> heard.recv_ns >> heard.key >> heard.hex;
    std::getline(fields, heard.description);
    if (!heard.description.empty() && heard.description[0] == ' ') {
      heard.description.erase(0, 1);
    }
    result.push_back(heard);
  }
  return result;
}

bool wait_for_text(const std::string& path, const std::string& text,
                   std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (rnr_test::read_file(path).find(text) != std::string::npos) {
      return true;
    }
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

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
    Child listener(argv, dir.file("listener.out"), dir.file("listener.err"));
    EXPECT_TRUE(wait_for_text(dir.file("listener.out"), "READY", 10s));

    auto started = std::chrono::steady_clock::now();
    Child replay({RNR_EXECUTABLE, "replay", "-d", std::to_string(domain), bag},
                 dir.file("replay.out"), dir.file("replay.err"));
    *replay_status = replay.wait(30s);
    replay_exit_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    *replay_seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    *replay_out = rnr_test::read_file(dir.file("replay.out"));
    EXPECT_EQ(listener.wait(25s), 0) << rnr_test::read_file(dir.file("listener.err"));
    return heard_samples(rnr_test::read_file(dir.file("listener.out")));
  }
  ScratchDir dir;
  int64_t replay_exit_ns = 0;  // when the replay process was seen ending
};

TEST_F(ReplayEndToEndTest, TypedListenerReceivesEverySampleAsRecorded) {
  const int domain = 150;
  const uint64_t per_topic = 12;
  std::vector<TopicUnderTest> topics = {{Kind::keyed, "rnr_e2e_keyed_cdr1", false},
                                        {Kind::keyless, "rnr_e2e_keyless_cdr2", true},
                                        {Kind::keyed, "rnr_e2e_keyed_cdr2", true}};
  std::string bag = dir.file("talker.sqlite3");
  {
    BagWriter writer(bag);
    for (TopicUnderTest& t : topics) {
      t.id = writer.add_topic(t.name, rnr::peers::type_name(t.kind), t.kind == Kind::keyed);
    }
    uint64_t at = kBase;
    for (uint64_t i = 0; i < per_topic; ++i) {
      for (const TopicUnderTest& t : topics) {
        writer.add_sample(t.id, at, rnr::peers::expected_bytes(t.kind, i, kPayload, t.xcdr2));
        at += 2 * kMs;
      }
    }
  }
  // Replay only reads: a read-only bag plays and keeps every byte.
  ASSERT_EQ(chmod(bag.c_str(), 0444), 0);
  std::string before = rnr_test::read_file(bag);

  int status = -1;
  double seconds = 0;
  std::string out;
  std::vector<Heard> heard =
      replay_to_listener(bag, domain, topics, per_topic * topics.size(), &status, &seconds, &out);
  EXPECT_EQ(status, 0);
  EXPECT_NE(out.find("Replay finished\n"), std::string::npos) << out;
  // One second of start delay, 72 ms of bag, at most a second for the run
  // loop to notice the end, and the teardown.
  EXPECT_LT(seconds, 3.5);
  ASSERT_FALSE(heard.empty());
  int64_t last_heard = 0;
  for (const Heard& h : heard) {
    last_heard = std::max(last_heard, h.recv_ns);
  }
  EXPECT_LT(replay_exit_ns - last_heard, 1500000000) << "the replay outlived its last sample";
  EXPECT_EQ(rnr_test::read_file(bag), before);

  for (const TopicUnderTest& t : topics) {
    SCOPED_TRACE(t.name);
    std::vector<Heard> mine;
    std::copy_if(heard.begin(), heard.end(), std::back_inserter(mine),
                 [&](const Heard& h) { return h.topic == t.name; });
    ASSERT_EQ(mine.size(), per_topic);
    for (uint64_t i = 0; i < per_topic; ++i) {
      std::vector<uint8_t> bytes = rnr::peers::expected_bytes(t.kind, i, kPayload, t.xcdr2);
      std::string description;
      std::string key;
      ASSERT_TRUE(rnr::peers::decode(t.kind, bytes.data(), bytes.size(), &description, &key));
      EXPECT_EQ(mine[i].hex, rnr::peers::hex(bytes.data(), bytes.size())) << "sample " << i;
      EXPECT_EQ(mine[i].description, rnr::peers::expected_description(t.kind, i, kPayload));
      EXPECT_EQ(mine[i].key, key) << "sample " << i;
    }
  }
}

TEST_F(ReplayEndToEndTest, ListenerSeesTheRecordedGaps) {
  const int domain = 151;
  std::vector<TopicUnderTest> topics = {{Kind::keyless, "rnr_e2e_paced", true}};
  // Gaps in ms between consecutive rows; the row marked -1 lies 20 ms before
  // its predecessor and is skipped.
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
    int64_t last_written = 0;
    for (int64_t gap : gaps) {
      at += gap * static_cast<int64_t>(kMs);
      writer.add_sample(topics[0].id, kBase + static_cast<uint64_t>(at),
                        rnr::peers::expected_bytes(Kind::keyless, i++, kPayload, true));
      if (at >= last_written) {
        expected_gaps.push_back((at - last_written) / static_cast<int64_t>(kMs));
        last_written = at;
      }
    }
  }
  ASSERT_EQ(expected_gaps, (std::vector<int64_t>{10, 0, 50, 1, 10, 10, 0, 50, 1}));

  int status = -1;
  double seconds = 0;
  std::string out;
  std::vector<Heard> heard =
      replay_to_listener(bag, domain, topics, expected_gaps.size() + 1, &status, &seconds, &out);
  EXPECT_EQ(status, 0);
  ASSERT_EQ(heard.size(), expected_gaps.size() + 1);
  // The skipped row (sample 5) never arrives.
  for (const Heard& h : heard) {
    EXPECT_NE(h.description, rnr::peers::expected_description(Kind::keyless, 5, kPayload));
  }
  for (size_t k = 0; k < expected_gaps.size(); ++k) {
    int64_t gap_ns = heard[k + 1].recv_ns - heard[k].recv_ns;
    EXPECT_GE(gap_ns, expected_gaps[k] * 1000000 - 5000000) << "gap " << k;
    EXPECT_LE(gap_ns, expected_gaps[k] * 1000000 + 30000000) << "gap " << k;
  }
}

}  // namespace
