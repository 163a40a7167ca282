// The read side of the bag format: chunks that follow the ids whatever gaps
// they have, filters, the latest sample before a time, and failures that are
// reported as such.
#include <sys/stat.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "bag/bag_reader.h"
#include "bag_files.h"
#include "files.h"

using namespace rnr::test;
using rnr::bag::BagReader;
using rnr::bag::SampleFilter;
using rnr::bag::SampleRow;

namespace {

struct Seen {
  int64_t id, topic_id, timestamp;
  std::vector<uint8_t> bytes;
  bool operator==(const Seen&) const = default;
};

// Reads the selected rows copied and in place, which must agree; a visit
// that stops in place sees no row after it.
std::vector<Seen> read_all(BagReader& reader, const SampleFilter& filter) {
  std::vector<Seen> seen;
  std::vector<Seen> in_place;
  std::string error;
  auto collect = [](std::vector<Seen>* into) {
    return [into](const SampleRow& row) {
      into->push_back({row.id, row.topic_id, row.timestamp, {row.data, row.data + row.size}});
      return true;
    };
  };
  EXPECT_TRUE(reader.for_each_sample(filter, collect(&seen), &error)) << error;
  EXPECT_TRUE(reader.for_each_sample_in_place(filter, collect(&in_place), &error)) << error;
  EXPECT_EQ(in_place, seen);
  size_t visits = 0;
  const size_t stop_at = seen.size() / 2 + 1;
  EXPECT_TRUE(reader.for_each_sample_in_place(
      filter, [&](const SampleRow&) { return ++visits < stop_at; }, &error));
  EXPECT_EQ(visits, std::min(stop_at, seen.size()));
  return seen;
}

}  // namespace

// Rows bigger than half a chunk's byte bound end their chunk early, read
// copied or in place alike.
TEST(BagReaderTest, BigRowsEndTheirChunkByBytes) {
  TempDir dir;
  const std::string bag = dir.file("big.sqlite3");
  {
    BagWriter writer(bag);
    const int a = writer.add_topic("reader_big", "A", 0);
    writer.begin();
    for (uint32_t i = 0; i < 5; ++i) {
      writer.add_sample(
          a, kBase + i * kMs,
          std::vector<uint8_t>(BagReader::kChunkBytes / 2 + 1, static_cast<uint8_t>(i)));
    }
    writer.commit();
  }
  BagReader reader;
  std::string error;
  ASSERT_TRUE(reader.open(bag, &error)) << error;
  const std::vector<Seen> seen = read_all(reader, {});
  ASSERT_EQ(seen.size(), 5u);
  EXPECT_EQ(seen.back().bytes, std::vector<uint8_t>(BagReader::kChunkBytes / 2 + 1, 4));
}

TEST(BagReaderTest, ChunksFollowTheIdsAndFiltersSelectByTopicAndTime) {
  TempDir dir;
  const std::string bag = dir.file("reader.sqlite3");
  std::vector<Seen> expected;
  {
    BagWriter writer(bag);
    const int a = writer.add_topic("reader_a", "A", 0);
    const int b = writer.add_topic("reader_b", "B", 1);
    writer.begin();
    // More rows than two chunks, with samples of growing size.
    for (uint32_t i = 0; i < 2 * BagReader::kChunkRows + 5; ++i) {
      writer.add_sample(i % 3 == 0 ? b : a, kBase + i * kMs, std::vector<uint8_t>(i % 7, i));
    }
    writer.commit();
  }
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(bag.c_str(), &db), SQLITE_OK);
  // Ids with gaps and one far beyond the row count.
  ASSERT_TRUE(exec_sql(db, "DELETE FROM data WHERE _id IN (2, 3, 70)"));
  ASSERT_TRUE(exec_sql(db, "UPDATE data SET _id = 100000 WHERE _id = 50"));
  for (const DataRow& row : read_bag(db).data) {
    expected.push_back({row.id, row.topic_id, row.timestamp, row.bytes});
  }
  sqlite3_close(db);
  std::sort(expected.begin(), expected.end(),
            [](const Seen& x, const Seen& y) { return x.id < y.id; });

  BagReader reader;
  std::string error;
  ASSERT_TRUE(reader.open(bag, &error)) << error;
  EXPECT_EQ(read_all(reader, {}), expected);

  // Chunk by chunk: each begins after the last id of the one before.
  rnr::bag::SampleChunk chunk;
  size_t rows = 0;
  for (int64_t after = INT64_MIN;; after = chunk.last_id()) {
    ASSERT_TRUE(reader.read_chunk({}, after, &chunk, &error)) << error;
    if (chunk.empty()) {
      break;
    }
    EXPECT_LE(chunk.rows().size(), BagReader::kChunkRows);
    EXPECT_GT(chunk.rows().front().id, after);
    rows += chunk.rows().size();
  }
  EXPECT_EQ(rows, expected.size());

  SampleFilter filter;
  filter.topic_ids = {2};
  filter.start = static_cast<int64_t>(kBase + 10 * kMs);
  filter.end = static_cast<int64_t>(kBase + 100 * kMs);
  std::vector<Seen> selected;
  for (const Seen& s : expected) {
    if (s.topic_id == 2 && s.timestamp >= *filter.start && s.timestamp <= *filter.end) {
      selected.push_back(s);
    }
  }
  EXPECT_EQ(read_all(reader, filter), selected);
  uint64_t count = 0;
  ASSERT_TRUE(reader.count(filter, &count, &error));
  EXPECT_EQ(count, selected.size());

  // The latest sample of each topic before a time (i 29 of topic 1 and i 30
  // of topic 2), in id order.
  std::vector<int64_t> latest;
  ASSERT_TRUE(
      reader.latest_before({1, 2}, static_cast<int64_t>(kBase + 31 * kMs), &latest, &error));
  EXPECT_EQ(latest, (std::vector<int64_t>{30, 31}));
  ASSERT_TRUE(reader.read_ids(latest, &chunk, &error));
  ASSERT_EQ(chunk.rows().size(), 2u);
  EXPECT_EQ(chunk.rows()[1].topic_id, 2);
  EXPECT_EQ(chunk.rows()[1].size, 30u % 7);
}

TEST(BagReaderTest, FilesThatCannotBeReadAreFailures) {
  TempDir dir;
  std::string error;
  ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0644), 0);
  for (const std::string& path : {dir.file("fifo"), dir.path(), dir.file("missing")}) {
    BagReader reader;
    EXPECT_FALSE(reader.open(path, &error)) << path;
  }
  EXPECT_FALSE(file_exists(dir.file("missing")));

  // The tables are there, but the samples are not where a bag keeps them.
  const std::string bag = dir.file("foreign.sqlite3");
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(bag.c_str(), &db), SQLITE_OK);
  ASSERT_TRUE(exec_sql(db,
                       "CREATE TABLE topics (_id INTEGER PRIMARY KEY, topic_name, type_name, "
                       "metastring, is_with_key); CREATE TABLE writers (_id INTEGER PRIMARY KEY, "
                       "guid); CREATE TABLE data (_id INTEGER PRIMARY KEY, topic_id, timestamp, "
                       "payload); INSERT INTO data VALUES (1, 1, 5, X'00')"));
  sqlite3_close(db);
  BagReader reader;
  ASSERT_TRUE(reader.open(bag, &error)) << error;
  bool visited = false;
  error.clear();
  EXPECT_FALSE(reader.for_each_sample(
      {}, [&](const SampleRow&) { return visited = true; }, &error));
  EXPECT_FALSE(visited);
  EXPECT_NE(error.find("cannot read the samples"), std::string::npos) << error;
}
