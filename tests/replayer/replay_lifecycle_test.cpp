// Instance lifecycle end to end: a keyed Cyclone writer writes, disposes,
// unregisters and write-disposes; the recording keeps each state change in
// instance_events in reception order, a subscriber of the replay sees the
// same sequence of samples and state changes per instance as a subscriber
// of the original, and cut, merge, info and json keep the events. A bag
// with damaged event rows is replayed and exported without a crash.
// Domains 220-222.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <dds/dds.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include "bag_files.h"
#include "child_process.h"
#include "files.h"
#include "log_capture.h"
#include "recorder/recorder.h"
#include "replayer/replayer.h"
#include "rnr_test_types.h"

using namespace std::chrono_literals;
using namespace rnr::test;

namespace {

constexpr const char* kTopic = "rnr_lifecycle";
constexpr const char* kType = "rnr_test::KeyedSample";

std::atomic<bool> finished{false};
void on_finished(rnr_replayer* /*replayer*/) {
  finished = true;
}

// A typed participant of the test type on one domain.
struct Domain {
  dds_entity_t participant = 0;
  dds_entity_t topic = 0;
  explicit Domain(int id) {
    participant = dds_create_participant(static_cast<dds_domainid_t>(id), nullptr, nullptr);
    topic = dds_create_topic(participant, &rnr_test_KeyedSample_desc, kTopic, nullptr, nullptr);
  }
  ~Domain() { dds_delete(participant); }
  dds_entity_t reader() const {
    dds_qos_t* q = dds_create_qos();
    dds_qset_reliability(q, DDS_RELIABILITY_RELIABLE, DDS_SECS(1));
    dds_qset_history(q, DDS_HISTORY_KEEP_ALL, 0);
    const dds_entity_t r = dds_create_reader(participant, topic, q, nullptr);
    dds_delete_qos(q);
    return r;
  }
};

// What a subscriber saw: "sample <id>/<seq>" per valid sample and
// "<id> disposed" / "<id> no writers" each time an instance's state
// changed, in the order taken.
struct Seen {
  std::vector<std::string> items;
  std::map<int32_t, dds_instance_state_t> state;

