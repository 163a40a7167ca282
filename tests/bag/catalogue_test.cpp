// The topic and writer catalogue: registration, completion, read-back, counts.
#include <cstring>

#include "bag_test_util.h"

using namespace bagtest;

namespace {

class CatalogueTest : public BagTest {
 protected:
  void SetUp() override {
    BagTest::SetUp();
    store_ = rnr_Database_create(bag_path().c_str());
    ASSERT_NE(store_, nullptr);
  }
  void TearDown() override {
    rnr_Database_destroy(store_);
    BagTest::TearDown();
  }

  static rnr_TopicDescription describe(const char* topic, const char* type, char* metastring,
                                       bool keyed) {
    rnr_TopicDescription d{};
    std::strncpy(d.topic_name, topic, sizeof(d.topic_name) - 1);
    std::strncpy(d.type_name, type, sizeof(d.type_name) - 1);
    d.metastring = metastring;
    d.is_with_key = keyed;
    return d;
  }

  rnr_Database* store_ = nullptr;
};

}  // namespace

TEST_F(CatalogueTest, TopicsGetConsecutiveIdsAndADuplicatePairIsRefused) {
  EXPECT_EQ(rnr_Database_insert_topic(store_, "chatter", "std::String"), 1);
  EXPECT_EQ(rnr_Database_insert_topic(store_, "pose", "geo::Pose"), 2);
  EXPECT_TRUE(log().lines().empty());

  EXPECT_EQ(rnr_Database_insert_topic(store_, "chatter", "std::String"), -1);
  EXPECT_EQ(log().count(RNR_LOG_ERROR, "Database Cannot execute sql"), 1u);
  // The same topic with another type is another pair; the failed insert used no id.
  EXPECT_EQ(rnr_Database_insert_topic(store_, "chatter", "std::Bytes"), 3);

  EXPECT_EQ(query_int(store_->db, "SELECT COUNT(*) FROM topics"), 3);
  EXPECT_EQ(query_int(store_->db,
                      "SELECT _id FROM topics WHERE topic_name = 'chatter' AND type_name = "
                      "'std::String' AND metastring IS NULL AND is_with_key IS NULL"),
            1);
}

TEST_F(CatalogueTest, WriterGuidsAreStoredAsTextAndADuplicateIsRefused) {
  dds_guid guid{{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}, 450};
  dds_guid other = guid;
  other.entity_id = 0x00000102;

  EXPECT_EQ(rnr_Database_insert_entity_info(store_, &guid), 1);
  EXPECT_EQ(rnr_Database_insert_entity_info(store_, &other), 2);
  EXPECT_EQ(rnr_Database_insert_entity_info(store_, &guid), -1);
  EXPECT_EQ(log().count(RNR_LOG_ERROR, "Database Cannot execute sql"), 1u);

  EXPECT_EQ(query_int(store_->db,
                      "SELECT _id FROM writers WHERE guid = '01020304 05060708 090a0b0c 000001c2'"),
            1);
  EXPECT_EQ(query_int(store_->db,
                      "SELECT _id FROM writers WHERE guid = '01020304 05060708 090a0b0c 00000102'"),
            2);
}

TEST_F(CatalogueTest, UpdateCompletesTheMatchingRowOnly) {
  ASSERT_EQ(rnr_Database_insert_topic(store_, "chatter", "std::String"), 1);
  ASSERT_EQ(rnr_Database_insert_topic(store_, "chatter", "std::Bytes"), 2);
  char meta[] = "struct String { string data; };";
  rnr_TopicDescription d = describe("chatter", "std::String", meta, true);
  EXPECT_TRUE(rnr_Database_update_topics(store_, &d));

  // A pair without a row: nothing changes, still a success.
  rnr_TopicDescription unknown = describe("nobody", "std::String", meta, false);
  EXPECT_TRUE(rnr_Database_update_topics(store_, &unknown));
  EXPECT_TRUE(log().lines().empty());

  rnr_TopicsRowList* list = rnr_Database_get_topics_row_list(store_);
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(list->rows.size(), 2u);
  const rnr_TopicsRow& done = *list->rows[0];
  EXPECT_EQ(done.id, 1);
  EXPECT_STREQ(done.topic_name, "chatter");
  EXPECT_STREQ(done.type_name, "std::String");
  ASSERT_NE(done.metastring, nullptr);
  EXPECT_STREQ(done.metastring, meta);
  EXPECT_EQ(done.is_with_key, 1);
  const rnr_TopicsRow& pending = *list->rows[1];
  EXPECT_EQ(pending.id, 2);
  EXPECT_STREQ(pending.type_name, "std::Bytes");
  EXPECT_EQ(pending.metastring, nullptr);
  EXPECT_EQ(pending.is_with_key, 0);
  rnr_Database_topics_row_list_destroy(list);
  rnr_Database_topics_row_list_destroy(nullptr);

  // A name field without a terminator is refused instead of being read past.
  rnr_TopicDescription unterminated = describe("x", "y", meta, false);
  std::memset(unterminated.topic_name, 'x', sizeof(unterminated.topic_name));
  EXPECT_FALSE(rnr_Database_update_topics(store_, &unterminated));
  EXPECT_EQ(log().lines().size(), 1u);
}

TEST_F(CatalogueTest, ListReadsOddRowsWithoutFailing) {
  rnr_TopicsRowList* empty = rnr_Database_get_topics_row_list(store_);
  ASSERT_NE(empty, nullptr);
  EXPECT_TRUE(empty->rows.empty());
  rnr_Database_topics_row_list_destroy(empty);

  const std::string long_topic(300, 't');
  const std::string long_type = std::string(254, 'u') + "\xc3\xa9";  // 256 bytes
  ASSERT_EQ(rnr_Database_insert_topic(store_, long_topic.c_str(), long_type.c_str()), 1);
  ASSERT_TRUE(exec(store_->db, "INSERT INTO topics(topic_name, type_name) VALUES(NULL, NULL)"));
  ASSERT_TRUE(exec(store_->db, "INSERT INTO topics(topic_name, type_name) VALUES('last', 'T')"));

  rnr_TopicsRowList* list = rnr_Database_get_topics_row_list(store_);
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(list->rows.size(), 3u);
  EXPECT_EQ(std::string(list->rows[0]->topic_name), long_topic.substr(0, 255));
  EXPECT_EQ(std::string(list->rows[0]->type_name), long_type.substr(0, 255));
  EXPECT_EQ(list->rows[1]->id, 2);
  EXPECT_STREQ(list->rows[1]->topic_name, "");
  EXPECT_STREQ(list->rows[1]->type_name, "");
  EXPECT_STREQ(list->rows[2]->topic_name, "last");
  rnr_Database_topics_row_list_destroy(list);
}

TEST_F(CatalogueTest, DataCountIsPerTopicAndZeroForUnknownTopics) {
  const std::string bytes = "x";
  for (uint32_t topic : {1u, 2u, 2u, 2u}) {
    const rnr_DataRow row = make_row(topic, 0, bytes);
    ASSERT_TRUE(rnr_Database_insert_data(store_, &row));
  }
  EXPECT_EQ(rnr_Database_get_data_count(store_, 1), 1);
  EXPECT_EQ(rnr_Database_get_data_count(store_, 2), 3);
  EXPECT_EQ(rnr_Database_get_data_count(store_, 3), 0);
  EXPECT_EQ(rnr_Database_get_data_count(store_, -1), 0);
  EXPECT_TRUE(log().lines().empty());
}
