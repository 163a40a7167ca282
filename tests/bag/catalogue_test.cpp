// The topic and writer catalogue: registration, completion, read-back, counts.
#include <cstring>
#include <thread>

#include "bag/writer_qos.h"
#include "bag_test_util.h"
#include "child_process.h"

using namespace rnr::test;

namespace {

rnr_TopicDescription describe(const char* topic, const char* type, char* metastring, bool keyed) {
  rnr_TopicDescription d{};
  std::strncpy(d.topic_name, topic, sizeof(d.topic_name) - 1);
  std::strncpy(d.type_name, type, sizeof(d.type_name) - 1);
  d.metastring = metastring;
  d.is_with_key = keyed;
  return d;
}

}  // namespace

TEST_F(StoreTest, RegistrationsGetTheirRowIdsAndDuplicatesAreRefused) {
  EXPECT_EQ(rnr_Database_insert_topic(store_, "chatter", "std::String"), 1);
  EXPECT_EQ(rnr_Database_insert_topic(store_, "pose", "geo::Pose"), 2);
  EXPECT_EQ(rnr_Database_insert_topic(store_, "chatter", "std::String"), -1);
  EXPECT_EQ(rnr_Database_insert_topic(store_, "chatter", "std::Bytes"), 3);

  const dds_guid guid{{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}, 450};
  EXPECT_EQ(rnr_Database_insert_entity_info(store_, &guid), 1);
  EXPECT_EQ(rnr_Database_insert_entity_info(store_, &guid), -1);
  EXPECT_EQ(log().count(RNR_LOG_ERROR, "Database Cannot execute sql"), 2u);
  EXPECT_EQ(log().lines().size(), 2u);
  EXPECT_EQ(query_int(store_->db,
                      "SELECT _id FROM writers WHERE guid = '01020304 05060708 090a0b0c 000001c2'"),
            1);
  EXPECT_EQ(query_int(store_->db,
                      "SELECT COUNT(*) FROM topics WHERE topic_name = 'chatter' AND "
                      "metastring IS NULL AND is_with_key IS NULL"),
            2);

  const std::string bytes = "x";
  for (uint32_t topic : {1u, 2u, 2u, 2u}) {
    const rnr_DataRow row = make_row(topic, 0, bytes);
    ASSERT_TRUE(rnr_Database_insert_data(store_, &row));
  }
  EXPECT_EQ(rnr_Database_get_data_count(store_, 2), 3);
  EXPECT_EQ(rnr_Database_get_data_count(store_, 3), 0);
  EXPECT_EQ(rnr_Database_get_data_count(store_, 99), 0);
}

TEST_F(StoreTest, UpdatedRowsAndOddRowsReadBack) {
  rnr_TopicsRowList* empty = rnr_Database_get_topics_row_list(store_);
  ASSERT_NE(empty, nullptr);
  EXPECT_TRUE(empty->rows.empty());
  rnr_Database_topics_row_list_destroy(empty);
  rnr_Database_topics_row_list_destroy(nullptr);

  ASSERT_EQ(rnr_Database_insert_topic(store_, "chatter", "std::String"), 1);
  ASSERT_EQ(rnr_Database_insert_topic(store_, "chatter", "std::Bytes"), 2);
  char meta[] = "struct String { string data; };";
  const rnr_TopicDescription done = describe("chatter", "std::String", meta, true);
  EXPECT_TRUE(rnr_Database_update_topics(store_, &done));
  // A pair without a row: nothing changes, still a success.
  const rnr_TopicDescription unknown = describe("nobody", "std::String", meta, false);
  EXPECT_TRUE(rnr_Database_update_topics(store_, &unknown));
  // A name field without a terminator is refused rather than read past.
  rnr_TopicDescription unterminated = describe("", "T", meta, false);
  std::memset(unterminated.topic_name, 'x', sizeof(unterminated.topic_name));
  EXPECT_FALSE(rnr_Database_update_topics(store_, &unterminated));
  EXPECT_EQ(log().lines().size(), 1u);

  const std::string long_topic(300, 't');
  ASSERT_EQ(rnr_Database_insert_topic(store_, long_topic.c_str(), "T"), 3);
  ASSERT_TRUE(exec_sql(store_->db, "INSERT INTO topics(topic_name, type_name) VALUES(NULL, NULL)"));

  rnr_TopicsRowList* list = rnr_Database_get_topics_row_list(store_);
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(list->rows.size(), 4u);
  const rnr_TopicsRow& first = *list->rows[0];
  EXPECT_EQ(first.id, 1);
  EXPECT_STREQ(first.topic_name, "chatter");
  EXPECT_STREQ(first.type_name, "std::String");
  ASSERT_NE(first.metastring, nullptr);
  EXPECT_STREQ(first.metastring, meta);
  EXPECT_EQ(first.is_with_key, 1);
  EXPECT_STREQ(list->rows[1]->type_name, "std::Bytes");
  EXPECT_EQ(list->rows[1]->metastring, nullptr);
  EXPECT_EQ(list->rows[1]->is_with_key, 0);
  EXPECT_EQ(std::string(list->rows[2]->topic_name), long_topic.substr(0, 255));
  EXPECT_EQ(list->rows[3]->id, 4);
  EXPECT_STREQ(list->rows[3]->topic_name, "");
  EXPECT_STREQ(list->rows[3]->type_name, "");
  rnr_Database_topics_row_list_destroy(list);
}

