// Bag file schema and the store's lifecycle: creation, reopening, refusals.
#include <fstream>
#include <iterator>
#include <utility>

#include "bag_test_util.h"

using namespace bagtest;

namespace {

// What SQLite keeps of each CREATE TABLE statement: the text as written,
// without "IF NOT EXISTS" and the closing semicolon.
const std::vector<std::pair<std::string, std::string>> kExpectedTables = {
    {"topics",
     "CREATE TABLE topics (  _id INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL,  topic_name "
     "VARCHAR(255),  type_name VARCHAR(255),  metastring TEXT,  is_with_key INTEGER,  UNIQUE "
     "(topic_name, type_name))"},
    {"sqlite_sequence", "CREATE TABLE sqlite_sequence(name,seq)"},
    {"writers",
     "CREATE TABLE writers (  _id INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL,  guid VARCHAR(36),  "
     "UNIQUE (guid))"},
    {"data",
     "CREATE TABLE data (  _id INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL,  topic_id INTEGER,  "
     "timestamp TIMESTAMP DEFAULT CURRENT_TIMESTAMP NOT NULL,  serialized_data BLOB,  FOREIGN KEY "
     "(topic_id) REFERENCES topics(_id))"},
};

std::vector<std::pair<std::string, std::string>> schema_statements(sqlite3* db) {
  std::vector<std::pair<std::string, std::string>> out;
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(db, "SELECT name, sql FROM sqlite_master WHERE sql IS NOT NULL ORDER BY rowid",
                     -1, &stmt, nullptr);
  while (sqlite3_step(stmt) == SQLITE_ROW) {
    out.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)),
                     reinterpret_cast<const char*>(sqlite3_column_text(stmt, 1)));
  }
  sqlite3_finalize(stmt);
  return out;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

TEST_F(BagTest, NewBagHoldsExactlyTheThreeTablesAsWritten) {
  rnr_Database* store = rnr_Database_create(bag_path().c_str());
  ASSERT_NE(store, nullptr);
  EXPECT_STREQ(store->path, bag_path().c_str());
  EXPECT_FALSE(store->bulk_insert_enabled);
  EXPECT_EQ(schema_statements(store->db), kExpectedTables);
  // Nothing changed SQLite's defaults: the declared foreign key is not enforced.
  EXPECT_EQ(query_int(store->db, "PRAGMA foreign_keys"), 0);
  EXPECT_TRUE(log().lines().empty());
  rnr_Database_destroy(store);
  rnr_Database_destroy(nullptr);
}

TEST_F(BagTest, ReopeningABagKeepsItsRowsAndIds) {
  const std::string payload = "abc";
  rnr_Database* store = rnr_Database_create(bag_path().c_str());
  ASSERT_NE(store, nullptr);
  ASSERT_EQ(rnr_Database_insert_topic(store, "chatter", "std::String"), 1);
  const rnr_DataRow row = make_row(1, 42, payload);
  ASSERT_TRUE(rnr_Database_insert_data(store, &row));
  rnr_Database_destroy(store);

  store = rnr_Database_create(bag_path().c_str());
  ASSERT_NE(store, nullptr);
  EXPECT_EQ(schema_statements(store->db), kExpectedTables);
  EXPECT_EQ(rnr_Database_get_data_count(store, 1), 1);
  EXPECT_EQ(read_data(store->db)[0].bytes, payload);
  EXPECT_EQ(rnr_Database_insert_topic(store, "pose", "geo::Pose"), 2);
  rnr_Database_destroy(store);
}

TEST_F(BagTest, FileThatIsNotABagFailsAtTheFirstTableAndIsLeftAsItWas) {
  const std::string path = bag_path("notes.txt");
  const std::string content(4096, 'x');
  std::ofstream(path, std::ios::binary) << content;

  EXPECT_EQ(rnr_Database_create(path.c_str()), nullptr);
  ASSERT_EQ(log().lines().size(), 1u);
  EXPECT_EQ(log().lines()[0].text, "Database Cannot create topics table");
  EXPECT_EQ(log().lines()[0].level, RNR_LOG_ERROR);
  EXPECT_EQ(read_file(path), content);
}

TEST_F(BagTest, MissingDirectoryFailsAtOpen) {
  const std::string path = bag_path("no-such-dir/test.sqlite3");
  EXPECT_EQ(rnr_Database_create(path.c_str()), nullptr);
  ASSERT_EQ(log().lines().size(), 1u);
  EXPECT_EQ(log().lines()[0].text, "Database Cannot open database");
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_EQ(rnr_Database_create(nullptr), nullptr);
}

TEST_F(BagTest, PathsOf256BytesOrMoreAreRefusedNotCut) {
  const std::string base = bag_path("");
  // 255 bytes: accepted and opened under exactly that name.
  const std::string fits = base + std::string(255 - base.size(), 'a');
  rnr_Database* store = rnr_Database_create(fits.c_str());
  ASSERT_NE(store, nullptr);
  EXPECT_TRUE(std::filesystem::exists(fits));
  rnr_Database_destroy(store);

  // 256 bytes: refused; its first 255 bytes name another file, not created.
  const std::string too_long = base + std::string(255 - base.size(), 'b') + "c";
  ASSERT_EQ(too_long.size(), 256u);
  log().clear();
  EXPECT_EQ(rnr_Database_create(too_long.c_str()), nullptr);
  ASSERT_EQ(log().lines().size(), 1u);
  EXPECT_EQ(log().lines()[0].text, "Database Cannot open database");
  EXPECT_FALSE(std::filesystem::exists(too_long.substr(0, 255)));
}

TEST_F(BagTest, DestroyWritesWhatAnActiveBulkInsertStillBuffers) {
  const std::string payload = "buffered";
  rnr_Database* store = rnr_Database_create(bag_path().c_str());
  ASSERT_NE(store, nullptr);
  ASSERT_TRUE(rnr_Database_start_bulk_insert_data(store, 256));
  for (uint64_t i = 0; i < 10; ++i) {
    const rnr_DataRow row = make_row(1, i, payload);
    ASSERT_TRUE(rnr_Database_insert_data(store, &row));
  }
  rnr_Database_destroy(store);

  store = rnr_Database_create(bag_path().c_str());
  ASSERT_NE(store, nullptr);
  const auto rows = read_data(store->db);
  ASSERT_EQ(rows.size(), 10u);
  for (size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i].timestamp, i);
  }
  rnr_Database_destroy(store);
}
