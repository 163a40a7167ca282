// Hostile and absurd writer_qos rows: what a replay offers for them, that a
// recorder on the domain receives every sample of such a bag's replay, and
// that replay and play stop promptly on a signal while they create, use or
// delete writers for such rows.
#include <signal.h>
#include <sqlite3.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "replayer/replay_qos.h"
#include "bag_files.h"
#include "child_process.h"
#include "files.h"
#include "log_capture.h"

using namespace std::chrono_literals;
using namespace rnr::qos;
using namespace rnr::test;

namespace {

std::string partition_list(size_t count, const std::string& prefix) {
  std::string text;
  for (size_t i = 0; i < count; ++i) {
    if (i > 0) {
      text.push_back(',');
    }
    text.append(prefix).append(std::to_string(i));
  }
  return text;
}

// One topic of the hostile bag: the rows of its recorded writers and what the
// replay must say of them.
struct HostileTopic {
  std::string name;
  std::vector<std::string> rows;
  std::string expected_line;  // a part of one warning line of the replay
  std::function<void(const WriterQos&)> check = [](const WriterQos&) {};
};

std::vector<HostileTopic> hostile_topics() {
  const std::string ten_mb_name(10 << 20, 'x');
  std::string long_escaped;
  for (int i = 0; i < 100; ++i) {
    long_escaped.append("ab%2c");  // 300 bytes once unescaped
  }
  std::vector<HostileTopic> t = {
      {"rq_parts_6000", {"partition=" + partition_list(6000, "p")}, "5936 partitions beyond"},
      {"rq_parts_100000", {"partition=" + partition_list(100000, "p")}, "99936 partitions beyond"},
      {"rq_part_10mb",
       {"partition=kept," + ten_mb_name},
       "1 partition names longer than 255",
       [](const WriterQos& q) { EXPECT_EQ(q.partitions, std::vector<std::string>{"kept"}); }},
      {"rq_part_escaped", {"partition=" + long_escaped + ",ok"}, "1 partition names longer"},
      {"rq_union",
       {"partition=" + partition_list(40, "a"), "partition=" + partition_list(40, "b"), ""},
       "the replay offers the first 64 in sorted order and leaves out 17",
       [](const WriterQos& q) {
         EXPECT_EQ(q.partitions.size(), kMaxPartitions);
         EXPECT_EQ(q.partitions.front(), "");  // the third writer's default partition
       }},
      {"rq_deadline_1ns",
       {"deadline=1"},
       "deadline 1 ns is below 1 ms and raised to it",
       [](const WriterQos& q) { EXPECT_EQ(q.deadline_ns, 1000000); }},
      {"rq_deadline_0",
       {"deadline=0"},
       "deadline 0 ns is below 1 ms",
       [](const WriterQos& q) { EXPECT_EQ(q.deadline_ns, 1000000); }},
      {"rq_deadline_negative",
       {"deadline=-5"},
       "deadline -5 ns is invalid and left out",
       [](const WriterQos& q) { EXPECT_EQ(q.deadline_ns, kInfinite); }},
      {"rq_latency_negative",
       {"latency_budget=-1"},
       "latency_budget -1 ns is invalid",
       [](const WriterQos& q) { EXPECT_EQ(q.latency_budget_ns, 0); }},
      {"rq_latency_1ns",
       {"latency_budget=1"},
       "latency_budget 1 ns is below 1 ms",
       [](const WriterQos& q) { EXPECT_EQ(q.latency_budget_ns, 1000000); }},
      {"rq_lease_1ns",
       {"liveliness=manual_by_topic\nliveliness.lease_duration=1"},
       "liveliness.lease_duration 1 ns is below 1 ms",
       [](const WriterQos& q) { EXPECT_EQ(q.lease_duration_ns, 1000000); }},
      {"rq_lease_0", {"liveliness.lease_duration=0"}, "liveliness.lease_duration 0 ns is below"},
      {"rq_lifespan_1ns",
       {"lifespan=1"},
       "lifespan 1 ns is below 100 ms",
       [](const WriterQos& q) { EXPECT_EQ(q.lifespan_ns, kMinReplayLifespanNs); }},
      {"rq_lifespan_negative",
       {"lifespan=-7"},
       "lifespan -7 ns is invalid",
       [](const WriterQos& q) { EXPECT_EQ(q.lifespan_ns, kInfinite); }},
      {"rq_beyond_the_wire",
       {"deadline=9223372036854775806\nlatency_budget=3000000000000000000"},
       "deadline 9223372036854775806 ns is longer than DDS can announce",
       [](const WriterQos& q) {
         EXPECT_EQ(q.deadline_ns, kInfinite);
         EXPECT_EQ(q.latency_budget_ns, kInfinite);
       }},
      {"rq_durability_invalid",
       {"durability=transient_local\ndurability_service.cleanup_delay=-1\n"
        "durability_service.depth=-3\ndurability_service.max_samples=0\n"
        "durability_service.max_instances=-9"},
       "durability_service.depth -3 is invalid; 1 is offered",
       [](const WriterQos& q) {
         EXPECT_EQ(q.durability_service.depth, 1);
         EXPECT_EQ(q.durability_service.max_samples, -1);
         EXPECT_EQ(q.durability_service.max_instances, -1);
         EXPECT_EQ(q.durability_service.cleanup_delay_ns, 0);
       }},
      {"rq_durability_huge",
       {"durability=transient_local\ndurability_service.depth=2147483647"},
       "durability_service.depth 2147483647 is more than 1000",
       [](const WriterQos& q) { EXPECT_EQ(q.durability_service.depth, kMaxDurabilityDepth); }},
      {"rq_durability_inconsistent",
       {"durability=transient_local\ndurability_service.depth=8\n"
        "durability_service.max_samples=4\ndurability_service.max_samples_per_instance=6"},
       "durability_service resource limits are inconsistent",
       [](const WriterQos& q) {
         EXPECT_EQ(q.durability_service.depth, 8);
         EXPECT_EQ(q.durability_service.max_samples_per_instance, -1);
       }},
      {"rq_group_coherent",
       {"presentation=group\npresentation.coherent_access=true\npresentation.ordered_access=true\n"
        "destination_order=by_source_timestamp\nownership=exclusive\nownership.strength=-"
        "2147483648",
        "ownership=shared"},
       "its writers had shared and exclusive ownership"},
      {"rq_malformed", {"deadline=soon", std::string(1 << 20, '%')}, "cannot be read"},
  };
  // Thousands of writers of one topic, 64 partitions each: the union sorts
  // 128,000 names.
  HostileTopic many{"rq_many_writers", {}, "leaves out 127936"};
  for (int w = 0; w < 2000; ++w) {
    std::string prefix = "w";
    prefix.append(std::to_string(w)).append("_");
    std::string row = "partition=";
    row.append(partition_list(64, prefix));
    many.rows.push_back(std::move(row));
  }
  t.push_back(std::move(many));
  return t;
}

constexpr int kSamplesPerTopic = 5;
constexpr const char* kType = "RnrHostileQos";

// The bag: each topic with its rows and kSamplesPerTopic samples, interleaved
// 1 ms apart; `tail_s` > 0 adds one more sample that far behind the others,
// so that the replay runs until it is stopped.
void write_hostile_bag(const std::string& path, const std::vector<HostileTopic>& topics,
                       int tail_s = 0) {
  std::vector<int> ids;
  {
    BagWriter bag(path);
    bag.begin();
    for (const HostileTopic& t : topics) {
      ids.push_back(bag.add_topic(t.name, kType, 0, ""));
    }
    uint64_t time = kBase;
    for (int i = 0; i < kSamplesPerTopic; ++i) {
      for (int id : ids) {
        bag.add_sample(id, time, xcdr1_sample(static_cast<uint32_t>(i)));
        time += kMs;
      }
    }
    if (tail_s > 0) {
      bag.add_sample(ids.front(), time + static_cast<uint64_t>(tail_s) * 1000 * kMs,
                     xcdr1_sample(99));
    }
    bag.commit();
  }
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  ASSERT_TRUE(exec_sql(db,
                       "BEGIN; CREATE TABLE writer_qos (writer_id INTEGER PRIMARY KEY NOT NULL, "
                       "topic_id INTEGER NOT NULL, qos TEXT NOT NULL)"));
  sqlite3_stmt* writer = nullptr;
  sqlite3_stmt* qos = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, "INSERT INTO writers (guid) VALUES (?)", -1, &writer, nullptr),
            SQLITE_OK);
  ASSERT_EQ(sqlite3_prepare_v2(db, "INSERT INTO writer_qos VALUES (?, ?, ?)", -1, &qos, nullptr),
            SQLITE_OK);
  int serial = 10000000;
  for (size_t i = 0; i < topics.size(); ++i) {
    for (const std::string& row : topics[i].rows) {
      const std::string guid = "0110aaaa bbbbcccc " + std::to_string(serial++) + " 00000102";
      sqlite3_bind_text(writer, 1, guid.c_str(), -1, SQLITE_TRANSIENT);
      ASSERT_EQ(sqlite3_step(writer), SQLITE_DONE);
      sqlite3_reset(writer);
      sqlite3_bind_int64(qos, 1, sqlite3_last_insert_rowid(db));
      sqlite3_bind_int(qos, 2, ids[i]);
      sqlite3_bind_text(qos, 3, row.c_str(), static_cast<int>(row.size()), SQLITE_STATIC);
      ASSERT_EQ(sqlite3_step(qos), SQLITE_DONE);
      sqlite3_reset(qos);
    }
  }
  sqlite3_finalize(writer);
  sqlite3_finalize(qos);
  ASSERT_TRUE(exec_sql(db, "COMMIT"));
  sqlite3_close(db);
}

