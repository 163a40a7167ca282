// Bag file schema and the store's lifecycle: creation, reopening, refusals.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <utility>

#include "bag_test_util.h"

using namespace rnr::test;

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

}  // namespace

TEST_F(BagTest, NewBagHoldsTheThreeTablesAndReopeningKeepsEverything) {
  rnr_Database* store = rnr_Database_create(bag_path().c_str());
  ASSERT_NE(store, nullptr);
  EXPECT_STREQ(store->path, bag_path().c_str());
  EXPECT_EQ(schema_statements(store->db), kExpectedTables);
  // No PRAGMA: the declared foreign key stays unenforced.
  EXPECT_EQ(query_int(store->db, "PRAGMA foreign_keys"), 0);
  ASSERT_EQ(rnr_Database_insert_topic(store, "chatter", "std::String"), 1);
  // Destroy during a bulk insert writes what it buffers.
  ASSERT_TRUE(rnr_Database_start_bulk_insert_data(store, 256));
  const std::string payload = "buffered";
  for (uint64_t i = 0; i < 10; ++i) {
    const rnr_DataRow row = make_row(1, i, payload);
    ASSERT_TRUE(rnr_Database_insert_data(store, &row));
  }
  rnr_Database_destroy(store);
  rnr_Database_destroy(nullptr);

  store = rnr_Database_create(bag_path().c_str());
  ASSERT_NE(store, nullptr);
  EXPECT_EQ(schema_statements(store->db), kExpectedTables);
  const auto rows = read_bag(store->db).data;
  ASSERT_EQ(rows.size(), 10u);
  EXPECT_EQ(rows[9].timestamp, 9u);
  EXPECT_EQ(as_text(rows[9].bytes), payload);
  EXPECT_EQ(rnr_Database_insert_topic(store, "pose", "geo::Pose"), 2);
  rnr_Database_destroy(store);
  EXPECT_TRUE(log().lines().empty());
}

TEST_F(BagTest, FileThatIsNotABagFailsAtTheFirstTableAndIsLeftAsItWas) {
  const std::string path = bag_path("notes.txt");
  const std::string content(4096, 'x');
  std::ofstream(path, std::ios::binary) << content;

  EXPECT_EQ(rnr_Database_create(path.c_str()), nullptr);
  EXPECT_EQ(log().leveled(), std::vector<std::string>{"4 Database Cannot create topics table"});
  std::ifstream in(path, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), content);
}

TEST_F(BagTest, UnopenablePathsFailAtOpenAndCreateNothing) {
  const std::string missing_dir = bag_path("no-such-dir/test.sqlite3");
  EXPECT_EQ(rnr_Database_create(missing_dir.c_str()), nullptr);
  EXPECT_EQ(rnr_Database_create(nullptr), nullptr);

  // 255 bytes fit; 256 are refused rather than cut to another file's name.
  const std::string base = bag_path("");
  const std::string fits = base + std::string(255 - base.size(), 'a');
  const std::string too_long = base + std::string(255 - base.size(), 'b') + "c";
  EXPECT_EQ(log().count(RNR_LOG_ERROR, "Database Cannot open database"), 2u);
  EXPECT_EQ(rnr_Database_create(too_long.c_str()), nullptr);
  EXPECT_EQ(log().count(RNR_LOG_ERROR, "Database Cannot open database"), 3u);
  EXPECT_FALSE(std::filesystem::exists(too_long.substr(0, 255)));
  EXPECT_FALSE(std::filesystem::exists(missing_dir));

  rnr_Database* store = rnr_Database_create(fits.c_str());
  ASSERT_NE(store, nullptr);
  EXPECT_TRUE(std::filesystem::exists(fits));
  rnr_Database_destroy(store);
  EXPECT_EQ(log().lines().size(), 3u);
}
