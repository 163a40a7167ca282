// Recording by pattern: the glob matcher and the pair rules on their own, and
// a recorder given pattern and exclusion pairs against talkers in other
// processes and a writer in this one. Each DDS case has its own domain; all
// traffic stays on loopback (CYCLONEDDS_URI is inherited by the children).
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bag_files.h"
#include "child_process.h"
#include "files.h"
#include "log/logger.h"
#include "middleware/dds_api.h"
#include "recorder/recorder.h"
#include "recorder/topic_patterns.h"

using namespace rnr::test;
using namespace rnr::recorder::internal;
using namespace std::chrono_literals;

namespace {

constexpr int kSamples = 20;

// Talker writers of the given "kind:name" topics, kSamples each; with
// `wait_for_reader` each writer first waits for a matching reader.
std::unique_ptr<Child> start_talker(int domain, const std::vector<std::string>& topics,
                                    bool wait_for_reader, const std::string& out) {
  std::vector<std::string> argv = {RNR_TALKER_PATH, "--domain", std::to_string(domain), "--count",
                                   std::to_string(kSamples)};
  for (const auto& t : topics) {
    argv.insert(argv.end(), {"--topic", t});
  }
  if (wait_for_reader) {
    argv.insert(argv.end(), {"--rate", "0", "--wait-readers", "1", "--wait-timeout-ms", "60000"});
  } else {
    argv.insert(argv.end(), {"--rate", "10"});  // alive for two seconds
  }
  return std::make_unique<Child>(argv,
                                 ChildOptions{.stdout_path = out, .stderr_path = out + ".err"});
}

// Rows stored per topic name.
std::map<std::string, size_t> rows_per_topic(const Bag& bag) {
  std::map<int64_t, std::string> names;
  std::map<std::string, size_t> rows;
  for (const auto& t : bag.topics) {
    names[t.id] = t.topic_name;
    rows[t.topic_name] = 0;
  }
  for (const auto& d : bag.data) {
    rows[names[d.topic_id]]++;
  }
  return rows;
}

// A recorder in this process on `domain`, given (type, topic) pairs.
struct PatternRecording {
  TempDir dir;
  std::string bag_path = dir.path() + "/pattern.sqlite3";
  rnr_recorder* recorder = nullptr;

  PatternRecording(int domain, const std::vector<std::pair<std::string, std::string>>& pairs) {
    rnr_logger_init(RNR_LOG_WARN);
    recorder = rnr_recorder_create(domain, bag_path.c_str());
    for (const auto& [type, topic] : pairs) {
      EXPECT_TRUE(rnr_recorder_add_topic(recorder, topic.c_str(), type.c_str()));
    }
  }
  Bag finish() {
    rnr_recorder_stop_record(recorder);
    rnr_recorder_save_record(recorder);
    rnr_recorder_destroy(recorder);
    recorder = nullptr;
    return read_bag(bag_path);
  }
  ~PatternRecording() { rnr_recorder_destroy(recorder); }
};

}  // namespace

