// `quorvin-rnr record` against real publishers in other processes. Every test
// case uses its own DDS domain; all traffic stays on loopback (CYCLONEDDS_URI
// is inherited by the children).
#include <gtest/gtest.h>
#include <signal.h>

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

#include "e2e_support.h"

using namespace rnr_test;
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
    std::vector<std::string> argv = {tool_path(), "record", "-d", std::to_string(domain),
                                     "-l",        level};
    argv.insert(argv.end(), pairs.begin(), pairs.end());
    recorder = std::make_unique<Child>(argv, SpawnOptions{dir.path(), false, out, err});
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
  std::vector<std::string> argv = {ddsperf_path(),
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
  return std::make_unique<Child>(argv, SpawnOptions{"", false, log, log});
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
    Child child({tool_path(), "record", "-d", std::to_string(domain), "KeyedSeq", "SomeTopic"},
                SpawnOptions{dir.path(), true, out, out});
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
    // A file already has the generated name: it is neither opened as a bag
    // nor changed.
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
    Child child({tool_path(), "record", "-d", std::to_string(domain), "KeyedSeq", "SomeTopic"},
                SpawnOptions{dir.path(), false, out, out});
    EXPECT_EQ(child.wait(10s), 1);
    const std::string output = read_file(out);
    EXPECT_NE(output.find("Database Cannot open database"), std::string::npos) << output;
    EXPECT_NE(output.find("Recorder Cannot create database"), std::string::npos) << output;
    const auto after = dir.files_matching("dovuve_", ".sqlite3");
    EXPECT_EQ(after.size(), before);
    for (const auto& f : after) {
      EXPECT_EQ(read_file(f), content) << f;
    }
  }
}

namespace {

// What the test talker reported: its writers and every sample it wrote.
struct TalkerReport {
  std::map<std::string, std::string> writer_of_topic;                // topic -> GUID text
  std::map<std::string, std::vector<std::vector<uint8_t>>> samples;  // topic -> bytes, in order
  bool done = false;
};

std::vector<uint8_t> from_hex(const std::string& hex) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

TalkerReport parse_talker(const std::string& output) {
  TalkerReport report;
  std::istringstream in(output);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string kind, topic;
    words >> kind;
    if (kind == "WRITER") {
      std::string g[4];
      words >> topic >> g[0] >> g[1] >> g[2] >> g[3];
      report.writer_of_topic[topic] = g[0] + " " + g[1] + " " + g[2] + " " + g[3];
    } else if (kind == "SAMPLE") {
      std::string index, g[4], hex;
      words >> topic >> index >> g[0] >> g[1] >> g[2] >> g[3] >> hex;
      report.samples[topic].push_back(from_hex(hex));
    } else if (kind == "DONE") {
      report.done = true;
    }
  }
  return report;
}

std::unique_ptr<Child> start_talker(int domain, const std::vector<std::string>& extra,
                                    const std::string& out) {
  std::vector<std::string> argv = {RNR_TALKER_PATH, "--domain", std::to_string(domain)};
  argv.insert(argv.end(), extra.begin(), extra.end());
  return std::make_unique<Child>(argv, SpawnOptions{"", false, out, out + ".err"});
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

const TopicRow* topic_named(const Bag& bag, const std::string& name) {
  for (const auto& t : bag.topics) {
    if (t.topic_name == name) {
      return &t;
    }
  }
  return nullptr;
}

std::vector<std::vector<uint8_t>> rows_of(const Bag& bag, int64_t topic_id) {
  std::vector<std::vector<uint8_t>> out;
  for (const auto& row : bag.data) {
    if (row.topic_id == topic_id) {
      out.push_back(row.bytes);
    }
  }
  return out;
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
// records the history the writer keeps, the last sample of each of the
// talker's five keys (id = i mod 5), in the order they were written.
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
  const std::vector<std::vector<uint8_t>> kept(all.end() - 5, all.end());
  EXPECT_TRUE(same_samples(rows_of(bag, topic->id), kept));
}

// The topic's reader took the first writer's QoS (reliable). A best-effort
// writer that appears later cannot be matched by it: that is reported once,
// by a warning naming the writer, and the first writer's samples are still
// all recorded.
TEST(RecordEndToEnd, LaterWriterTheReaderCannotMatchIsReported) {
  const int domain = 85;
  Recording rec(domain, "info", {"rnr_test::KeyedSample", "rec_mixed"});
  ASSERT_TRUE(wait_for_text(rec.out, "Recorder Add Topic{", 20s)) << rec.output();

  const std::string first_out = rec.dir.path() + "/first.out";
  auto first =
      start_talker(domain,
                   {"--topic", "keyed:rec_mixed", "--count", "20", "--rate", "0", "--wait-readers",
                    "1", "--wait-timeout-ms", "60000", "--linger-ms", "60000"},
                   first_out);
  ASSERT_TRUE(wait_for_text(first_out, "SAMPLE rec_mixed 19 ", 60s)) << rec.output();

  const std::string second_out = rec.dir.path() + "/second.out";
  auto second = start_talker(domain,
                             {"--topic", "keyed:rec_mixed", "--count", "5", "--rate", "20",
                              "--best-effort", "--linger-ms", "300"},
                             second_out);
  EXPECT_EQ(second->wait(60s), 0);
  const TalkerReport late = parse_talker(read_file(second_out));
  ASSERT_EQ(late.writer_of_topic.count("rec_mixed"), 1u);
  EXPECT_TRUE(wait_for_text(rec.out,
                            "Recorder rec_mixed: DataWriter{guid: " +
                                late.writer_of_topic.at("rec_mixed") + "} offers best-effort",
                            20s))
      << rec.output();
  EXPECT_EQ(rec.stop(), 0);
  first->signal(SIGKILL);

  const std::string output = rec.output();
  EXPECT_EQ(count_occurrences(output, "cannot match it"), 1u) << output;
  const TalkerReport sent = parse_talker(read_file(first_out));
  const auto bags = rec.bags();
  ASSERT_EQ(bags.size(), 1u);
  const Bag bag = read_bag(bags[0]);
  expect_well_formed(bag);
  const TopicRow* topic = topic_named(bag, "rec_mixed");
  ASSERT_NE(topic, nullptr);
  EXPECT_EQ(bag.writers, std::vector<std::string>{sent.writer_of_topic.at("rec_mixed")});
  EXPECT_TRUE(same_samples(rows_of(bag, topic->id), sent.samples.at("rec_mixed")));
}
