// `quorvin-rnr record` against real publishers in other processes. Every test
// case uses its own DDS domain; all traffic stays on loopback (CYCLONEDDS_URI
// is inherited by the children).
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <algorithm>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <sqlite3.h>

#include "bag_files.h"
#include "byte_multiset.h"
#include "child_process.h"
#include "files.h"
#include "peer_runs.h"

using namespace rnr::test;
using namespace std::chrono_literals;

namespace {

struct Recording {
  TempDir dir;
  std::string out;
  std::string err;
  std::unique_ptr<Child> recorder;

  Recording(int domain, const std::string& level, const std::vector<std::string>& pairs) {
    out = dir.path() + "/recorder.out";
    err = dir.path() + "/recorder.err";
    std::vector<std::string> argv = {std::string(RNR_TOOL_PATH), "record", "-d",
                                     std::to_string(domain),     "-l",     level};
    argv.insert(argv.end(), pairs.begin(), pairs.end());
    recorder = std::make_unique<Child>(
        argv, ChildOptions{.cwd = dir.path(), .stdout_path = out, .stderr_path = err});
  }

  // SIGINT (or another signal), then the exit status.
  std::optional<int> stop(int signal_number = SIGINT) {
    recorder->signal(signal_number);
    return recorder->wait(60s);
  }

  std::string output() const { return read_file(out); }

  std::vector<std::string> bags() const { return dir.files_matching("dovuve_", ".sqlite3"); }
};

std::unique_ptr<Child> start_ddsperf(int domain, const std::string& rate, int seconds,
                                     const std::string& log) {
  std::vector<std::string> argv = {std::string(RNR_DDSPERF_PATH),
                                   "-i",
                                   std::to_string(domain),
                                   "-k",
                                   "all",
                                   "-D",
                                   std::to_string(seconds),
                                   "pub",
                                   rate,
                                   "size",
                                   "100"};
  return std::make_unique<Child>(argv, ChildOptions{.stdout_path = log, .stderr_path = log});
}

// The value of the "seq" field of every dumped line (a line of JSON).
std::vector<uint32_t> dumped_seqs(const std::string& output) {
  std::vector<uint32_t> seqs;
  std::istringstream in(output);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] != '{') {
      continue;
    }
    size_t pos = line.find("\"seq\"");
    if (pos == std::string::npos) {
      continue;
    }
    pos += 5;
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == ':')) {
      ++pos;
    }
    size_t end = pos;
    while (end < line.size() && std::isdigit(static_cast<unsigned char>(line[end]))) {
      ++end;
    }
    if (end > pos) {
      seqs.push_back(static_cast<uint32_t>(std::stoul(line.substr(pos, end - pos))));
    }
  }
  return seqs;
}

