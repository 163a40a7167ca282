// The replayer in-process: construction refusals, pacing, ordering and the
// playback controls, observed through its log lines and its callback.
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "middleware/dds_api.h"
#include "log/logger.h"
#include "replayer/replayer.h"
#include "bag_files.h"
#include "child_process.h"
#include "files.h"
#include "log_capture.h"

using namespace std::chrono_literals;
using namespace rnr::test;

namespace {

const std::string kWrite = "Replayer Write Data(_id=";

std::atomic<int> finished_calls{0};
std::atomic<uint64_t> finished_at{0};

void count_finished(rnr_replayer* /*replayer*/) {
  finished_calls.fetch_add(1);
  finished_at.store(arch_time());
}

int written_id(const LogLine& line) {
  int id = -1;
  int topic = -1;
  std::sscanf(line.text.c_str(), "Replayer Write Data(_id=%d, topic_id=%d)", &id, &topic);
  return id;
}

// A bag of one keyless topic holding one sample per offset (milliseconds).
void write_paced_bag(const std::string& path, const std::vector<int64_t>& offsets_ms) {
  BagWriter bag(path);
  int topic = bag.add_topic("rnr_replay_paced", "RnrPaced", 0);
  uint32_t value = 0;
  for (int64_t offset : offsets_ms) {
    bag.add_sample(topic, kBase + static_cast<uint64_t>(offset) * kMs, xcdr1_sample(value++));
  }
}

class ReplayerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    finished_calls = 0;
    finished_at = 0;
  }
  rnr_replayer* create(const std::string& bag, int domain) {
    rnr_replayer* replayer = rnr_replayer_create(bag.c_str(), domain);
    if (replayer != nullptr) {
      rnr_replayer_set_on_replay_finished(replayer, count_finished);
    }
    return replayer;
  }
  bool wait_finished(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (finished_calls.load() == 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(2ms);
    }
    return finished_calls.load() > 0;
  }
  TempDir dir;
  LogCapture log;
};

TEST_F(ReplayerTest, RefusesPathsThatNameNoBagAndCreatesNothing) {
  const int domain = 130;

  std::string long_path(257, 'a');
  EXPECT_EQ(create(long_path, domain), nullptr);
  EXPECT_TRUE(log.contains("Replayer Path length exceeded! max_length=256, length=257"));

  // 256 characters pass the replayer's length test; the store cannot hold it.
  std::string path_256 = dir.path() + "/" + std::string(256 - dir.path().size() - 1, 'b');
  ASSERT_EQ(path_256.size(), 256u);
  EXPECT_EQ(create(path_256, domain), nullptr);
  EXPECT_EQ(log.matching("Replayer Path length exceeded").size(), 1u);
  EXPECT_FALSE(rnr::test::file_exists(path_256));

  // A text file, and an SQLite database with a table of its own but none of
  // the bag's.
  std::string not_sqlite = "this is a text file, not a bag\n";
  rnr::test::write_file(dir.file("notes.txt"), not_sqlite);
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(dir.file("other.sqlite3").c_str(), &db), SQLITE_OK);
    sqlite3_exec(db, "CREATE TABLE things (x INTEGER); INSERT INTO things VALUES (7);", nullptr,
                 nullptr, nullptr);
    sqlite3_close(db);
  }
  struct Case {
    std::string name;
    std::string contents;  // empty: no file at all
    std::string store_line;
  };
  const std::vector<Case> cases = {
      {"missing.sqlite3", "", "Database Cannot open database"},
      {"notes.txt", not_sqlite, "Database Cannot read database"},
      {"other.sqlite3", rnr::test::read_file(dir.file("other.sqlite3")), "Database Not a bag"},
  };

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    size_t before = log.lines().size();
    EXPECT_EQ(create(dir.file(c.name), domain), nullptr);
    std::vector<LogLine> lines = log.lines();
    std::vector<std::string> errors;
    for (size_t i = before; i < lines.size(); ++i) {
      if (lines[i].level >= RNR_LOG_ERROR) {
        errors.push_back(lines[i].text);
      }
    }
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors[0].rfind(c.store_line, 0), 0u) << errors[0];
    EXPECT_EQ(errors[1], "Replayer Cannot get topic list from database");
    if (c.contents.empty()) {
      EXPECT_FALSE(rnr::test::file_exists(dir.file(c.name)));
    } else {
      EXPECT_EQ(rnr::test::read_file(dir.file(c.name)), c.contents);
    }
  }
}

