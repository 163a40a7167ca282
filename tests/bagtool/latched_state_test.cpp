// The latched state that play writes before --start, worked out from a bag:
// which topics latch by their writers' durability, and which samples, per
// instance of a keyed type and per topic otherwise.
#include <sqlite3.h>

#include <gtest/gtest.h>

#include "bag_files.h"
#include "bagtool/latched_state.h"
#include "files.h"
#include "types/qos_policies.h"

using namespace rnr::test;

namespace {

// An XCDR1 little-endian sample of m::K { @key long id; long v; }.
std::vector<uint8_t> k_sample(int32_t id, int32_t v) {
  std::vector<uint8_t> b = {0x00, 0x01, 0x00, 0x00};
  for (int32_t x : {id, v}) {
    for (int i = 0; i < 4; ++i) {
      b.push_back(static_cast<uint8_t>(static_cast<uint32_t>(x) >> (8 * i)));
    }
  }
  return b;
}

std::string qos_text(rnr::qos::Durability durability) {
  rnr::qos::WriterQos qos;
  qos.durability = durability;
  return rnr::qos::to_text(qos);
}

}  // namespace

TEST(LatchedStateTest, TopicsByDurabilityAndSamplesByInstance) {
  TempDir dir;
  const std::string path = dir.file("latched.sqlite3");
  const char* idl = "module m { @final struct K { @key long id; long v; }; };";
  {
    BagWriter bag(path);
    const int keyed = bag.add_topic("keyed", "m::K", 1, idl);
    const int unkeyed = bag.add_topic("flagged_keyless", "m::K", 0, idl);
    const int unknown = bag.add_topic("unknown_type", "m::Gone", 1, idl);
    bag.add_topic("volatile", "m::K", 1, idl);
    bag.add_topic("persistent", "m::K", 1, idl);
    bag.begin();
    const int64_t t = static_cast<int64_t>(kBase);
    bag.add_sample(keyed, t + 1, k_sample(1, 10));           // 1
    bag.add_sample(keyed, t + 2, k_sample(2, 20));           // 2
    bag.add_sample(keyed, t + 5, k_sample(1, 11));           // 3: instance 1's latest
    bag.add_sample(keyed, t + 4, k_sample(2, 21));           // 4: stamped earlier, instance 2
    bag.add_sample(keyed, t + 4, {0x00, 0x01, 0x00, 0x00});  // 5: does not fit, latest of its own
    bag.add_sample(keyed, t + 9, k_sample(3, 30));           // 6: at the start, not before it
    bag.add_sample(unkeyed, t + 1, k_sample(1, 1));          // 7
    bag.add_sample(unkeyed, t + 2, k_sample(2, 2));          // 8: the topic's latest
    bag.add_sample(unknown, t + 3, k_sample(1, 1));          // 9
    bag.add_sample(unknown, t + 3, k_sample(2, 2));          // 10: equal time, later row
    bag.commit();
  }
  rnr::bag::BagReader reader;
  std::string error;
  std::vector<rnr::bag::TopicSummary> topics;
  ASSERT_TRUE(reader.open(path, &error) && reader.topics(&topics, false, &error)) << error;
  std::vector<int32_t> latched = {99};
  // Without writer_qos rows nothing latches.
  ASSERT_TRUE(rnr::bagtool::latched_topics(reader, {1, 2, 3, 4, 5}, &latched, &error));
  EXPECT_TRUE(latched.empty());

  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  using rnr::qos::Durability;
  ASSERT_TRUE(exec_sql(
      db,
      "INSERT INTO writers(guid) VALUES ('1'), ('2'), ('3'), ('4'), ('5'), ('6'); CREATE "
      "TABLE writer_qos (writer_id INTEGER PRIMARY KEY, topic_id INTEGER, qos TEXT); "
      "INSERT INTO writer_qos VALUES (1, 1, '" +
          qos_text(Durability::transient_local) + "'), (2, 2, '" + qos_text(Durability::transient) +
          "'), (3, 3, '" + qos_text(Durability::transient_local) + "'), (4, 4, '" +
          qos_text(Durability::volatile_) + "'), (5, 5, '" + qos_text(Durability::persistent) +
          "'), (6, 4, 'durability=bogus\n')"));
  sqlite3_close(db);
  ASSERT_TRUE(rnr::bagtool::latched_topics(reader, {1, 2, 3, 4}, &latched, &error));
  EXPECT_EQ(latched, (std::vector<int32_t>{1, 2, 3}));  // 5 is not played

  std::vector<int64_t> ids;
  const int64_t start = static_cast<int64_t>(kBase) + 9;
  ASSERT_TRUE(rnr::bagtool::latched_sample_ids(reader, topics, latched, start, &ids, &error));
  EXPECT_EQ(ids, (std::vector<int64_t>{3, 4, 5, 8, 10}));
  // Beyond the cap a topic gives its latest sample alone.
  ASSERT_TRUE(rnr::bagtool::latched_sample_ids(reader, topics, {1}, start, &ids, &error, 2));
  EXPECT_EQ(ids, (std::vector<int64_t>{3}));
  ASSERT_TRUE(rnr::bagtool::latched_sample_ids(reader, topics, {1}, start, &ids, &error, 3));
  EXPECT_EQ(ids, (std::vector<int64_t>{3, 4, 5}));
}