// "xxxxxxxx xxxxxxxx xxxxxxxx xxxxxxxx", lower-case hexadecimal.
bool is_guid_text(const std::string& text) {
  if (text.size() != 35) {
    return false;
  }
  for (size_t i = 0; i < text.size(); ++i) {
    const bool blank = i % 9 == 8;
    const char c = text[i];
    if (blank ? c != ' ' : !((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
      return false;
    }
  }
  return true;
}

// Every bag the recorder writes: integrity, ids 1..N, integer timestamps that
// do not go backwards.
void expect_well_formed(const Bag& bag) {
  ASSERT_TRUE(bag.opened);
  EXPECT_TRUE(bag.integrity_ok);
  for (size_t i = 0; i < bag.data.size(); ++i) {
    EXPECT_EQ(bag.data[i].id, static_cast<int64_t>(i + 1));
    EXPECT_TRUE(bag.data[i].timestamp_is_integer);
    if (i > 0) {
      EXPECT_GE(bag.data[i].timestamp, bag.data[i - 1].timestamp) << "at _id " << i + 1;
    }
  }
  for (const auto& guid : bag.writers) {
    EXPECT_TRUE(is_guid_text(guid)) << guid;
  }
}

}  // namespace

// ddsperf, an independent publisher, starts once the recorder runs: its keyed
// sequence topic is recorded at once and without a gap, the pair given twice
// is refused once, the pair with the wrong type name records nothing and is
// not mentioned, and at level verbose every stored sample is printed decoded.
TEST(RecordEndToEnd, DdsperfLateWriterRecordedWithoutGap) {
  const int domain = 80;
  Recording rec(
      domain, "verbose",
      {"KeyedSeq", "DDSPerfRDataKS", "WrongType", "DDSPerfRDataKS", "KeyedSeq", "DDSPerfRDataKS"});
  ASSERT_TRUE(rec.recorder->started());
  ASSERT_TRUE(wait_for_text(rec.out, "Recorder Add Topic{", 20s, 2)) << rec.output();

  const std::string perf_log = rec.dir.path() + "/ddsperf.log";
  auto perf = start_ddsperf(domain, "250Hz", 5, perf_log);
  EXPECT_TRUE(wait_for_text(
      rec.out, "Recorder Create DataReader{topic: DDSPerfRDataKS, type: KeyedSeq}", 30s))
      << rec.output();
  EXPECT_TRUE(perf->wait(60s).has_value());
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(rec.stop(), 0);

  const std::string output = rec.output();
  EXPECT_EQ(count_occurrences(output, "Recorder DDSPerfRDataKS: Cannot insert topic into database"),
            1u);
  EXPECT_EQ(count_occurrences(output, "WrongType"), 1u) << "only its Add Topic line";

  const auto bags = rec.bags();
  ASSERT_EQ(bags.size(), 1u);
  const Bag bag = read_bag(bags[0]);
  expect_well_formed(bag);
  ASSERT_EQ(bag.topics.size(), 2u);
  const TopicRow* keyed = nullptr;
  const TopicRow* wrong = nullptr;
  for (const auto& t : bag.topics) {
    EXPECT_EQ(t.topic_name, "DDSPerfRDataKS");
    (t.type_name == "KeyedSeq" ? keyed : wrong) = &t;
  }
  ASSERT_TRUE(keyed != nullptr && wrong != nullptr);
  EXPECT_EQ(wrong->type_name, "WrongType");
  EXPECT_FALSE(wrong->metastring.has_value());
  EXPECT_FALSE(wrong->is_with_key.has_value());
  ASSERT_TRUE(keyed->metastring.has_value());
  EXPECT_NE(keyed->metastring->find("KeyedSeq"), std::string::npos) << *keyed->metastring;
  EXPECT_NE(keyed->metastring->find("keyval"), std::string::npos) << *keyed->metastring;
  EXPECT_EQ(keyed->is_with_key, 1);
  EXPECT_EQ(bag.writers.size(), 1u);

  // KeyedSeq: seq at payload offset 0, consecutive per writer.
  ASSERT_GT(bag.data.size(), 100u) << "5 s at 250 Hz";
  std::vector<uint32_t> seqs;
  for (const auto& row : bag.data) {
    EXPECT_EQ(row.topic_id, keyed->id);
    auto seq = payload_u32(row.bytes, 0);
    ASSERT_TRUE(seq.has_value());
    seqs.push_back(*seq);
  }
  for (size_t i = 1; i < seqs.size(); ++i) {
    ASSERT_EQ(seqs[i], seqs[i - 1] + 1) << "gap after _id " << i;
  }

  const std::vector<uint32_t> dumped = dumped_seqs(output);
  EXPECT_EQ(std::multiset<uint32_t>(dumped.begin(), dumped.end()),
            std::multiset<uint32_t>(seqs.begin(), seqs.end()));
}

// The bag is always a new file: a name that exists, or a directory the bag
// cannot be created in, ends the run with the store's line, the recorder's
// line and status 1, and leaves existing files as they were.
TEST(RecordEndToEnd, BagThatCannotBeCreatedNewEndsWithStatusOne) {
  const int domain = 82;
  {
    // The working directory is gone before the tool starts: no file can be
    // created in it, whoever runs the test.
    TempDir dir;
    const std::string out = dir.path() + ".out";
    Child child({std::string(RNR_TOOL_PATH), "record", "-d", std::to_string(domain), "KeyedSeq",
                 "SomeTopic"},
                ChildOptions{
                    .cwd = dir.path(), .remove_cwd = true, .stdout_path = out, .stderr_path = out});
    EXPECT_EQ(child.wait(60s), 1);
    const std::string output = read_file(out);
    const size_t store = output.find("Database Cannot open database");
    const size_t recorder = output.find("Recorder Cannot create database");
    const size_t main_line = output.find("Main Cannot create recorder");
    EXPECT_NE(store, std::string::npos) << output;
    EXPECT_NE(recorder, std::string::npos) << output;
    EXPECT_NE(main_line, std::string::npos) << output;
    EXPECT_LT(store, recorder);
    EXPECT_LT(recorder, main_line);
    std::remove(out.c_str());
  }
  {
    // A file already has the generated name (another recorder started in the
    // same second): it is neither opened nor changed, and the recording goes
    // to the same name with "_2".
    TempDir dir;
    const std::string content = "an earlier recording";
    const time_t now = time(nullptr);
    for (int s = -1; s <= 15; ++s) {
      time_t t = now + s;
      struct tm local {};
      localtime_r(&t, &local);
      char name[64];
      strftime(name, sizeof name, "dovuve_%Y_%m_%d-%H_%M_%S.sqlite3", &local);
      std::ofstream(dir.path() + "/" + name) << content;
    }
    const size_t before = dir.files_matching("dovuve_", ".sqlite3").size();
    const std::string out = dir.path() + "/out.log";
    Child child({std::string(RNR_TOOL_PATH), "record", "-d", std::to_string(domain), "KeyedSeq",
                 "SomeTopic"},
                ChildOptions{.cwd = dir.path(), .stdout_path = out, .stderr_path = out});
    ASSERT_TRUE(wait_for_text(out, "Recorder Add Topic{", 20s)) << read_file(out);
    child.signal(SIGINT);
    EXPECT_EQ(child.wait(10s), 0);
    const std::string output = read_file(out);
    const auto after = dir.files_matching("dovuve_", ".sqlite3");
    EXPECT_EQ(after.size(), before + 1);
    size_t numbered = 0;
    for (const auto& f : after) {
      if (f.size() > 10 && f.compare(f.size() - 10, 10, "_2.sqlite3") == 0) {
        ++numbered;
        EXPECT_NE(output.find("Recorder Recording into " + f.substr(dir.path().size() + 1)),
                  std::string::npos)
            << output;
        EXPECT_TRUE(read_bag(f).integrity_ok) << f;
      } else {
        EXPECT_EQ(read_file(f), content) << f;
      }
    }
    EXPECT_EQ(numbered, 1u);
  }
}

namespace {

std::unique_ptr<Child> start_talker(int domain, const std::vector<std::string>& extra,
                                    const std::string& out) {
  return start_peer({RNR_TALKER_PATH}, domain, extra, out);
}

// Compares recorded rows with the samples sent, naming the first difference.
::testing::AssertionResult same_samples(const std::vector<std::vector<uint8_t>>& recorded,
                                        const std::vector<std::vector<uint8_t>>& sent) {
  for (size_t i = 0; i < std::min(recorded.size(), sent.size()); ++i) {
    if (recorded[i] != sent[i]) {
      std::ostringstream text;
      text << "sample " << i << " differs: recorded " << recorded[i].size() << " bytes, sent "
           << sent[i].size() << ":";
      for (size_t k = 0; k < std::max(recorded[i].size(), sent[i].size()); ++k) {
        const int r = k < recorded[i].size() ? recorded[i][k] : -1;
        const int w = k < sent[i].size() ? sent[i][k] : -1;
        if (r != w) {
          text << " [" << k << "] " << r << "/" << w;
        }
      }
      return ::testing::AssertionFailure() << text.str();
    }
  }
  if (recorded.size() != sent.size()) {
    return ::testing::AssertionFailure()
           << recorded.size() << " samples recorded, " << sent.size() << " sent";
  }
  return ::testing::AssertionSuccess();
}

}  // namespace

// A keyed (XCDR1) and a keyless appendable (XCDR2) topic of the talker, which
// waits until the recorder's readers matched: the bag holds both topics with
// their IDL and key flags, the talker's writer GUIDs, and every sample it
// wrote, byte for byte and in order; SIGTERM ends the run with everything
// saved, including the last partial batch.
TEST(RecordEndToEnd, TalkerKeyedAndKeylessTopicsRecordedExactly) {
  const int domain = 83;
  Recording rec(domain, "info",
                {"rnr_test::KeyedSample", "rec_keyed", "rnr_test::KeylessSample", "rec_keyless"});
  ASSERT_TRUE(wait_for_text(rec.out, "Recorder Add Topic{", 20s, 2)) << rec.output();

  const std::string talker_out = rec.dir.path() + "/talker.out";
  auto talker = start_talker(
      domain,
      {"--topic", "keyed:rec_keyed", "--topic", "keyless:rec_keyless", "--count", "300", "--rate",
       "0", "--wait-readers", "1", "--wait-timeout-ms", "60000", "--linger-ms", "200"},
      talker_out);
  ASSERT_EQ(talker->wait(120s), 0) << read_file(talker_out + ".err");
  EXPECT_EQ(rec.stop(SIGTERM), 0);

  const TalkerReport sent = parse_talker(read_file(talker_out));
  ASSERT_TRUE(sent.done);
  ASSERT_EQ(sent.samples.at("rec_keyed").size(), 300u);
  ASSERT_EQ(sent.samples.at("rec_keyless").size(), 300u);

  const auto bags = rec.bags();
  ASSERT_EQ(bags.size(), 1u);
  const Bag bag = read_bag(bags[0]);
  expect_well_formed(bag);
  EXPECT_EQ(bag.data.size(), 600u) << "256 + 256 in full batches, 88 at save";

  const TopicRow* keyed = topic_named(bag, "rec_keyed");
  const TopicRow* keyless = topic_named(bag, "rec_keyless");
  ASSERT_TRUE(keyed != nullptr && keyless != nullptr);
  EXPECT_EQ(keyed->type_name, "rnr_test::KeyedSample");
  EXPECT_EQ(keyed->is_with_key, 1);
  ASSERT_TRUE(keyed->metastring.has_value());
  EXPECT_NE(keyed->metastring->find("KeyedSample"), std::string::npos) << *keyed->metastring;
  EXPECT_NE(keyed->metastring->find("@key"), std::string::npos) << *keyed->metastring;
  EXPECT_EQ(keyless->type_name, "rnr_test::KeylessSample");
  EXPECT_EQ(keyless->is_with_key, 0);
  ASSERT_TRUE(keyless->metastring.has_value());
  EXPECT_NE(keyless->metastring->find("KeylessSample"), std::string::npos);

  EXPECT_EQ(std::set<std::string>(bag.writers.begin(), bag.writers.end()),
            (std::set<std::string>{sent.writer_of_topic.at("rec_keyed"),
                                   sent.writer_of_topic.at("rec_keyless")}));

  EXPECT_TRUE(same_samples(rows_of(bag, keyed->id), sent.samples.at("rec_keyed")));
  EXPECT_TRUE(same_samples(rows_of(bag, keyless->id), sent.samples.at("rec_keyless")));
}

// A transient-local writer that wrote its samples before the recording
// started: the recorder's reader takes the writer's durability and so
// records the history the writer kept, at least the last sample of each of
// the talker's five keys (id = i mod 5), in the order they were written.
TEST(RecordEndToEnd, TransientLocalHistoryWrittenBeforeTheRecordingIsRecorded) {
  const int domain = 84;
  TempDir talker_dir;
  const std::string talker_out = talker_dir.path() + "/talker.out";
  auto talker = start_talker(domain,
                             {"--topic", "keyed:rec_history", "--count", "40", "--rate", "0",
                              "--transient-local", "--linger-ms", "60000"},
                             talker_out);
  ASSERT_TRUE(wait_for_text(talker_out, "SAMPLE rec_history 39 ", 30s));

  Recording rec(domain, "info", {"rnr_test::KeyedSample", "rec_history"});
  ASSERT_TRUE(wait_for_text(rec.out, "Recorder Create DataReader{topic: rec_history", 60s))
      << rec.output();
  std::this_thread::sleep_for(2s);
  EXPECT_EQ(rec.stop(), 0);
  talker->signal(SIGKILL);

  const TalkerReport sent = parse_talker(read_file(talker_out));
  const auto bags = rec.bags();
  ASSERT_EQ(bags.size(), 1u);
  const Bag bag = read_bag(bags[0]);
  expect_well_formed(bag);
  const TopicRow* topic = topic_named(bag, "rec_history");
  ASSERT_NE(topic, nullptr);
  EXPECT_EQ(bag.writers, std::vector<std::string>{sent.writer_of_topic.at("rec_history")});
  const auto& all = sent.samples.at("rec_history");
  ASSERT_EQ(all.size(), 40u);
  const auto recorded = rows_of(bag, topic->id);
  ASSERT_GE(recorded.size(), 5u);
  ASSERT_LE(recorded.size(), all.size());
  const std::vector<std::vector<uint8_t>> kept(all.end() - static_cast<long>(recorded.size()),
                                               all.end());
  EXPECT_TRUE(same_samples(recorded, kept));
}

// Two writers of one topic with different QoS. The recorder matches each with
// a reader of its own reliability and durability and stores every sample
// once: each writer's samples are in the bag complete, in order, once. The
// writers differ in payload size, so their samples tell them apart.
struct MixedQosCase {
  const char* name;
  int domain;
  std::vector<std::string> first;   // talker options of the first writer
  std::vector<std::string> second;  // ... of the second
  int second_readers;               // recorder readers that match the second writer
  enum Start { first_then_second, first_before_recording, together } start;
};

void PrintTo(const MixedQosCase& c, std::ostream* os) {
  *os << c.name;
}

class RecordMixedQos : public ::testing::TestWithParam<MixedQosCase> {};

TEST_P(RecordMixedQos, EveryWriterRecordedCompleteAndOnce) {
  const MixedQosCase& c = GetParam();
  const std::string topic = std::string("rec_qos_") + c.name;
  std::vector<std::string> first = {"--topic", "keyed:" + topic, "--count", "30",          "--rate",
                                    "50",      "--payload",      "16",      "--linger-ms", "60000"};
  first.insert(first.end(), c.first.begin(), c.first.end());
  std::vector<std::string> second = {"--topic",
                                     "keyed:" + topic,
                                     "--count",
                                     "30",
                                     "--rate",
                                     "50",
                                     "--payload",
                                     "40",
                                     "--linger-ms",
                                     "300",
                                     "--wait-timeout-ms",
                                     "60000",
                                     "--wait-readers",
                                     std::to_string(c.second_readers)};
  second.insert(second.end(), c.second.begin(), c.second.end());
  TempDir talkers;
  const std::string first_out = talkers.path() + "/first.out";
  const std::string second_out = talkers.path() + "/second.out";
  std::unique_ptr<Child> first_talker;
  if (c.start == MixedQosCase::first_before_recording) {
    first_talker = start_talker(c.domain, first, first_out);
    ASSERT_TRUE(wait_for_text(first_out, "SAMPLE " + topic + " 29 ", 30s));
  } else {
    first.insert(first.end(), {"--wait-readers", "1", "--wait-timeout-ms", "60000"});
  }
  Recording rec(c.domain, "info", {"rnr_test::KeyedSample", topic});
  ASSERT_TRUE(wait_for_text(rec.out, "Recorder Add Topic{", 20s)) << rec.output();
  std::unique_ptr<Child> second_talker;
  if (c.start == MixedQosCase::together) {
    first_talker = start_talker(c.domain, first, first_out);
    second_talker = start_talker(c.domain, second, second_out);
  } else {
    if (c.start == MixedQosCase::first_then_second) {
      first_talker = start_talker(c.domain, first, first_out);
    }
    ASSERT_TRUE(wait_for_text(first_out, "SAMPLE " + topic + " 29 ", 60s)) << rec.output();
    second_talker = start_talker(c.domain, second, second_out);
  }
  EXPECT_EQ(second_talker->wait(90s), 0) << rec.output();
  ASSERT_TRUE(wait_for_text(first_out, "SAMPLE " + topic + " 29 ", 60s));
  std::this_thread::sleep_for(1s);
  EXPECT_EQ(rec.stop(), 0);
  first_talker->signal(SIGKILL);

  const std::string output = rec.output();
  EXPECT_EQ(count_occurrences(output, "Recorder Create DataReader{topic: " + topic), 2u) << output;
  const auto sent_first = parse_talker(read_file(first_out)).samples[topic];
  const auto sent_second = parse_talker(read_file(second_out)).samples[topic];
  ASSERT_EQ(sent_first.size(), 30u);
  ASSERT_EQ(sent_second.size(), 30u);
  const auto bags = rec.bags();
  ASSERT_EQ(bags.size(), 1u);
  const Bag bag = read_bag(bags[0]);
  expect_well_formed(bag);
  EXPECT_EQ(bag.writers.size(), 2u);
  const TopicRow* row = topic_named(bag, topic);
  ASSERT_NE(row, nullptr);
  const std::set<std::vector<uint8_t>, rnr::test::BytesLess> of_first(sent_first.begin(),
                                                                      sent_first.end());
  std::vector<std::vector<uint8_t>> got_first, got_second;
  for (auto& bytes : rows_of(bag, row->id)) {
    (of_first.count(bytes) != 0 ? got_first : got_second).push_back(bytes);
  }
  std::printf(
      "mixed QoS %s: first writer %zu sent, %zu recorded; second writer %zu sent, %zu "
      "recorded\n",
      c.name, sent_first.size(), got_first.size(), sent_second.size(), got_second.size());
  if (c.start == MixedQosCase::first_before_recording) {
    // The transient-local history: the last sample of each of the 5 keys.
    ASSERT_GE(got_first.size(), 5u);
    ASSERT_LE(got_first.size(), sent_first.size());
    EXPECT_TRUE(same_samples(
        got_first, {sent_first.end() - static_cast<long>(got_first.size()), sent_first.end()}));
  } else {
    EXPECT_TRUE(same_samples(got_first, sent_first));
  }
  EXPECT_TRUE(same_samples(got_second, sent_second));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RecordMixedQos,
    ::testing::Values(
        MixedQosCase{"reliable_then_best_effort",
                     160,
                     {},
                     {"--best-effort"},
                     1,
                     MixedQosCase::first_then_second},
        MixedQosCase{"best_effort_then_reliable",
                     161,
                     {"--best-effort"},
                     {},
                     2,
                     MixedQosCase::first_then_second},
        MixedQosCase{"transient_local_then_volatile",
                     162,
                     {"--transient-local"},
                     {},
                     1,
                     MixedQosCase::first_before_recording},
        MixedQosCase{"volatile_then_transient_local",
                     163,
                     {},
                     {"--transient-local"},
                     2,
                     MixedQosCase::first_then_second},
        MixedQosCase{"two_writers_at_once", 164, {"--best-effort"}, {}, 2, MixedQosCase::together}),
    [](const ::testing::TestParamInfo<MixedQosCase>& info) {
      return std::string(info.param.name);
    });

// Writers that announce no type information are recorded all the same: the
// replayer's raw writers (no type at all), and a Fast DDS application whose
// types carry no type object. The key flag comes from the writer's entity
// kind, the metastring stays empty until a writer that delivers the type
// comes, and at level verbose each sample is printed as one line of hex.
TEST(RecordForeignWriters, UntypedCycloneWritersRecordedAsRawBytes) {
  const int domain = 165;
  TempDir source;
  const std::string source_bag = source.path() + "/source.sqlite3";
  std::vector<std::vector<uint8_t>> samples;
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(source_bag.c_str(), &db), SQLITE_OK);
    std::string sql =
        "CREATE TABLE topics (_id INTEGER PRIMARY KEY, topic_name, type_name, metastring, "
        "is_with_key); CREATE TABLE writers (_id INTEGER PRIMARY KEY, guid);"
        "CREATE TABLE data (_id INTEGER PRIMARY KEY, topic_id, timestamp, serialized_data);"
        "INSERT INTO topics VALUES (1, 'rec_untyped_lead', 'RnrLead', '', 0);"
        "INSERT INTO topics VALUES (2, 'rec_untyped_keyed', 'RnrUntypedKeyed', '', 1);"
        "INSERT INTO topics VALUES (3, 'rec_untyped', 'rnr_test::KeylessSample', '', 0);"
        "INSERT INTO data VALUES (1, 1, 1000000000, X'0001000000000000');";
    // The lead-in sample gives discovery two seconds before the samples that count.
    for (int i = 0; i < 40; ++i) {
      char hex[64];
      std::snprintf(hex, sizeof hex, "0001000%d%08x%08x", i % 2, i % 3, 0xa0000000u + i);
      std::vector<uint8_t> bytes = from_hex(hex);
      samples.push_back(bytes);
      sql += "INSERT INTO data VALUES (" + std::to_string(i + 2) + ", " +
             std::to_string(2 + i % 2) + ", " + std::to_string(3000000000ll + i * 10000000ll) +
             ", X'" + hex + "');";
    }
    ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
  }
  Recording rec(domain, "verbose",
                {"RnrUntypedKeyed", "rec_untyped_keyed", "rnr_test::KeylessSample", "rec_untyped"});
  ASSERT_TRUE(wait_for_text(rec.out, "Recorder Add Topic{topic: rec_untyped,", 20s));
  Child replay({std::string(RNR_TOOL_PATH), "replay", "-d", std::to_string(domain), source_bag},
               ChildOptions{.stdout_path = source.path() + "/replay.out",
                            .stderr_path = source.path() + "/replay.out"});
  EXPECT_EQ(replay.wait(60s), 0) << read_file(source.path() + "/replay.out");
  std::this_thread::sleep_for(1s);
  std::string output = rec.output();
  EXPECT_NE(output.find("Cannot get typesupport of type(RnrUntypedKeyed)"), std::string::npos);
  for (const auto& bytes : samples) {
    std::string hex;
    char digits[3];
    for (uint8_t b : bytes) {
      std::snprintf(digits, sizeof digits, "%02x", b);
      hex += digits;
    }
    EXPECT_EQ(count_occurrences(output, "\n" + hex + "\n"), 1u) << hex;
  }
  // A typed writer of the keyless topic brings the type: its IDL fills the
  // metastring.
  auto talker = start_talker(domain,
                             {"--topic", "keyless:rec_untyped", "--count", "3", "--wait-readers",
                              "1", "--linger-ms", "300"},
                             source.path() + "/talker.out");
  EXPECT_EQ(talker->wait(60s), 0);
  EXPECT_EQ(rec.stop(), 0);

  const auto bags = rec.bags();
  ASSERT_EQ(bags.size(), 1u);
  const Bag bag = read_bag(bags[0]);
  expect_well_formed(bag);
  const TopicRow* keyed = topic_named(bag, "rec_untyped_keyed");
  const TopicRow* keyless = topic_named(bag, "rec_untyped");
  ASSERT_NE(keyed, nullptr);
  ASSERT_NE(keyless, nullptr);
  EXPECT_EQ(keyed->metastring, std::optional<std::string>(""));
  EXPECT_EQ(keyed->is_with_key, 1);
  EXPECT_EQ(keyless->is_with_key, 0);
  ASSERT_TRUE(keyless->metastring.has_value());
  EXPECT_NE(keyless->metastring->find("KeylessSample"), std::string::npos);
  std::vector<std::vector<uint8_t>> want_keyed, want_keyless;
  for (size_t i = 0; i < samples.size(); ++i) {
    (i % 2 == 0 ? want_keyed : want_keyless).push_back(samples[i]);
  }
  auto got_keyless = rows_of(bag, keyless->id);
  ASSERT_EQ(got_keyless.size(), want_keyless.size() + 3);
  got_keyless.resize(want_keyless.size());
  EXPECT_TRUE(same_samples(rows_of(bag, keyed->id), want_keyed));
  EXPECT_TRUE(same_samples(got_keyless, want_keyless));
}