// Each row read, made sane and merged as a replay does: the values offered,
// and one line naming what was changed.
TEST(ReplayHostileQos, EveryRowIsBroughtWithinWhatCycloneAndTheDomainTake) {
  for (const HostileTopic& t : hostile_topics()) {
    SCOPED_TRACE(t.name);
    LogCapture log;
    rnr_replay_qos_notes notes;
    std::vector<WriterQos> recorded;
    for (const std::string& row : t.rows) {
      TextLimitsHit limits;
      auto q = from_text(row, &limits);
      if (q) {
        rnr_replay_sanitize_qos(&*q, "G", limits, &notes);
        recorded.push_back(*q);
      }
    }
    size_t left_out = 0;
    const auto merged = rnr_replay_merge_qos(recorded, &left_out);
    if (t.name == "rq_malformed") {
      EXPECT_FALSE(merged.has_value());
      continue;
    }
    ASSERT_TRUE(merged.has_value());
    EXPECT_LE(merged->partitions.size(), kMaxPartitions);
    for (const std::string& p : merged->partitions) {
      EXPECT_LE(p.size(), kMaxPartitionNameBytes);
    }
    for (int64_t d : {merged->deadline_ns, merged->lease_duration_ns, merged->lifespan_ns}) {
      EXPECT_TRUE(d == kInfinite || (d >= kMinReplayDurationNs && d <= kMaxWireDurationNs)) << d;
    }
    EXPECT_TRUE(merged->latency_budget_ns == 0 || merged->latency_budget_ns == kInfinite ||
                merged->latency_budget_ns >= kMinReplayDurationNs);
    t.check(*merged);
  }
  // More notes than are listed: the rest is summed up in one line.
  LogCapture log;
  rnr_replay_qos_notes notes;
  for (int i = 0; i < 40; ++i) {
    WriterQos q;
    q.deadline_ns = -1;
    rnr_replay_sanitize_qos(&q, "G", {}, &notes);
  }
  rnr_replay_qos_notes_finish(&notes);
  EXPECT_EQ(log.matching("Replayer The recorded QoS of writer G: ").size(),
            rnr_replay_qos_notes::kMaxQosLines);
  EXPECT_TRUE(
      log.contains("Replayer 8 more values of the recorded writers' QoS were changed or "
                   "left out (not listed)"));
}

