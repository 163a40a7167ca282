// Several threads inserting samples while another registers topics and
// writers, all on the one connection of one store.
#include <cstring>
#include <map>
#include <thread>

#include "bag_test_util.h"

using namespace rnr::test;

namespace {

constexpr int kInserters = 4;

struct Payload {
  uint32_t thread;
  uint32_t seq;
};

void run_concurrently(rnr_Database* store, int samples_per_thread, int registrations,
                      const LogCapture& log) {
  std::vector<std::thread> threads;
  for (int t = 0; t < kInserters; ++t) {
    threads.emplace_back([store, t, samples_per_thread] {
      for (int s = 0; s < samples_per_thread; ++s) {
        const Payload p{static_cast<uint32_t>(t), static_cast<uint32_t>(s)};
        const rnr_DataRow row{static_cast<uint64_t>(s), static_cast<uint32_t>(t + 1), &p,
                              sizeof(p)};
        EXPECT_TRUE(rnr_Database_insert_data(store, &row));
      }
    });
  }
  std::vector<int32_t> topic_ids(registrations), writer_ids(registrations);
  threads.emplace_back([&] {
    for (int i = 0; i < registrations; ++i) {
      const std::string name = "topic-" + std::to_string(i);
      topic_ids[i] = rnr_Database_insert_topic(store, name.c_str(), "T");
      dds_guid guid{};
      guid.entity_id = static_cast<uint32_t>(i);
      writer_ids[i] = rnr_Database_insert_entity_info(store, &guid);
    }
  });
  for (auto& thread : threads) {
    thread.join();
  }
  if (store->bulk_insert_enabled) {
    rnr_Database_end_bulk_insert_data(store);
  }

  // Every returned id is the id of its own row.
  for (int i = 0; i < registrations; ++i) {
    ASSERT_GT(topic_ids[i], 0);
    EXPECT_EQ(query_int(store->db, "SELECT _id FROM topics WHERE topic_name = 'topic-" +
                                       std::to_string(i) + "'"),
              topic_ids[i]);
    char text[DDS_GUID_TEXT_SIZE];
    dds_guid guid{};
    guid.entity_id = static_cast<uint32_t>(i);
    dds_guid_to_text(&guid, text, sizeof(text));
    ASSERT_GT(writer_ids[i], 0);
    EXPECT_EQ(
        query_int(store->db, std::string("SELECT _id FROM writers WHERE guid = '") + text + "'"),
        writer_ids[i]);
  }

  // data._id runs 1..N without a gap, every sample once, each thread in order.
  const auto rows = read_bag(store->db).data;
  ASSERT_EQ(rows.size(), static_cast<size_t>(kInserters * samples_per_thread));
  std::map<uint32_t, int64_t> next_seq;
  for (size_t i = 0; i < rows.size(); ++i) {
    ASSERT_EQ(rows[i].id, static_cast<int64_t>(i + 1));
    ASSERT_EQ(rows[i].bytes.size(), sizeof(Payload));
    Payload p;
    std::memcpy(&p, rows[i].bytes.data(), sizeof(p));
    ASSERT_EQ(rows[i].topic_id, static_cast<int64_t>(p.thread + 1));
    ASSERT_EQ(p.seq, next_seq[p.thread]) << "thread " << p.thread << " at row " << i + 1;
    ASSERT_EQ(rows[i].timestamp, p.seq);
    ++next_seq[p.thread];
  }
  EXPECT_TRUE(log.lines().empty());
}

}  // namespace

TEST_F(BagTest, ConcurrentBatchedInsertsAndCatalogueKeepIdsAndOrder) {
  rnr_Database* store = rnr_Database_create(bag_path().c_str());
  ASSERT_NE(store, nullptr);
  ASSERT_TRUE(rnr_Database_start_bulk_insert_data(store, 256));
  run_concurrently(store, 5000, 200, log());
  rnr_Database_destroy(store);
}

TEST_F(BagTest, ConcurrentImmediateInsertsAndCatalogueKeepIdsAndOrder) {
  rnr_Database* store = rnr_Database_create(bag_path().c_str());
  ASSERT_NE(store, nullptr);
  run_concurrently(store, 300, 200, log());
  rnr_Database_destroy(store);
}
