// The bags of a split recording taken as one: arguments expanded into bags
// in time order, and the repeated rows left out only where an earlier bag
// holds their original.
#include "bagtool/recording_set.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <vector>

#include "bag_files.h"
#include "files.h"

using namespace rnr::test;

namespace {

// Marks rows of a bag as repeats: (data_id, original_timestamp) pairs.
void mark_repeated(const std::string& path, const std::vector<std::pair<int, uint64_t>>& rows) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  ASSERT_TRUE(exec_sql(db,
                       "CREATE TABLE repeated_rows (data_id INTEGER PRIMARY KEY NOT NULL, "
                       "original_timestamp INTEGER NOT NULL)"));
  for (const auto& [id, ts] : rows) {
    ASSERT_TRUE(exec_sql(db, "INSERT INTO repeated_rows VALUES(" + std::to_string(id) + ", " +
                                 std::to_string(ts) + ")"));
  }
  sqlite3_close(db);
}

TEST(RecordingSet, OrdersBagsByTimeAndSkipsOnlyRepeatsOfEarlierSamples) {
  TempDir dir;
  // Named against their time order, so that the order is not by name.
  const std::string first = dir.file("z_first.sqlite3");
  const std::string second = dir.file("m_second.sqlite3");
  const std::string empty = dir.file("a_empty.sqlite3");
  {
    BagWriter a(first);
    const int t = a.add_topic("chatter", "T", 0);
    a.add_sample(t, kBase + 1 * kMs, xcdr1_sample(1));
    a.add_sample(t, kBase + 2 * kMs, xcdr1_sample(2));
    a.add_sample(t, kBase + 3 * kMs, xcdr1_sample(3));
  }
  {
    BagWriter b(second);
    b.add_topic("other", "U", 0);  // ids differ from the first bag's
    const int t = b.add_topic("chatter", "T", 0);
    b.add_sample(t, kBase + 4 * kMs, xcdr1_sample(3));   // repeats sample 3
    b.add_sample(t, kBase + 4 * kMs, xcdr1_sample(99));  // claims ts 2, other bytes
    b.add_sample(t, kBase + 5 * kMs, xcdr1_sample(5));
  }
  mark_repeated(second, {{1, kBase + 3 * kMs}, {2, kBase + 2 * kMs}});
  { BagWriter c(empty); }
  write_file(dir.file("notes.txt"), "not a bag");

  std::vector<std::string> bags;
  std::string error;
  ASSERT_TRUE(rnr::bagtool::expand_recording({dir.path()}, &bags, &error)) << error;
  EXPECT_EQ(bags, (std::vector<std::string>{first, second, empty}));

  std::vector<int64_t> skip;
  ASSERT_TRUE(rnr::bagtool::repeated_rows_to_skip(bags, 1, &skip, &error)) << error;
  EXPECT_EQ(skip, (std::vector<int64_t>{1}));
  for (size_t k : {0u, 2u}) {
    ASSERT_TRUE(rnr::bagtool::repeated_rows_to_skip(bags, k, &skip, &error)) << error;
    EXPECT_TRUE(skip.empty()) << k;
  }
  // Alone, the second bag plays its head: nothing before it holds the original.
  ASSERT_TRUE(rnr::bagtool::expand_recording({second}, &bags, &error));
  ASSERT_TRUE(rnr::bagtool::repeated_rows_to_skip(bags, 0, &skip, &error));
  EXPECT_TRUE(skip.empty());

  // What cannot be one recording.
  TempDir bare;
  const std::vector<std::vector<std::string>> refused = {
      {dir.file("missing.sqlite3")}, {bare.path()}, {first, dir.path()}, {dir.file("notes.txt")}};
  for (const auto& args : refused) {
    EXPECT_FALSE(rnr::bagtool::expand_recording(args, &bags, &error)) << args.back();
    EXPECT_FALSE(error.empty());
  }
}

}  // namespace
