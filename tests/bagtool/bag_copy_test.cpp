// `cut` and `merge`: the new bags hold exactly the selected rows, in
// reception order, with the topics, writers and writers' QoS united; they
// replay; the inputs stay byte for byte as they were; refused outputs change
// nothing.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "bag/writer_qos.h"
#include "bag_files.h"
#include "child_process.h"
#include "files.h"
#include "log_capture.h"
#include "types/qos_policies.h"
#include "replayer/replayer.h"

using namespace std::chrono_literals;
using namespace rnr::test;

namespace {

ChildResult bag_tool(std::vector<std::string> args, const ChildOptions& options = {}) {
  args.insert(args.begin(), RNR_BAG_TOOL_PATH);
  return run_program(args, options);
}

// A recording of two topics with interleaved times, one writer of its own and
// one shared with the other recording, and with `with_qos` the writers' QoS.
// A writer's QoS text, told apart by the writer's GUID in its user data.
std::string writer_qos_text(const std::string& guid) {
  rnr::qos::WriterQos qos;
  qos.user_data.assign(guid.begin(), guid.end());
  return rnr::qos::to_text(qos);
}

void write_recording(const std::string& path, uint64_t offset_ms, const char* metastring,
                     const std::string& own_guid, bool with_qos = false) {
  BagWriter writer(path);
  const int shared = writer.add_topic("copy_shared", "Shared", 1, metastring);
  std::string own_name = "copy_" + own_guid;
  std::replace(own_name.begin(), own_name.end(), '-', '_');  // DDS topic names have no '-'
  const int own = writer.add_topic(own_name, "Own", 0);
  writer.begin();
  for (uint32_t i = 0; i < 40; ++i) {
    writer.add_sample(i % 2 == 0 ? shared : own, kBase + (offset_ms + 10 * i) * kMs,
                      xcdr1_sample(static_cast<uint32_t>(offset_ms * 100 + i)));
  }
  writer.commit();
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  exec_sql(db, "INSERT INTO writers(guid) VALUES ('" + own_guid + "'), ('shared-guid')");
  if (with_qos) {
    exec_sql(db,
             "CREATE TABLE writer_qos (writer_id INTEGER PRIMARY KEY, topic_id INTEGER, qos "
             "TEXT); INSERT INTO writer_qos VALUES (1, 2, '" +
                 writer_qos_text(own_guid) + "'), (2, 1, '" + writer_qos_text("shared-guid") +
                 "')");
  }
  sqlite3_close(db);
}

// A data row as the union should hold it: by topic name, not id.
struct Sample {
  std::string topic;
  int64_t timestamp;
  std::vector<uint8_t> bytes;
  bool operator==(const Sample&) const = default;
};

std::vector<Sample> samples_of(const Bag& bag, std::optional<int64_t> from = std::nullopt,
                               std::optional<int64_t> to = std::nullopt) {
  std::vector<Sample> out;
  for (const DataRow& row : bag.data) {
    if ((from && row.timestamp < *from) || (to && row.timestamp > *to)) {
      continue;
    }
    for (const TopicRow& t : bag.topics) {
      if (t.id == row.topic_id) {
        out.push_back({t.topic_name, row.timestamp, row.bytes});
      }
    }
  }
  return out;
}

std::atomic<int> finished{0};

}  // namespace