#ifdef RNR_FASTDDS_PEER_PATH
// A Fast DDS 2.x talker's keyed and keyless topics are recorded byte for byte
// with their key flags and empty metastrings; the bag replayed to a Fast DDS
// listener arrives complete and byte for byte.
TEST(RecordForeignWriters, FastDdsTopicsRecordedAndReplayedToFastDds) {
  const int domain = 175;
  const int replay_domain = 176;
  Recording rec(domain, "info",
                {"fastpeer::KeylessSample", "fast_lead", "fastpeer::KeyedSample", "fast_keyed",
                 "fastpeer::KeylessSample", "fast_keyless"});
  ASSERT_TRUE(wait_for_text(rec.out, "Recorder Add Topic{topic: fast_keyless", 20s));
  const std::string talk_out = rec.dir.path() + "/talk.out";
  // One sample on the lead-in topic, then two seconds for discovery on
  // replay before the samples that count.
  auto talker = start_peer(
      {RNR_FASTDDS_PEER_PATH, "talk"}, domain,
      {"--topic", "keyless:fast_lead", "--topic", "keyed:fast_keyed", "--topic",
       "keyless:fast_keyless", "--count", "50", "--wait-readers", "1", "--lead-in-ms", "2000"},
      talk_out);
  EXPECT_EQ(talker->wait(90s), 0) << rec.output();
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(rec.stop(), 0);
  const TalkerReport sent = parse_talker(read_file(talk_out));
  ASSERT_TRUE(sent.done);
  const auto bags = rec.bags();
  ASSERT_EQ(bags.size(), 1u);
  const Bag bag = read_bag(bags[0]);
  expect_well_formed(bag);
  const TopicRow* keyed = topic_named(bag, "fast_keyed");
  const TopicRow* keyless = topic_named(bag, "fast_keyless");
  ASSERT_NE(keyed, nullptr);
  ASSERT_NE(keyless, nullptr);
  EXPECT_EQ(keyed->is_with_key, 1);
  EXPECT_EQ(keyless->is_with_key, 0);
  EXPECT_EQ(keyed->metastring, std::optional<std::string>(""));
  EXPECT_EQ(keyless->metastring, std::optional<std::string>(""));
  EXPECT_TRUE(same_samples(rows_of(bag, keyed->id), sent.samples.at("fast_keyed")));
  EXPECT_TRUE(same_samples(rows_of(bag, keyless->id), sent.samples.at("fast_keyless")));

  const std::string listen_out = rec.dir.path() + "/listen.out";
  auto listener = start_peer({RNR_FASTDDS_PEER_PATH, "listen"}, replay_domain,
                             {"--topic", "keyed:fast_keyed", "--topic", "keyless:fast_keyless",
                              "--count", "100", "--timeout-ms", "60000"},
                             listen_out);
  ASSERT_TRUE(wait_for_text(listen_out, "READY", 30s));
  Child replay({std::string(RNR_TOOL_PATH), "replay", "-d", std::to_string(replay_domain), bags[0]},
               ChildOptions{.stdout_path = rec.dir.path() + "/replay.out",
                            .stderr_path = rec.dir.path() + "/replay.out"});
  EXPECT_EQ(replay.wait(90s), 0);
  EXPECT_EQ(listener->wait(90s), 0) << read_file(listen_out);
  std::map<std::string, std::vector<std::vector<uint8_t>>> received;
  std::istringstream lines(read_file(listen_out));
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::string kind, topic, hex;
    if (words >> kind >> topic >> hex && kind == "SAMPLE") {
      received[topic].push_back(from_hex(hex));
    }
  }
  std::printf(
      "Fast DDS round trip: sent %zu + %zu, recorded %zu + %zu, received on replay %zu + "
      "%zu (keyed + keyless)\n",
      sent.samples.at("fast_keyed").size(), sent.samples.at("fast_keyless").size(),
      rows_of(bag, keyed->id).size(), rows_of(bag, keyless->id).size(),
      received["fast_keyed"].size(), received["fast_keyless"].size());
  // Fast DDS may hand a keyed topic's samples over instance by instance, so
  // the keyed samples are compared as a whole, each one byte for byte.
  auto sorted = [](std::vector<std::vector<uint8_t>> samples) {
    std::sort(samples.begin(), samples.end(), rnr::test::BytesLess{});
    return samples;
  };
  EXPECT_TRUE(same_samples(sorted(received["fast_keyed"]), sorted(sent.samples.at("fast_keyed"))));
  EXPECT_TRUE(same_samples(received["fast_keyless"], sent.samples.at("fast_keyless")));
}
#endif