TEST_F(ReplayerTest, PauseReleasesTheWaitingSampleThenHoldsUntilResume) {
  const int domain = 132;
  write_paced_bag(dir.file("pause.sqlite3"), {0, 400, 800});
  rnr_replayer* replayer = create(dir.file("pause.sqlite3"), domain);
  ASSERT_NE(replayer, nullptr);
  rnr_replayer_start_replay(replayer);
  ASSERT_TRUE(log.wait_for(kWrite, 1, 5s));
  std::this_thread::sleep_for(100ms);

  uint64_t paused_at = arch_time();
  rnr_replayer_pause_replay(replayer);
  ASSERT_TRUE(log.wait_for(kWrite, 2, 1s));
  EXPECT_LT(log.matching(kWrite)[1].time - paused_at, 150 * kMs);

  // Longer than the next gap: nothing goes out while paused.
  std::this_thread::sleep_for(1200ms);
  EXPECT_EQ(log.matching(kWrite).size(), 2u);
  EXPECT_EQ(finished_calls.load(), 0);

  uint64_t resumed_at = arch_time();
  rnr_replayer_resume_replay(replayer);
  ASSERT_TRUE(log.wait_for(kWrite, 3, 2s));
  EXPECT_LT(log.matching(kWrite)[2].time - resumed_at, 150 * kMs);
  ASSERT_TRUE(wait_finished(2s));
  rnr_replayer_stop_replay(replayer);
  rnr_replayer_destroy(replayer);
  EXPECT_EQ(finished_calls.load(), 1);
}

TEST_F(ReplayerTest, StopDuringLongGapWritesTheWaitingSampleAndEndsTheThread) {
  const int domain = 133;
  write_paced_bag(dir.file("stop.sqlite3"), {0, 30000, 60000});
  rnr_replayer* replayer = create(dir.file("stop.sqlite3"), domain);
  ASSERT_NE(replayer, nullptr);
  rnr_replayer_start_replay(replayer);
  ASSERT_TRUE(log.wait_for(kWrite, 1, 5s));
  std::this_thread::sleep_for(50ms);

  auto before = std::chrono::steady_clock::now();
  rnr_replayer_stop_replay(replayer);
  auto took = std::chrono::steady_clock::now() - before;
  // The thread has ended and called back before stop returned.
  EXPECT_EQ(finished_calls.load(), 1);
  EXPECT_LT(took, 2s);
  std::vector<LogLine> writes = log.matching(kWrite);
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(written_id(writes[1]), 2);

  // A second stop finds the thread gone: no second callback.
  rnr_replayer_stop_replay(replayer);
  rnr_replayer_destroy(replayer);
  EXPECT_EQ(finished_calls.load(), 1);
}

TEST_F(ReplayerTest, EmptyBagFinishesAfterTheStartDelayAndStopAfterEndIsQuiet) {
  const int domain = 134;
  {
    BagWriter bag(dir.file("empty.sqlite3"));
    bag.add_topic("rnr_replay_unused", "RnrUnused", 1);
  }
  rnr_replayer* replayer = create(dir.file("empty.sqlite3"), domain);
  ASSERT_NE(replayer, nullptr);
  EXPECT_TRUE(log.contains(
      "Replayer No data! Skip creating datawriter info on topic(name: rnr_replay_unused, "
      "type_name: RnrUnused)"));
  EXPECT_EQ(rnr_replayer_writer_count(replayer), 0u);

  uint64_t started = arch_time();
  rnr_replayer_start_replay(replayer);
  ASSERT_TRUE(wait_finished(3s));
  uint64_t took = finished_at.load() - started;
  EXPECT_GE(took, 1000 * kMs);
  EXPECT_LT(took, 1900 * kMs);

  auto before = std::chrono::steady_clock::now();
  rnr_replayer_stop_replay(replayer);
  EXPECT_LT(std::chrono::steady_clock::now() - before, 500ms);
  rnr_replayer_destroy(replayer);
  EXPECT_EQ(finished_calls.load(), 1);
}

TEST_F(ReplayerTest, TopicWithoutWriterLogsFailedWritesAndReplayGoesOn) {
  const int domain = 135;
  {
    BagWriter bag(dir.file("mixed.sqlite3"));
    int good = bag.add_topic("rnr_replay_good", "RnrGood", 0);
    int bad = bag.add_topic("not a valid topic name!", "RnrBad", 0);
    bag.add_sample(good, kBase, xcdr1_sample(1));
    bag.add_sample(bad, kBase + kMs, xcdr1_sample(2));
    bag.add_sample(good, kBase + 2 * kMs, xcdr1_sample(3));
  }
  rnr_replayer* replayer = create(dir.file("mixed.sqlite3"), domain);
  ASSERT_NE(replayer, nullptr);
  EXPECT_EQ(rnr_replayer_writer_count(replayer), 1u);
  // The invalid name gets no writer, and nothing is enabled in its place.
  EXPECT_TRUE(log.matching("Replayer Cannot enable datawriter").empty());
  EXPECT_TRUE(log.contains("Replayer Cannot create datawriter"));
  EXPECT_TRUE(log.contains(
      "Replayer Create DataWriter with topic_name: rnr_replay_good, type_name: RnrGood"));

  rnr_replayer_start_replay(replayer);
  ASSERT_TRUE(wait_finished(5s));
  rnr_replayer_stop_replay(replayer);
  rnr_replayer_destroy(replayer);

  std::vector<LogLine> writes = log.matching(kWrite);
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(written_id(writes[0]), 1);
  EXPECT_EQ(written_id(writes[1]), 3);
  EXPECT_EQ(log.matching("Replayer Cannot write data (_id: 2, ret=").size(), 1u);
  EXPECT_EQ(finished_calls.load(), 1);
}