TEST(BagCopyTest, CutThenMergeHoldsTheUnionInReceptionOrderAndReplays) {
  TempDir dir;
  const std::string a = dir.file("a.sqlite3"), b = dir.file("b.sqlite3");
  write_recording(a, 0, nullptr, "guid-a");
  write_recording(b, 5, "struct Shared { long x; };", "guid-b", true);
  const std::string a_bytes = read_file(a), b_bytes = read_file(b);

  // Seconds 0.1 to 0.3 from a's start: rows 10 to 30.
  const std::string cut = dir.file("cut.sqlite3");
  ChildResult c = bag_tool({"cut", a, cut, "--start", "0.1", "--end=0.3"});
  ASSERT_EQ(c.status, 0) << c.err;
  const std::string merged = dir.file("merged.sqlite3");
  ChildResult m = bag_tool({"merge", merged, cut, b});
  ASSERT_EQ(m.status, 0) << m.err;
  EXPECT_EQ(read_file(a), a_bytes);
  EXPECT_EQ(read_file(b), b_bytes);

  const Bag in_a = read_bag(a), in_b = read_bag(b), out = read_bag(merged);
  ASSERT_TRUE(out.integrity_ok);
  std::vector<Sample> expected = samples_of(in_a, static_cast<int64_t>(kBase + 100 * kMs),
                                            static_cast<int64_t>(kBase + 300 * kMs));
  ASSERT_EQ(expected.size(), 21u);
  for (const Sample& s : samples_of(in_b)) {
    expected.push_back(s);
  }
  std::stable_sort(expected.begin(), expected.end(),
                   [](const Sample& x, const Sample& y) { return x.timestamp < y.timestamp; });
  EXPECT_EQ(samples_of(out), expected);
  for (size_t i = 0; i < out.data.size(); ++i) {
    EXPECT_EQ(out.data[i].id, static_cast<int64_t>(i + 1));
  }
  // Topics united by (name, type), the type description kept from b; the
  // writers by GUID.
  ASSERT_EQ(out.topics.size(), 3u);
  EXPECT_EQ(out.topics[0].topic_name, "copy_shared");
  EXPECT_EQ(out.topics[0].metastring, std::optional<std::string>("struct Shared { long x; };"));
  EXPECT_EQ(out.topics[0].is_with_key, std::optional<int64_t>(1));
  EXPECT_EQ(out.writers, (std::vector<std::string>{"guid-a", "shared-guid", "guid-b"}));
  // b's writers' QoS under the output's writer and topic ids (copy_guid_b is
  // topic 3); a recorded none, and its cut has an empty table.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(cut.c_str(), &db), SQLITE_OK);
  EXPECT_EQ(query_int(db, "SELECT COUNT(*) FROM writer_qos"), 0);
  sqlite3_close(db);
  ASSERT_EQ(sqlite3_open(merged.c_str(), &db), SQLITE_OK);
  std::vector<std::string> qos_rows;
  for (const rnr_WriterQosRow& row : rnr_bag_read_writer_qos(db)) {
    qos_rows.push_back(std::to_string(row.writer_id) + " " + std::to_string(row.topic_id) + " " +
                       (row.qos == writer_qos_text(row.guid) ? row.guid : "other QoS"));
  }
  EXPECT_EQ(qos_rows, (std::vector<std::string>{"2 1 shared-guid", "3 3 guid-b"}));
  // The store's own schema, not a copy of the input's (with its instance
  // events table).
  EXPECT_EQ(query_int(db, "SELECT COUNT(*) FROM sqlite_master WHERE sql LIKE '%AUTOINCREMENT%'"),
            4);
  sqlite3_close(db);

  // The merged bag replays every row.
  LogCapture log;
  finished = 0;
  rnr_replayer* replayer = rnr_replayer_create(merged.c_str(), 153);
  ASSERT_NE(replayer, nullptr);
  rnr_replayer_set_on_replay_finished(replayer, [](rnr_replayer*) { finished = 1; });
  rnr_replayer_start_replay(replayer);
  EXPECT_TRUE(wait_until([] { return finished.load() == 1; }, 20s));
  rnr_replayer_destroy(replayer);
  EXPECT_EQ(log.matching("Replayer Write Data(_id=").size(), expected.size());
}