// A recorder on the domain receives every sample of a replay of the hostile
// bag; the replay says what it changed and finishes as usual.
TEST(ReplayHostileQos, ARecorderReceivesEverySampleOfTheReplay) {
  const int domain = 92;
  TempDir dir;
  const std::vector<HostileTopic> topics = hostile_topics();
  const std::string bag = dir.file("hostile.sqlite3");
  write_hostile_bag(bag, topics);
  const std::string bags = dir.file("recorded");
  std::filesystem::create_directory(bags);
  std::vector<std::string> record = {RNR_EXECUTABLE, "record", "-d", std::to_string(domain)};
  for (const HostileTopic& t : topics) {
    record.push_back(kType);
    record.push_back(t.name);
  }
  ChildResult replayed;
  {
    Child recorder(record, {.cwd = bags, .stdout_path = dir.file("record.out")});
    std::this_thread::sleep_for(500ms);
    const auto start = std::chrono::steady_clock::now();
    replayed = run_program({RNR_EXECUTABLE, "replay", "-d", std::to_string(domain), bag});
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    std::this_thread::sleep_for(500ms);
    recorder.signal(SIGINT);
    ASSERT_EQ(recorder.wait(20s), 0) << read_file(dir.file("record.out"));
  }
  EXPECT_TRUE(replayed.exited_with(0)) << replayed.out;
  EXPECT_NE(replayed.out.find("Replay finished\n"), std::string::npos);
  for (const HostileTopic& t : topics) {
    EXPECT_NE(replayed.out.find(t.expected_line), std::string::npos) << t.name;
  }
  std::string recorded_path;
  for (const auto& entry : std::filesystem::directory_iterator(bags)) {
    recorded_path = entry.path().string();
  }
  const Bag got = read_bag(recorded_path);
  ASSERT_TRUE(got.opened) << read_file(dir.file("record.out"));
  for (const HostileTopic& t : topics) {
    const TopicRow* row = topic_named(got, t.name);
    ASSERT_NE(row, nullptr) << t.name << "\n" << replayed.out;
    EXPECT_EQ(rows_of(got, row->id).size(), static_cast<size_t>(kSamplesPerTopic)) << t.name;
  }
}

