// The topic and writer catalogue: registration, completion, read-back, counts.
#include <cstring>

#include "bag_test_util.h"

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