TEST(BagCopyTest, RefusedOutputsAndFailuresLeaveNothingBehind) {
  TempDir dir;
  const std::string a = dir.file("a.sqlite3");
  write_recording(a, 0, nullptr, "guid-a");
  const std::string a_bytes = read_file(a);
  ASSERT_EQ(symlink(a.c_str(), dir.file("link.sqlite3").c_str()), 0);
  ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0755), 0);
  ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0644), 0);
  for (const std::string& out : {a, a + "-journal", a + "-wal", dir.file("link.sqlite3"),
                                 dir.file("sub"), dir.file("fifo")}) {
    ChildResult r = bag_tool({"merge", out, a, "--force"});
    EXPECT_TRUE(r.exited_with(1)) << out;
    EXPECT_EQ(r.err.rfind("quorvin-rnr-bag: ", 0), 0u) << r.err;
    r = bag_tool({"cut", a, out, "--topic", "copy_shared", "--force"});
    EXPECT_TRUE(r.exited_with(1)) << out;
  }
  EXPECT_FALSE(file_exists(a + "-journal"));
  EXPECT_FALSE(file_exists(a + "-wal"));

  // Bad values, an input whose samples cannot be read, an unknown topic.
  EXPECT_TRUE(bag_tool({"cut", a, dir.file("x"), "--start", "soon"}).exited_with(2));
  EXPECT_TRUE(bag_tool({"cut", a, dir.file("x"), "--topic", "nope"}).exited_with(1));
  const std::string foreign = dir.file("foreign.sqlite3");
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(foreign.c_str(), &db), SQLITE_OK);
  ASSERT_TRUE(exec_sql(db,
                       "CREATE TABLE topics (_id INTEGER PRIMARY KEY, topic_name, type_name, "
                       "metastring, is_with_key); CREATE TABLE writers (_id INTEGER PRIMARY KEY, "
                       "guid); CREATE TABLE data (_id INTEGER PRIMARY KEY, topic_id, timestamp, "
                       "payload)"));
  sqlite3_close(db);
  ChildResult failed = bag_tool({"merge", dir.file("x"), a, foreign});
  EXPECT_TRUE(failed.exited_with(1)) << failed.err;
  EXPECT_EQ(read_file(a), a_bytes);
  // Only the inputs and the entries made above are left: no output, no
  // temporary file.
  EXPECT_EQ(dir.files_matching("", "").size(), 5u);
  EXPECT_TRUE(dir.files_matching(".", "").empty());

  // A short relative output in a directory whose full name is near the
  // 255 bytes a bag's path may take is written.
  std::string deep = dir.file("sub");
  while (deep.size() < 240) {
    deep += "/" + std::string(20, 'd');
    ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
  }
  ChildOptions in_deep;
  in_deep.cwd = deep;
  const ChildResult short_name = bag_tool({"cut", a, "out.sqlite3"}, in_deep);
  EXPECT_TRUE(short_name.exited_with(0)) << short_name.err;
  EXPECT_TRUE(file_exists(deep + "/out.sqlite3"));
}

TEST(BagCopyTest, InterruptedMergeRemovesItsTemporaryFile) {
  TempDir dir;
  const std::string big = dir.file("big.sqlite3");
  { BagWriter writer(big); }
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(big.c_str(), &db), SQLITE_OK);
  // Enough rows that the merge is still running when the signal comes.
  ASSERT_TRUE(exec_sql(db,
                       "INSERT INTO topics(topic_name, type_name) VALUES ('copy_big', 'Big'); "
                       "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < "
                       "2000000) INSERT INTO data(topic_id, timestamp, serialized_data) SELECT 1, "
                       "i, zeroblob(64) FROM n"));
  sqlite3_close(db);
  const std::string out = dir.file("out.sqlite3");
  Child merge({RNR_BAG_TOOL_PATH, "merge", out, big});
  ASSERT_TRUE(
      wait_until([&] { return !dir.files_matching(".out.sqlite3.tmp-", "").empty(); }, 10s));
  std::this_thread::sleep_for(200ms);
  merge.signal(SIGINT);
  EXPECT_EQ(merge.wait(20s), 128 + SIGINT) << merge.err();
  EXPECT_NE(merge.err().find("interrupted"), std::string::npos) << merge.err();
  EXPECT_FALSE(file_exists(out));
  EXPECT_TRUE(dir.files_matching(".", "").empty());
}
