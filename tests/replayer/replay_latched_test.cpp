// A recorded transient-local writer replayed: a subscriber that joins after
// the replay wrote everything still gets what the recorded durability
// service kept (here the last 5 samples), as from the original writer.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "bag_files.h"
#include "files.h"
#include "log_capture.h"
#include "types/qos_policies.h"
#include "peer_common.h"
#include "replayer/replayer.h"

using namespace std::chrono_literals;
using namespace rnr::test;
using rnr::peers::Kind;

namespace {

std::atomic<bool> finished{false};
void on_finished(rnr_replayer* /*replayer*/) {
  finished = true;
}

TEST(ReplayLatched, LateJoinerGetsTheRecordedDurabilityDepth) {
  const int domain = 91;
  LogCapture log;
  TempDir dir;
  const std::string path = dir.file("latched.sqlite3");
  const bool xcdr2 = rnr::peers::default_xcdr2(Kind::keyless);
  std::vector<std::vector<uint8_t>> sent;
  {
    BagWriter bag(path);
    const int topic = bag.add_topic("rnr_latched", "rnr_test::KeylessSample", 0);
    for (uint64_t i = 0; i < 20; ++i) {
      sent.push_back(rnr::peers::expected_bytes(Kind::keyless, i, 16, xcdr2));
      bag.add_sample(topic, 1700000000000000000ull + i * 1000000u, sent.back());
    }
  }
  rnr::qos::WriterQos latched;
  latched.durability = rnr::qos::Durability::transient_local;
  latched.durability_service.depth = 5;
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_TRUE(exec_sql(db, "INSERT INTO writers(guid) VALUES('01 02 03 04')"));
    ASSERT_TRUE(exec_sql(db,
                         "CREATE TABLE writer_qos (writer_id INTEGER PRIMARY KEY, topic_id "
                         "INTEGER, qos TEXT); INSERT INTO writer_qos VALUES(1, 1, '" +
                             rnr::qos::to_text(latched) + "')"));
    sqlite3_close(db);
  }
  rnr_replayer* replayer = rnr_replayer_create(path.c_str(), domain);
  ASSERT_NE(replayer, nullptr);
  rnr_replayer_set_on_replay_finished(replayer, on_finished);
  rnr_replayer_start_replay(replayer);
  for (int i = 0; i < 500 && !finished; ++i) {
    std::this_thread::sleep_for(20ms);
  }
  ASSERT_TRUE(finished);

  // The replay writer still exists: a transient-local subscriber joins now.
  rnr::peers::EndpointOptions latched_reader;
  latched_reader.transient_local = true;
  rnr::peers::TypedReader late(domain, {Kind::keyless, "rnr_latched"}, latched_reader);
  ASSERT_TRUE(late.ok());
  std::vector<rnr::peers::Received> got = late.take_until(5, 10000);
  std::this_thread::sleep_for(300ms);
  for (auto& more : late.take()) {
    got.push_back(more);
  }
  std::vector<std::vector<uint8_t>> bytes;
  for (const auto& r : got) {
    bytes.push_back(r.bytes);
  }
  EXPECT_EQ(bytes, std::vector<std::vector<uint8_t>>(sent.end() - 5, sent.end()));
  rnr_replayer_stop_replay(replayer);
  rnr_replayer_destroy(replayer);
}

}  // namespace