// The source times of the written samples reproduce the recorded gaps, from
// tenths of a millisecond to ten milliseconds, within a tolerance that holds
// on a loaded machine; no sample leaves noticeably before its time.
TEST_F(ReplayerTest, WrittenSamplesKeepTheRecordedGaps) {
  const int domain = 168;
  std::vector<uint64_t> offsets_us;
  uint64_t t = 0;
  const uint64_t pattern[] = {1000, 1000, 100, 3000, 250, 0, 10000, 500, 1000, 2000};
  for (int i = 0; i < 300; ++i) {
    offsets_us.push_back(t);
    t += pattern[i % 10];
  }
  {
    BagWriter bag(dir.file("gaps.sqlite3"));
    int topic = bag.add_topic("rnr_replay_gaps", "RnrGaps", 0);
    bag.begin();
    for (size_t i = 0; i < offsets_us.size(); ++i) {
      bag.add_sample(topic, kBase + offsets_us[i] * 1000, xcdr1_sample(static_cast<uint32_t>(i)));
    }
    bag.commit();
  }
  // A raw reader of the topic in this process.
  dds_DomainParticipantFactory* factory = dds_DomainParticipantFactory_get_instance();
  dds_DomainParticipant* participant = dds_DomainParticipantFactory_create_participant(
      factory, domain, &dds_PARTICIPANT_QOS_DEFAULT, nullptr, 0);
  ASSERT_NE(participant, nullptr);
  dds_TypeSupport* raw = dds_TypeSupport_raw_create();
  dds_TypeSupport_register_type(raw, participant, "RnrGaps");
  dds_TypeSupport_delete(raw);
  dds_Topic* topic = dds_DomainParticipant_create_topic(participant, "rnr_replay_gaps", "RnrGaps",
                                                        nullptr, nullptr, 0);
  dds_Subscriber* subscriber =
      dds_DomainParticipant_create_subscriber(participant, nullptr, nullptr, 0);
  dds_DataReader* reader = dds_Subscriber_create_datareader(subscriber, topic, nullptr, nullptr, 0);
  ASSERT_NE(reader, nullptr);
  dds_Subscriber_enable(subscriber);
  dds_DataReader_enable(reader);

  rnr_replayer* replayer = create(dir.file("gaps.sqlite3"), domain);
  ASSERT_NE(replayer, nullptr);
  rnr_replayer_start_replay(replayer);
  ASSERT_TRUE(wait_finished(20s));
  rnr_replayer_stop_replay(replayer);

  std::vector<uint64_t> source_ns;
  dds_DataSeq* data = dds_DataSeq_create(1000);
  dds_SampleInfoSeq* infos = dds_SampleInfoSeq_create(1000);
  dds_UnsignedLongSeq* sizes = dds_UnsignedLongSeq_create(1000);
  for (int attempt = 0; attempt < 200 && source_ns.size() < offsets_us.size(); ++attempt) {
    if (dds_DataReader_raw_take(reader, dds_HANDLE_NIL, data, infos, sizes, 1000,
                                dds_ANY_SAMPLE_STATE, dds_ANY_VIEW_STATE,
                                dds_ANY_INSTANCE_STATE) == dds_RETCODE_OK) {
      for (uint32_t i = 0; i < dds_SampleInfoSeq_length(infos); ++i) {
        const dds_SampleInfo* info = dds_SampleInfoSeq_get(infos, i);
        source_ns.push_back(static_cast<uint64_t>(info->source_timestamp.sec) * 1000000000u +
                            info->source_timestamp.nanosec);
      }
      dds_DataReader_raw_return_loan(reader, data, infos, sizes);
    } else {
      std::this_thread::sleep_for(10ms);
    }
  }
  dds_DataSeq_delete(data);
  dds_SampleInfoSeq_delete(infos);
  dds_UnsignedLongSeq_delete(sizes);
  rnr_replayer_destroy(replayer);
  dds_DomainParticipantFactory_delete_participant(factory, participant);

  ASSERT_EQ(source_ns.size(), offsets_us.size());
  std::vector<int64_t> errors_us;
  size_t early = 0;
  for (size_t i = 1; i < source_ns.size(); ++i) {
    const auto gap = static_cast<int64_t>(source_ns[i] - source_ns[i - 1]) / 1000;
    const auto recorded = static_cast<int64_t>(offsets_us[i] - offsets_us[i - 1]);
    errors_us.push_back(std::abs(gap - recorded));
    early += gap < recorded - 200 ? 1 : 0;
  }
  std::sort(errors_us.begin(), errors_us.end());
  EXPECT_LE(errors_us[errors_us.size() / 2], 300) << "median gap error, us";
  EXPECT_LE(errors_us[errors_us.size() * 9 / 10], 2000) << "90th percentile gap error, us";
  EXPECT_LE(early, errors_us.size() / 50) << "gaps cut short by more than 0.2 ms";
}

}  // namespace
