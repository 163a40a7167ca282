// The replayer's writers pack samples whose time has come into few
// datagrams. Seen from a typed application in another process: every sample
// arrives, in order, and none is held back while the replay thread waits for
// a gap, pauses, stops or ends.
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "middleware/dds_api.h"
#include "peer_common.h"
#include "replayer/replayer.h"
#include "bag_files.h"
#include "child_process.h"
#include "files.h"
#include "listener_output.h"
#include "log_capture.h"

using namespace std::chrono_literals;
using rnr::peers::Kind;
using namespace rnr::test;

namespace {

const std::string kWrite = "Replayer Write Data(_id=";

std::atomic<int> finished_calls{0};
void count_finished(rnr_replayer* /*replayer*/) {
  finished_calls.fetch_add(1);
}

// The listener's SAMPLE lines so far.
std::vector<Heard> heard(const std::string& path) {
  return rnr::test::heard_samples(rnr::test::read_file(path));
}

// The decoded values of the samples of `topic`, in arrival order per key.
// A reader hands over what is waiting instance by instance, so only the
// order within an instance is the order of writing.
std::map<std::string, std::vector<std::string>> by_key(const std::vector<Heard>& samples,
                                                       const std::string& topic) {
  std::map<std::string, std::vector<std::string>> result;
  for (const Heard& h : samples) {
    if (h.topic == topic) {
      result[h.key].push_back(h.description);
    }
  }
  return result;
}

class ReplayBatchingTest : public ::testing::Test {
 protected:
  void SetUp() override { finished_calls = 0; }
  // Starts the listener on `topics` ("keyed:NAME", "keyless:NAME") and waits
  // until its readers exist.
  void listen(int domain, const std::vector<std::string>& topics, size_t count) {
    std::vector<std::string> argv = {
        RNR_LISTENER,   "--domain", std::to_string(domain), "--count", std::to_string(count),
        "--timeout-ms", "60000"};
    for (const std::string& t : topics) {
      argv.push_back("--topic");
      argv.push_back(t);
    }
    listener = std::make_unique<Child>(
        argv, ChildOptions{.stdout_path = out(), .stderr_path = dir.file("listener.err")});
    ASSERT_TRUE(wait_until(
        [&] { return rnr::test::read_file(out()).find("READY") != std::string::npos; }, 10s));
  }
  rnr_replayer* start(const std::string& bag, int domain) {
    rnr_replayer* replayer = rnr_replayer_create(bag.c_str(), domain);
    if (replayer != nullptr) {
      rnr_replayer_set_on_replay_finished(replayer, count_finished);
      rnr_replayer_start_replay(replayer);
    }
    return replayer;
  }
  std::string out() const { return dir.file("listener.out"); }
  size_t heard_count() const { return heard(out()).size(); }