  void take(dds_entity_t reader) {
    void* samples[16] = {};
    dds_sample_info_t infos[16];
    const dds_return_t n = dds_take(reader, samples, infos, 16, 16);
    for (dds_return_t i = 0; i < n; ++i) {
      const auto* s = static_cast<const rnr_test_KeyedSample*>(samples[i]);
      if (infos[i].valid_data) {
        items.push_back("sample " + std::to_string(s->id) + "/" + std::to_string(s->seq));
      }
      auto [it, added] = state.try_emplace(s->id, DDS_IST_ALIVE);
      if (infos[i].instance_state != it->second) {
        it->second = infos[i].instance_state;
        items.push_back(std::to_string(s->id) + (it->second == DDS_IST_ALIVE ? " alive"
                                                 : it->second == DDS_IST_NOT_ALIVE_DISPOSED
                                                     ? " disposed"
                                                     : " no writers"));
      }
    }
    if (n > 0) {
      dds_return_loan(reader, samples, n);
    }
  }
  void take_until(dds_entity_t reader, size_t count, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (items.size() < count && std::chrono::steady_clock::now() < end) {
      take(reader);
      std::this_thread::sleep_for(5ms);
    }
    std::this_thread::sleep_for(200ms);
    take(reader);
  }
};

rnr_test_KeyedSample sample(int32_t id, uint64_t seq) {
  rnr_test_KeyedSample s{};
  s.id = id;
  s.seq = seq;
  s.inner.label = const_cast<char*>("inner");
  s.text = const_cast<char*>("text");
  return s;
}

struct EventRow {
  std::string kind;
  int64_t after;
  std::string writer;
  bool has_key;
  bool has_source_time;
  bool with_sample;
  bool operator==(const EventRow&) const = default;
  friend std::ostream& operator<<(std::ostream& out, const EventRow& e) {
    return out << e.kind << " after " << e.after << " by '" << e.writer << "' key " << e.has_key
               << " source time " << e.has_source_time << " with sample " << e.with_sample;
  }
};

std::vector<EventRow> events_of(const std::string& bag) {
  std::vector<EventRow> out;
  sqlite3* db = nullptr;
  sqlite3_stmt* st = nullptr;
  if (sqlite3_open_v2(bag.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
      sqlite3_prepare_v2(db,
                         "SELECT kind, after_data_id, IFNULL(writer_guid, ''), key IS NOT NULL, "
                         "source_timestamp IS NOT NULL, with_sample FROM instance_events ORDER BY "
                         "_id",
                         -1, &st, nullptr) == SQLITE_OK) {
    while (sqlite3_step(st) == SQLITE_ROW) {
      out.push_back({reinterpret_cast<const char*>(sqlite3_column_text(st, 0)),
                     sqlite3_column_int64(st, 1),
                     reinterpret_cast<const char*>(sqlite3_column_text(st, 2)),
                     sqlite3_column_int(st, 3) != 0, sqlite3_column_int(st, 4) != 0,
                     sqlite3_column_int(st, 5) != 0});
    }
  }
  sqlite3_finalize(st);
  sqlite3_close(db);
  return out;
}

// The "event" or "sample" of each line of `json`.
std::vector<std::string> json_kinds(const std::string& bag) {
  Child json({RNR_BAG_TOOL, "json", bag});
  const ChildResult r = json.finish();
  EXPECT_TRUE(r.exited_with(0)) << r.err;
  std::vector<std::string> kinds;
  size_t at = 0;
  while (at < r.out.size()) {
    const size_t end = r.out.find('\n', at);
    const std::string line = r.out.substr(at, end - at);
    kinds.push_back(line.rfind("{\"event\":\"", 0) == 0 ? line.substr(10, line.find('"', 10) - 10)
                                                        : "sample");
    at = end == std::string::npos ? r.out.size() : end + 1;
  }
  return kinds;
}

std::string writer_guid_text(dds_entity_t writer) {
  dds_guid_t guid{};
  dds_get_guid(writer, &guid);
  char text[40];
  std::snprintf(
      text, sizeof text, "%02x%02x%02x%02x %02x%02x%02x%02x %02x%02x%02x%02x %02x%02x%02x%02x",
      guid.v[0], guid.v[1], guid.v[2], guid.v[3], guid.v[4], guid.v[5], guid.v[6], guid.v[7],
      guid.v[8], guid.v[9], guid.v[10], guid.v[11], guid.v[12], guid.v[13], guid.v[14], guid.v[15]);
  return text;
}

// The original writer, a remote application in a process of its own (a
// writer in the recorder's own process would be delivered locally, without
// the key hashes a remote writer sends): it waits for the recorder's reader
// and the original subscriber, writes A, B and C, disposes A, unregisters B
// and write-disposes C, 300 ms apart, writes its GUID into `report` and waits
// until `quit` is closed.
pid_t start_writer(int domain, const int (&report_pipe)[2], const int (&quit_pipe)[2]) {
  const pid_t pid = fork();
  if (pid != 0) {
    return pid;
  }
  close(report_pipe[0]);
  close(quit_pipe[1]);
  const int report = report_pipe[1];
  const int quit = quit_pipe[0];
  const dds_entity_t participant =
      dds_create_participant(static_cast<dds_domainid_t>(domain), nullptr, nullptr);
  const dds_entity_t topic =
      dds_create_topic(participant, &rnr_test_KeyedSample_desc, kTopic, nullptr, nullptr);
  dds_qos_t* q = dds_create_qos();
  dds_qset_reliability(q, DDS_RELIABILITY_RELIABLE, DDS_SECS(1));
  dds_qset_history(q, DDS_HISTORY_KEEP_ALL, 0);
  dds_qset_writer_data_lifecycle(q, false);  // an unregister leaves its instance undisposed
  const dds_entity_t writer = dds_create_writer(participant, topic, q, nullptr);
  dds_delete_qos(q);
  dds_publication_matched_status_t matched{};
  for (int i = 0; i < 1000 && matched.current_count < 2; ++i) {
    dds_get_publication_matched_status(writer, &matched);
    std::this_thread::sleep_for(20ms);
  }
  std::this_thread::sleep_for(1000ms);  // the recorder's reader is assigned the writer
  const rnr_test_KeyedSample a = sample(1, 1), b = sample(2, 2), c = sample(3, 3),
                             c2 = sample(3, 4);
  const bool ok = matched.current_count >= 2 && dds_write(writer, &a) == 0 &&
                  (std::this_thread::sleep_for(300ms), dds_write(writer, &b) == 0) &&
                  (std::this_thread::sleep_for(300ms), dds_write(writer, &c) == 0) &&
                  (std::this_thread::sleep_for(300ms), dds_dispose(writer, &a) == 0) &&
                  (std::this_thread::sleep_for(300ms), dds_unregister_instance(writer, &b) == 0) &&
                  (std::this_thread::sleep_for(300ms), dds_writedispose(writer, &c2) == 0);
  dds_wait_for_acks(writer, DDS_SECS(5));
  const std::string guid = ok ? writer_guid_text(writer) : "failed";
  if (write(report, guid.data(), guid.size()) < 0) {
    _exit(1);
  }
  close(report);
  char byte;
  while (read(quit, &byte, 1) > 0) {
  }
  _exit(0);  // the readers are gone by now; nothing is cleaned up
}

}  // namespace

TEST(ReplayLifecycle, DisposesAndUnregistersAreRecordedReplayedAndCopied) {
  const int domain = 220;
  const int replay_domain = 221;
  int report[2], quit[2];
  ASSERT_EQ(pipe(report), 0);
  ASSERT_EQ(pipe(quit), 0);
  // Forked before this process makes any DDS entity.
  const pid_t child = start_writer(domain, report, quit);
  ASSERT_GT(child, 0);
  close(report[1]);
  close(quit[0]);
  LogCapture log(RNR_LOG_INFO);
  TempDir dir;
  const std::string bag = dir.file("lifecycle.sqlite3");

  Seen original;
  std::string guid;
  {
    rnr_recorder* recorder = rnr_recorder_create(domain, bag.c_str());
    ASSERT_NE(recorder, nullptr);
    ASSERT_TRUE(rnr_recorder_add_topic(recorder, kTopic, kType));
    ASSERT_TRUE(rnr_recorder_start_record(recorder));
    Domain d(domain);
    const dds_entity_t reader = d.reader();
    char text[64] = {};
    ssize_t got = 0;
    while (got == 0) {
      original.take(reader);
      pollfd p{report[0], POLLIN, 0};
      if (poll(&p, 1, 10) > 0) {
        got = read(report[0], text, sizeof text - 1);
        if (got <= 0) {
          break;
        }
      }
    }
    guid = text;
    original.take_until(reader, 7, 3000ms);
    std::this_thread::sleep_for(500ms);
    rnr_recorder_stop_record(recorder);
    // Every state change took a sequence number of its writer: none is
    // counted as lost.
    EXPECT_TRUE(rnr_recorder_save_record(recorder));
    rnr_recorder_destroy(recorder);
  }
  close(quit[1]);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_NE(guid, "failed");
  const std::vector<std::string> expected = {"sample 1/1", "sample 2/2",   "sample 3/3",
                                             "1 disposed", "2 no writers", "sample 3/4",
                                             "3 disposed"};
  ASSERT_EQ(original.items, expected);

  // The dispose and unregister carried their keys; the write-dispose is
  // the state change that came with its sample, the fourth.
  const std::vector<EventRow> recorded = {{"dispose", 3, guid, true, true, false},
                                          {"unregister", 3, guid, true, true, false},
                                          {"dispose", 4, guid, false, true, true}};
  EXPECT_EQ(events_of(bag), recorded);
  EXPECT_EQ(read_bag(bag).data.size(), 4u);

  // A subscriber of the replay sees what the original's saw.
  {
    Domain d(replay_domain);
    const dds_entity_t reader = d.reader();
    finished = false;
    rnr_replayer* replayer = rnr_replayer_create(bag.c_str(), replay_domain);
    ASSERT_NE(replayer, nullptr);
    rnr_replayer_set_on_replay_finished(replayer, on_finished);
    rnr_replayer_start_replay(replayer);
    Seen replayed;
    while (!finished) {
      replayed.take(reader);
      std::this_thread::sleep_for(5ms);
    }
    replayed.take_until(reader, expected.size(), 3000ms);
    EXPECT_EQ(replayed.items, expected);
    EXPECT_EQ(rnr_replayer_unwritten(replayer), 0u);
    rnr_replayer_stop_replay(replayer);
    rnr_replayer_destroy(replayer);
  }

  // cut and merge keep them where they were; json shows them as lines of
  // their own and info counts them.
  const std::vector<std::string> lines = {"sample",     "sample", "sample", "dispose",
                                          "unregister", "sample", "dispose"};
  EXPECT_EQ(json_kinds(bag), lines);
  const std::string json = Child({RNR_BAG_TOOL, "json", bag}).finish().out;
  EXPECT_NE(json.find(",\"after_id\":3,\"writer\":\"" + guid + "\""), std::string::npos) << json;
  EXPECT_NE(json.find("\"key\":{\"id\": 1}"), std::string::npos) << json;
  EXPECT_NE(json.find("\"key\":{\"id\": 2}"), std::string::npos) << json;
  EXPECT_NE(json.find("\"after_id\":4,\"with_sample\":true"), std::string::npos) << json;
  const std::string cut = dir.file("cut.sqlite3");
  const std::string merged = dir.file("merged.sqlite3");
  EXPECT_TRUE(Child({RNR_BAG_TOOL, "cut", bag, cut}).finish().exited_with(0));
  EXPECT_TRUE(Child({RNR_BAG_TOOL, "merge", merged, cut}).finish().exited_with(0));
  EXPECT_EQ(events_of(cut), recorded);
  EXPECT_EQ(events_of(merged), recorded);
  EXPECT_EQ(json_kinds(merged), lines);
  // A cut from the fourth sample on keeps the events received from then on.
  const std::string tail = dir.file("tail.sqlite3");
  const int64_t fourth = read_bag(bag).data[3].timestamp;
  char start[40];
  std::snprintf(start, sizeof start, "@%lld.%09lld", static_cast<long long>(fourth / 1000000000),
                static_cast<long long>(fourth % 1000000000));
  const ChildResult tail_cut = Child({RNR_BAG_TOOL, "cut", bag, tail, "--start", start}).finish();
  EXPECT_TRUE(tail_cut.exited_with(0)) << tail_cut.err;
  EXPECT_EQ(json_kinds(tail), (std::vector<std::string>{"sample", "dispose"}));
  const ChildResult info = Child({RNR_BAG_TOOL, "info", merged}).finish();
  EXPECT_NE(info.out.find("rnr_lifecycle: 2 disposes, 1 unregisters"), std::string::npos)
      << info.out;
}

// Event rows another tool or a damage wrote: a key that is no serialized
// key, a topic the bag does not list, a kind that is none. json prints
// each as a line of its own; the replay skips them with one line per topic
// and ends as a replay that could not write everything.
TEST(ReplayLifecycle, DamagedEventRowsAreSkippedCleanly) {
  TempDir dir;
  const std::string bag = dir.file("hostile.sqlite3");
  {
    BagWriter writer(bag);
    const int topic = writer.add_topic(kTopic, kType, 1);
    writer.add_sample(topic, kBase, {0, 1, 0, 0, 1, 0, 0, 0});
    writer.add_sample(topic, kBase + kMs, {0, 1, 0, 0, 2, 0, 0, 0});
  }
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(bag.c_str(), &db), SQLITE_OK);
    ASSERT_TRUE(exec_sql(
        db,
        "CREATE TABLE instance_events (_id INTEGER PRIMARY KEY, topic_id INTEGER, after_data_id "
        "INTEGER, timestamp INTEGER, kind TEXT, writer_guid TEXT, source_timestamp INTEGER, key "
        "BLOB, key_hash BLOB, with_sample INTEGER);"
        "INSERT INTO instance_events VALUES(1, 1, 1, " +
            std::to_string(kBase + 1) +
            ", 'dispose', NULL, NULL, x'ff', NULL, 0);"
            "INSERT INTO instance_events VALUES(2, 99, 1, " +
            std::to_string(kBase + 2) +
            ", 'unregister', NULL, NULL, x'00010000', x'0011', 0);"
            "INSERT INTO instance_events VALUES(3, 1, 2, 'late', 'explode', 7, 'x', NULL, "
            "NULL, 'yes');"));
    sqlite3_close(db);
  }
  const ChildResult json = Child({RNR_BAG_TOOL, "json", bag}).finish();
  EXPECT_TRUE(json.exited_with(0)) << json.err;
  EXPECT_NE(json.out.find("{\"event\":\"dispose\",\"topic\":\"rnr_lifecycle\""), std::string::npos)
      << json.out;
  EXPECT_NE(json.out.find("{\"event\":\"unregister\",\"topic\":null"), std::string::npos);
  EXPECT_NE(json.out.find("{\"event\":\"explode\""), std::string::npos);

  LogCapture log;
  finished = false;
  rnr_replayer* replayer = rnr_replayer_create(bag.c_str(), 222);
  ASSERT_NE(replayer, nullptr);
  rnr_replayer_set_on_replay_finished(replayer, on_finished);
  rnr_replayer_start_replay(replayer);
  for (int i = 0; i < 500 && !finished; ++i) {
    std::this_thread::sleep_for(20ms);
  }
  ASSERT_TRUE(finished);
  EXPECT_EQ(rnr_replayer_unwritten(replayer), 3u);
  rnr_replayer_stop_replay(replayer);
  rnr_replayer_destroy(replayer);
  EXPECT_EQ(log.matching("Replayer Could not replay 3 instance events").size(), 1u);
  EXPECT_EQ(log.matching("Replayer Skip instance events of topic_id").size(), 2u);
}