// A recorder killed while a batch commits leaves its bag with a hot journal.
// Replay rolls the journal back and plays every committed row, with status 0.
TEST(RecordEndToEnd, BagOfARecorderKilledDuringACommitReplays) {
  const int domain = 169;
  std::unique_ptr<Recording> rec;
  std::string bag;
  std::unique_ptr<Child> perf;
  // The journal lives only while a batch commits: the kill may miss it.
  for (int attempt = 0; attempt < 10 && bag.empty(); ++attempt) {
    rec = std::make_unique<Recording>(domain, "info",
                                      std::vector<std::string>{"KeyedSeq", "DDSPerfRDataKS"});
    ASSERT_TRUE(wait_for_text(rec->out, "Recorder Add Topic{", 20s)) << rec->output();
    perf = start_ddsperf(domain, "20000Hz", 20, rec->dir.path() + "/ddsperf.log");
    ASSERT_TRUE(wait_for_text(rec->out, "Recorder Create DataReader{", 30s)) << rec->output();
    std::this_thread::sleep_for(1s);  // batches of samples are committing by now
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    std::string journal;
    while (std::chrono::steady_clock::now() < deadline) {
      const auto bags = rec->bags();
      if (!bags.empty() && access((bags[0] + "-journal").c_str(), F_OK) == 0) {
        rec->recorder->signal(SIGKILL);
        journal = bags[0] + "-journal";
        break;
      }
    }
    rec->recorder->wait(10s);
    perf->signal(SIGKILL);
    perf->wait(10s);
    if (!journal.empty() && access(journal.c_str(), F_OK) == 0) {
      bag = rec->bags()[0];
    }
  }
  ASSERT_FALSE(bag.empty()) << "no kill landed inside a commit";

  // What the bag holds once the journal is rolled back, read from a copy.
  const std::string copy = rec->dir.path() + "/copy.sqlite3";
  std::ofstream(copy, std::ios::binary) << std::ifstream(bag, std::ios::binary).rdbuf();
  std::ofstream(copy + "-journal", std::ios::binary)
      << std::ifstream(bag + "-journal", std::ios::binary).rdbuf();
  size_t committed = 0;
  {
    sqlite3* db = nullptr;
    sqlite3_stmt* stmt = nullptr;
    ASSERT_EQ(sqlite3_open(copy.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT COUNT(*) FROM data", -1, &stmt, nullptr), SQLITE_OK)
        << sqlite3_errmsg(db);
    ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
    committed = static_cast<size_t>(sqlite3_column_int64(stmt, 0));
    sqlite3_finalize(stmt);
    sqlite3_close(db);
  }
  ASSERT_GT(committed, 0u);

  const std::string replay_out = rec->dir.path() + "/replay.out";
  Child replay(
      {std::string(RNR_TOOL_PATH), "replay", "-d", std::to_string(domain), "-l", "debug", bag},
      ChildOptions{.stdout_path = replay_out, .stderr_path = replay_out});
  EXPECT_EQ(replay.wait(120s), 0) << read_file(replay_out).substr(0, 2000);
  const std::string output = read_file(replay_out);
  std::printf("killed during a commit: %zu committed rows, %zu replayed\n", committed,
              count_occurrences(output, "Replayer Write Data(_id="));
  EXPECT_EQ(count_occurrences(output, "Replayer Write Data(_id="), committed);
  EXPECT_EQ(count_occurrences(output, "Replayer Cannot"), 0u);
  EXPECT_NE(output.find("Replay finished"), std::string::npos);
}

// A literal pair whose topic has writers of another type, and a pattern that
// brings in nothing: each is said once, early, and the run still ends with
// status 0 (nothing was lost).
TEST(RecordEndToEnd, WrongTypeAndIdlePatternAreEachSaidOnce) {
  const int domain = 71;
  Recording rec(domain, "info",
                {"rnr_test::KeyedSampel", "rec_wrong_type", "*", "rec_nothing_here_*"});
  ASSERT_TRUE(wait_for_text(rec.out, "Recorder Add Pattern{", 20s)) << rec.output();
  TempDir talker_dir;
  auto talker =
      start_talker(domain, {"--topic", "keyed:rec_wrong_type", "--count", "200", "--rate", "20"},
                   talker_dir.path() + "/talker.out");
  const auto started = std::chrono::steady_clock::now();
  EXPECT_TRUE(wait_for_text(rec.out,
                            "Recorder Topic rec_wrong_type has writers of type "
                            "rnr_test::KeyedSample, not rnr_test::KeyedSampel",
                            10s))
      << rec.output();
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
  EXPECT_TRUE(wait_for_text(
      rec.out,
      "Recorder Pattern{topic: rec_nothing_here_*, type: *} has matched no topic after 10 s", 20s))
      << rec.output();
  std::this_thread::sleep_for(1s);
  EXPECT_EQ(rec.stop(), 0);
  talker->signal(SIGKILL);
  const std::string output = rec.output();
  EXPECT_EQ(count_occurrences(output, "has writers of type"), 1u) << output;
  EXPECT_EQ(count_occurrences(output, "has matched no topic"), 1u) << output;
}
