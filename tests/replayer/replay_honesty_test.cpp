// Bags whose rows are not the tidy sequence a recording leaves: ids that do
// not run from 1, clocks that stepped back, a first time of INT64_MAX, and a
// sample of no known representation. Seen by a typed reader in another
// process, every sample that can be written arrives, none holds up the
// others, and the replayer counts what it could not write.
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

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

std::atomic<int> finished_calls{0};
void count_finished(rnr_replayer* /*replayer*/) {
  finished_calls.fetch_add(1);
}

std::vector<uint8_t> keyless_sample(uint64_t i) {
  return rnr::peers::expected_bytes(Kind::keyless, i, 16, true);
}

void run_sql(const std::string& bag, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(bag.c_str(), &db), SQLITE_OK);
  EXPECT_TRUE(exec_sql(db, sql)) << sql;
  sqlite3_close(db);
}

// Replays `bag` to its end; the replayer's count of unwritten samples.
uint64_t replay_to_end(const std::string& bag, int domain) {
  finished_calls = 0;
  rnr_replayer* replayer = rnr_replayer_create(bag.c_str(), domain);
  EXPECT_NE(replayer, nullptr);
  if (replayer == nullptr) {
    return UINT64_MAX;
  }
  rnr_replayer_set_on_replay_finished(replayer, count_finished);
  rnr_replayer_start_replay(replayer);
  EXPECT_TRUE(wait_until([] { return finished_calls.load() == 1; }, 15s));
  rnr_replayer_stop_replay(replayer);
  const uint64_t unwritten = rnr_replayer_unwritten(replayer);
  rnr_replayer_destroy(replayer);
  return unwritten;
}

TEST(ReplayHonestyTest, EverySampleThatCanBeWrittenArrivesWhateverItsIdsAndTimes) {
  const int domain = 172;
  TempDir dir;
  LogCapture log;
  const char* type = rnr::peers::type_name(Kind::keyless);
  std::vector<std::string> want_steps;
  std::vector<std::string> want_sparse;

  // 40 samples 1 ms apart whose clock steps back 100 ms at the 10th, with
  // the 20th and 21st swapped and a sample of encapsulation 00 fe after the
  // 5th; the ids then start at 1001.
  const std::string steps = dir.file("steps.sqlite3");
  {
    BagWriter writer(steps);
    int topic = writer.add_topic("rh_steps", type, 0);
    for (uint64_t i = 0; i < 40; ++i) {
      uint64_t ms = i < 10 ? 1000 + i : 900 + i;
      if (i == 20 || i == 21) {
        ms = 900 + 41 - i;
      }
      writer.add_sample(topic, kBase + ms * kMs, keyless_sample(i));
      want_steps.push_back(rnr::peers::expected_description(Kind::keyless, i, 16));
      if (i == 5) {
        std::vector<uint8_t> odd = keyless_sample(99);
        odd[1] = 0xfe;
        writer.add_sample(topic, kBase + ms * kMs, odd);
      }
    }
  }
  run_sql(steps, "UPDATE data SET _id = _id + 1000");

  // A first time of INT64_MAX, then 29 samples of which every other row is
  // deleted: ids 1, 3, 5, ...
  const std::string sparse = dir.file("sparse.sqlite3");
  {
    BagWriter writer(sparse);
    int topic = writer.add_topic("rh_sparse", type, 0);
    for (uint64_t i = 0; i < 30; ++i) {
      writer.add_sample(topic, i == 0 ? INT64_MAX : kBase + i * kMs, keyless_sample(i));
      if (i % 2 == 0) {
        want_sparse.push_back(rnr::peers::expected_description(Kind::keyless, i, 16));
      }
    }
  }
  run_sql(sparse, "DELETE FROM data WHERE _id % 2 = 0");

  const std::string out = dir.file("listener.out");
  Child listener({RNR_LISTENER, "--domain", std::to_string(domain), "--topic", "keyless:rh_steps",
                  "--topic", "keyless:rh_sparse", "--count",
                  std::to_string(want_steps.size() + want_sparse.size()), "--timeout-ms", "60000"},
                 ChildOptions{.stdout_path = out, .stderr_path = dir.file("listener.err")});
  ASSERT_TRUE(wait_until([&] { return read_file(out).find("READY") != std::string::npos; }, 10s));

  EXPECT_EQ(replay_to_end(steps, domain), 1u);
  EXPECT_EQ(log.matching("Replayer Skip samples of topic_id 1 whose encapsulation header is not a "
                         "known representation (first: _id 1007, header 00 fe)")
                .size(),
            1u);
  EXPECT_TRUE(log.contains(
      "Replayer 2 samples were stamped earlier than the sample before them and were written at "
      "once"));
  EXPECT_EQ(log.matching("Replayer Could not write 1 of 41 samples: 0 refused").size(), 1u);
  log.clear();

  EXPECT_EQ(replay_to_end(sparse, domain), 0u);
  EXPECT_TRUE(log.contains(
      "Replayer 1 samples were stamped earlier than the sample before them and were written at "
      "once"));
  EXPECT_TRUE(log.matching("Replayer Could not write").empty());
  EXPECT_TRUE(log.matching("Replayer Cannot write data").empty());

  EXPECT_EQ(listener.wait(20s), 0) << read_file(dir.file("listener.err"));
  std::vector<std::string> heard_steps;
  std::vector<std::string> heard_sparse;
  for (const Heard& h : heard_samples(read_file(out))) {
    (h.topic == "rh_steps" ? heard_steps : heard_sparse).push_back(h.description);
  }
  EXPECT_EQ(heard_steps, want_steps);
  EXPECT_EQ(heard_sparse, want_sparse);
}

}  // namespace