// replay and play end within 5 s of SIGTERM or SIGINT, whether it comes
// while the writers are created (for the hostile rows, and for thousands of
// topics), while the replay waits for readers, or while it waits for a
// sample, and neither crashes.
TEST(ReplayHostileQos, ReplayAndPlayStopPromptlyOnASignal) {
  const int domain = 93;
  TempDir dir;
  const std::string hostile = dir.file("hostile.sqlite3");
  write_hostile_bag(hostile, hostile_topics(), 60);
  std::vector<HostileTopic> plain(3000);
  for (size_t i = 0; i < plain.size(); ++i) {
    plain[i].name = "rq_plain_" + std::to_string(i);
  }
  const std::string many = dir.file("many.sqlite3");
  write_hostile_bag(many, plain, 60);
  struct Run {
    std::string command;
    std::string bag;
    int signal_number;
    std::chrono::milliseconds after;
  };
  for (const Run& run :
       {Run{"replay", hostile, SIGTERM, 30ms}, Run{"replay", hostile, SIGINT, 4000ms},
        Run{"play", hostile, SIGINT, 30ms}, Run{"play", hostile, SIGTERM, 1500ms},
        Run{"replay", many, SIGTERM, 500ms}, Run{"play", many, SIGINT, 500ms}}) {
    SCOPED_TRACE(run.command + " " + run.bag + " signal " + std::to_string(run.signal_number) +
                 " after " + std::to_string(run.after.count()) + " ms");
    const std::vector<std::string> argv =
        run.command == "replay"
            ? std::vector<std::string>{RNR_EXECUTABLE, "replay", "-d", std::to_string(domain),
                                       run.bag}
            : std::vector<std::string>{RNR_BAG_TOOL, "play", run.bag, "-d", std::to_string(domain)};
    Child child(argv);
    ASSERT_TRUE(child.started());
    std::this_thread::sleep_for(run.after);
    const auto signalled = std::chrono::steady_clock::now();
    child.signal(run.signal_number);
    const std::optional<int> status = child.wait(5s);
    ASSERT_TRUE(status.has_value()) << "still running 5 s after the signal";
    EXPECT_LT(std::chrono::steady_clock::now() - signalled, 5s);
    // Ended by itself, or (a signal before the handlers were installed) by
    // the signal sent; never by another one such as SIGSEGV or SIGABRT.
    EXPECT_TRUE(*status < 128 || *status == 128 + run.signal_number) << *status << child.err();
  }
}

}  // namespace