  TempDir dir;
  std::unique_ptr<Child> listener;
};

TEST_F(ReplayBatchingTest, BurstsOfTwoTopicsArriveInOrderBeforeTheNextGapAndBeforeTheEnd) {
  const int domain = 41;
  const int per_burst = 150;
  const uint64_t gap = 400 * kMs;
  std::string bag = dir.file("bursts.sqlite3");
  // Two bursts of equal timestamps, 400 ms apart, each mostly keyless
  // samples (some large enough to travel in fragments) with a keyed one every
  // tenth row, so that the writer changes within a burst but not across the
  // gap; the bag ends with the second burst.
  std::vector<std::string> want_keyless;
  std::map<std::string, std::vector<std::string>> want_keyed;
  size_t keyed_count = 0;
  std::vector<int> keyless_burst;
  {
    BagWriter writer(bag);
    int keyless = writer.add_topic("rb_keyless", rnr::peers::type_name(Kind::keyless), 0);
    int keyed = writer.add_topic("rb_keyed", rnr::peers::type_name(Kind::keyed), 1);
    writer.begin();
    for (int burst = 0; burst < 2; ++burst) {
      for (int j = 0; j < per_burst; ++j) {
        uint64_t at = kBase + static_cast<uint64_t>(burst) * gap;
        if (j % 10 == 4) {
          uint64_t i = keyed_count++;
          std::vector<uint8_t> bytes = rnr::peers::expected_bytes(Kind::keyed, i, 8, false);
          std::string description;
          std::string key;
          ASSERT_TRUE(
              rnr::peers::decode(Kind::keyed, bytes.data(), bytes.size(), &description, &key));
          writer.add_sample(keyed, at, bytes);
          want_keyed[key].push_back(description);
        } else {
          uint64_t i = want_keyless.size();
          size_t payload = i % 25 == 3 ? 5000 : 16;
          writer.add_sample(keyless, at,
                            rnr::peers::expected_bytes(Kind::keyless, i, payload, true));
          want_keyless.push_back(rnr::peers::expected_description(Kind::keyless, i, payload));
          keyless_burst.push_back(burst);
        }
      }
    }
    writer.commit();
  }
  listen(domain, {"keyless:rb_keyless", "keyed:rb_keyed"}, 2 * per_burst);

  rnr_replayer* replayer = start(bag, domain);
  ASSERT_NE(replayer, nullptr);
  ASSERT_TRUE(wait_until([] { return finished_calls.load() == 1; }, 10s));
  // Everything arrives while the replayer still exists: nothing waits for
  // its writers to be deleted.
  EXPECT_EQ(listener->wait(10s), 0) << rnr::test::read_file(dir.file("listener.err"));
  rnr_replayer_stop_replay(replayer);
  rnr_replayer_destroy(replayer);

  std::vector<Heard> samples = heard(out());
  EXPECT_EQ(by_key(samples, "rb_keyless")["-"], want_keyless);
  EXPECT_EQ(by_key(samples, "rb_keyed"), want_keyed);

  // The first burst went out before the thread waited for the second.
  int64_t first_burst_last = 0;
  int64_t second_burst_first = INT64_MAX;
  size_t k = 0;
  for (const Heard& h : samples) {
    if (h.topic != "rb_keyless" || k >= keyless_burst.size()) {
      continue;
    }
    if (keyless_burst[k++] == 0) {
      first_burst_last = std::max(first_burst_last, h.recv_ns);
    } else {
      second_burst_first = std::min(second_burst_first, h.recv_ns);
    }
  }
  EXPECT_GT(second_burst_first - first_burst_last, static_cast<int64_t>(gap) - 150000000);
}

TEST_F(ReplayBatchingTest, PauseAndStopInARunOfDueSamplesSendEverySampleWritten) {
  const int domain = 42;
  const int count = 100000;
  std::string bag = dir.file("run.sqlite3");
  {
    BagWriter writer(bag);
    int topic = writer.add_topic("rb_run", rnr::peers::type_name(Kind::keyless), 0);
    writer.begin();
    for (int i = 0; i < count; ++i) {
      writer.add_sample(
          topic, kBase,
          rnr::peers::expected_bytes(Kind::keyless, static_cast<uint64_t>(i), 16, true));
    }
    writer.commit();
  }
  LogCapture log;
  listen(domain, {"keyless:rb_run"}, count);

  rnr_replayer* replayer = start(bag, domain);
  ASSERT_NE(replayer, nullptr);
  ASSERT_TRUE(log.wait_for(kWrite, 1, 10s));
  rnr_replayer_pause_replay(replayer);
  std::this_thread::sleep_for(200ms);
  size_t written = log.matching(kWrite).size();
  ASSERT_LT(written, static_cast<size_t>(count)) << "the replay ended before the pause";
  // Paused: what was written arrives, and nothing more is written.
  EXPECT_TRUE(wait_until([&] { return heard_count() >= written; }, 5s));
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(log.matching(kWrite).size(), written);
  EXPECT_EQ(heard_count(), written);

  // Stop from the pause: the row the thread held is written, then it ends.
  rnr_replayer_stop_replay(replayer);
  EXPECT_EQ(finished_calls.load(), 1);
  written = log.matching(kWrite).size();
  EXPECT_TRUE(wait_until([&] { return heard_count() >= written; }, 5s));
  std::this_thread::sleep_for(100ms);
  std::vector<std::string> got = by_key(heard(out()), "rb_run")["-"];
  ASSERT_EQ(got.size(), written);
  for (size_t i = 0; i < got.size(); ++i) {
    ASSERT_EQ(got[i], rnr::peers::expected_description(Kind::keyless, i, 16)) << "sample " << i;
  }
  rnr_replayer_destroy(replayer);
}

}  // namespace