// During a bulk insert the catalogue is queued for the store thread: ids come
// at once, duplicates are still refused, a reader's lock delays the group
// without losing it or changing its ids, and the group is one commit that
// lands before the samples that follow it.
TEST_F(StoreTest, CatalogueOfABulkInsertIsOneCommitBeforeItsSamples) {
  ASSERT_EQ(rnr_Database_insert_topic(store_, "early", "T"), 1);
  ASSERT_TRUE(rnr_Database_create_writer_qos_table(store_));
  sqlite3* reader = nullptr;
  ASSERT_EQ(sqlite3_open(bag_path().c_str(), &reader), SQLITE_OK);
  int commits = 0;
  sqlite3_commit_hook(
      store_->db, [](void* count) { return ++*static_cast<int*>(count), 0; }, &commits);
  ASSERT_TRUE(rnr_Database_start_bulk_insert_data(store_, 4));

  ASSERT_TRUE(exec_sql(reader, "BEGIN"));
  ASSERT_EQ(query_int(reader, "SELECT COUNT(*) FROM topics"), 1);
  EXPECT_EQ(rnr_Database_insert_topic(store_, "late", "T"), 2);
  EXPECT_EQ(rnr_Database_insert_topic(store_, "late", "T"), -1);
  EXPECT_EQ(rnr_Database_insert_topic(store_, "early", "T"), -1);
  EXPECT_EQ(rnr_Database_insert_topic(store_, "later", "T"), 3);
  const dds_guid guid{{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}, 450};
  EXPECT_EQ(rnr_Database_insert_entity_info(store_, &guid), 1);
  EXPECT_EQ(rnr_Database_insert_entity_info(store_, &guid), -1);
  EXPECT_TRUE(rnr_Database_insert_writer_qos(store_, 1, 2, "reliability=reliable"));
  char meta[] = "struct T { long x; };";
  const rnr_TopicDescription late = describe("late", "T", meta, true);
  EXPECT_TRUE(rnr_Database_update_topics(store_, &late));
  const std::string bytes = "sample";
  const rnr_DataRow row = make_row(2, 7, bytes);
  ASSERT_TRUE(rnr_Database_insert_data(store_, &row));
  ASSERT_TRUE(wait_until([&] { return rnr_Database_bulk_insert_stats(store_).locked; },
                         std::chrono::seconds(5)));
  EXPECT_EQ(query_int(reader, "SELECT COUNT(*) FROM topics"), 1);
  EXPECT_EQ(commits, 0);
  ASSERT_TRUE(exec_sql(reader, "COMMIT"));

  // The group and then the batch: two commits.
  ASSERT_TRUE(wait_until([&] { return query_int(reader, "SELECT COUNT(*) FROM data") == 1; },
                         std::chrono::seconds(5)));
  EXPECT_EQ(commits, 2);
  EXPECT_EQ(query_int(reader, "SELECT _id FROM topics WHERE topic_name = 'later'"), 3);
  EXPECT_EQ(query_int(reader,
                      "SELECT is_with_key FROM topics WHERE topic_name = 'late' AND "
                      "metastring = 'struct T { long x; };'"),
            1);
  EXPECT_EQ(query_int(reader, "SELECT topic_id FROM writer_qos WHERE writer_id = 1"), 2);
  EXPECT_EQ(query_int(reader, "SELECT COUNT(*) FROM data WHERE topic_id = 2"), 1);
  EXPECT_EQ(log().count(RNR_LOG_ERROR, "Database Cannot execute sql"), 3u);

  // What is queued at the end is written before the store thread stops;
  // afterwards writes run at once again.
  EXPECT_EQ(rnr_Database_insert_topic(store_, "last", "T"), 4);
  rnr_Database_end_bulk_insert_data(store_);
  EXPECT_EQ(query_int(reader, "SELECT _id FROM topics WHERE topic_name = 'last'"), 4);
  EXPECT_EQ(rnr_Database_insert_topic(store_, "after", "T"), 5);
  EXPECT_EQ(query_int(reader, "SELECT _id FROM topics WHERE topic_name = 'after'"), 5);
  sqlite3_commit_hook(store_->db, nullptr, nullptr);
  sqlite3_close(reader);
}