TEST(TopicPatterns, GlobMatchesTheWholeName) {
  struct Case {
    const char* pattern;
    const char* name;
    bool match;
  };
  const Case cases[] = {
      {"*", "rt/camera/front", true},
      {"rt/camera/*", "rt/camera/front/raw", true},
      {"rt/camera/*", "rt/camera", false},
      {"*camera", "rt/camera/front", false},
      {"a*b*c", "axxbyyc", true},
      {"a*b*c", "axxbyycz", false},
      {"a*bc", "abcbc", true},
      {"??", "ab", true},
      {"??", "abc", false},
      {"sensor::*", "sensor::Imu", true},
      {"sensor::*", "xsensor::Imu", false},
      {"[a-c]x", "bx", true},
      {"[a-c]x", "dx", false},
      {"[!a-c]x", "dx", true},
      {"[^a-c]x", "ax", false},
      {"[]a]", "]", true},
      {"[a-]", "-", true},
      {"[ab", "[ab", true},
      {"", "", true},
      {"", "a", false},
      {"*?", "", false},
      {"*a*a*a*a*b", "aaaaaaaaaaaaaaaaaaaa", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(glob_match(c.pattern, c.name), c.match) << c.pattern << " vs " << c.name;
  }
}

TEST(TopicPatterns, ExclusionsRemoveWhatTheyMatchFromEveryPattern) {
  EXPECT_FALSE(is_pattern_pair("sensor::Imu", "rt/imu"));
  EXPECT_TRUE(is_pattern_pair("sensor::Imu", "rt/*"));
  EXPECT_TRUE(is_pattern_pair("sensor::[IJ]mu", "rt/imu"));
  EXPECT_TRUE(is_pattern_pair("sensor::Imu", "!rt/imu"));

  TopicPatterns patterns;
  EXPECT_FALSE(patterns.add("sensor::Imu", "rt/imu")) << "a literal pair is no pattern";
  EXPECT_TRUE(patterns.empty());
  EXPECT_TRUE(patterns.add("*", "!rt/camera/*"));
  EXPECT_TRUE(patterns.empty()) << "an exclusion alone brings nothing in";
  EXPECT_FALSE(patterns.matches("sensor::Imu", "rt/imu"));
  ASSERT_TRUE(patterns.add("*", "*"));
  ASSERT_TRUE(patterns.add("!sensor::Raw*", "*"));
  EXPECT_TRUE(patterns.matches("sensor::Imu", "rt/imu"));
  EXPECT_FALSE(patterns.matches("sensor::Image", "rt/camera/front"));
  EXPECT_FALSE(patterns.matches("sensor::RawScan", "rt/lidar"));
  EXPECT_FALSE(patterns.matches("sensor::Imu", "")) << "a name too long to report";

  EXPECT_TRUE(is_application_topic("rt/imu", 0x00000102u));
  EXPECT_FALSE(is_application_topic("DCPSPublication", 0x00000102u));
  EXPECT_FALSE(is_application_topic("__internal", 0x00000102u));
  EXPECT_FALSE(is_application_topic("quorvin_rnr/status", 0x00000102u)) << "recorders' own";
  EXPECT_FALSE(is_application_topic("rt/imu", 0x000003c2u)) << "built-in writer";
  EXPECT_FALSE(is_application_topic("rt/imu", 0x00000142u)) << "vendor-specific writer";
}

// '*' '*' with an exclusion and a literal pair: the literal topic has its row
// from the start, the pattern brings in the other talker topics as their
// writers come, each with every sample; the excluded topic and the writer of
// this process leave no row.
TEST(RecordByPattern, EverythingButTheExcludedTopicsAndThisProcess) {
  const int domain = 120;
  PatternRecording rec(domain,
                       {{"*", "*"}, {"*", "!pat/cam/*"}, {"rnr_test::KeyedSample", "pat_literal"}});
  ASSERT_NE(rec.recorder, nullptr);
  ASSERT_TRUE(rnr_recorder_start_record(rec.recorder));
  EXPECT_EQ(rows_per_topic(read_bag(rec.bag_path)),
            (std::map<std::string, size_t>{{"pat_literal", 0}}));

  // A writer of this process's own.
  auto* factory = dds_DomainParticipantFactory_get_instance();
  dds_DomainParticipant* local = dds_DomainParticipantFactory_create_participant(
      factory, domain, &dds_PARTICIPANT_QOS_DEFAULT, nullptr, 0);
  ASSERT_EQ(dds_DomainParticipant_enable(local), dds_RETCODE_OK);
  dds_TypeSupport* raw = dds_TypeSupport_raw_create();
  dds_TypeSupport_register_type(raw, local, "LocalType");
  dds_TypeSupport_delete(raw);
  dds_Topic* topic =
      dds_DomainParticipant_create_topic(local, "pat/local", "LocalType", nullptr, nullptr, 0);
  dds_Publisher* pub = dds_DomainParticipant_create_publisher(local, nullptr, nullptr, 0);
  dds_DataWriter* writer = dds_Publisher_create_datawriter(pub, topic, nullptr, nullptr, 0);
  ASSERT_EQ(dds_DataWriter_enable(writer), dds_RETCODE_OK);

  const std::string excluded_out = rec.dir.path() + "/excluded.out";
  const std::string talker_out = rec.dir.path() + "/talker.out";
  auto excluded = start_talker(domain, {"keyed:pat/cam/front"}, false, excluded_out);
  auto talker =
      start_talker(domain, {"keyed:pat/a", "keyless:pat/b", "keyed:pat_literal"}, true, talker_out);
  const std::vector<uint8_t> sample = xcdr1_sample(7);
  for (int i = 0; i < 20; ++i) {
    dds_DataWriter_raw_write(writer, sample.data(), sample.size());
    std::this_thread::sleep_for(50ms);
  }
  ASSERT_EQ(talker->wait(120s), 0) << read_file(talker_out + ".err");
  ASSERT_EQ(excluded->wait(60s), 0) << read_file(excluded_out + ".err");
  const Bag bag = rec.finish();
  dds_DomainParticipantFactory_delete_participant(factory, local);

  EXPECT_EQ(rows_per_topic(bag),
            (std::map<std::string, size_t>{
                {"pat_literal", kSamples}, {"pat/a", kSamples}, {"pat/b", kSamples}}));
  ASSERT_EQ(bag.topics.size(), 3u);
  EXPECT_EQ(bag.topics[0].topic_name, "pat_literal");
  for (const auto& t : bag.topics) {
    EXPECT_NE(t.metastring.value_or("").find(t.type_name.substr(10)), std::string::npos)
        << t.topic_name << ": " << t.metastring.value_or("(null)");
  }
  EXPECT_EQ(bag.writers.size(), 3u) << "the talker's writers only";
}

// A type pattern takes one type family; writers announced before the start
// (kept until the patterns are complete) are recorded too.
TEST(RecordByPattern, TypePatternTakesItsTypesAlsoFromWritersSeenBeforeStart) {
  const int domain = 121;
  TempDir dir;
  const std::string talker_out = dir.path() + "/talker.out";
  const std::string other_out = dir.path() + "/other.out";
  auto talker = start_talker(domain, {"keyed:tp/k1", "keyed:tp/k2"}, true, talker_out);
  auto other = start_talker(domain, {"keyless:tp/l"}, false, other_out);

  PatternRecording rec(domain, {{"rnr_test::Keyed*", "*"}, {"[xyz]*", "never"}});
  ASSERT_NE(rec.recorder, nullptr);
  std::this_thread::sleep_for(1500ms);  // the writers are discovered meanwhile
  ASSERT_TRUE(rnr_recorder_start_record(rec.recorder));
  ASSERT_EQ(talker->wait(120s), 0) << read_file(talker_out + ".err");
  ASSERT_EQ(other->wait(60s), 0) << read_file(other_out + ".err");
  const Bag bag = rec.finish();

  EXPECT_EQ(rows_per_topic(bag),
            (std::map<std::string, size_t>{{"tp/k1", kSamples}, {"tp/k2", kSamples}}));
  for (const auto& t : bag.topics) {
    EXPECT_EQ(t.is_with_key, 1) << t.topic_name;
  }
}
