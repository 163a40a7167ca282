// Late joiners: a subscriber that joins the replay of a transient-local
// KEEP_LAST 10 writer after its samples were written gets what a subscriber
// that joined the original writer late got, for a Cyclone DDS writer (whose
// durability service says it) and a Fast DDS writer (which announces depth 1
// whatever its history: the recorder counts what it delivers on matching).
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "bag_files.h"
#include "child_process.h"
#include "files.h"

using namespace std::chrono_literals;
using namespace rnr::test;

namespace {

struct Peer {
  std::string name;
  int domain;
  std::string type_name;
  std::vector<std::string> talk;    // writes 25 samples, then lingers
  std::vector<std::string> listen;  // a transient-local reader; topic and domain appended
  std::string history_source;       // what the bag's QoS row says
};

// The serialized bytes of the samples a late joiner printed, sorted: the
// last field of each SAMPLE line of the Fast DDS peer, the fifth of the
// Cyclone DDS listener.
std::vector<std::string> late_joiner_samples(const Peer& peer, const std::string& topic) {
  std::vector<std::string> argv = peer.listen;
  argv.insert(argv.end(), {"--domain", std::to_string(peer.domain), "--topic", "keyless:" + topic,
                           "--transient-local", "--timeout-ms", "2000"});
  const ChildResult heard = run_program(argv);
  std::vector<std::string> samples;
  std::istringstream lines(heard.out);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("SAMPLE ", 0) != 0) {
      continue;
    }
    std::istringstream fields(line);
    std::vector<std::string> f;
    for (std::string w; fields >> w;) {
      f.push_back(w);
    }
    const size_t at = peer.name == "fastdds" ? 2 : 4;
    if (f.size() > at) {
      samples.push_back(f[at]);
    }
  }
  std::sort(samples.begin(), samples.end());
  return samples;
}

TEST(ReplayLateJoiner, GetsWhatALateJoinerOfTheOriginalWriterGot) {
  std::vector<Peer> peers = {{"cyclone",
                              94,
                              "rnr_test::KeylessSample",
                              {RNR_TALKER, "--count", "25", "--rate", "100", "--transient-local",
                               "--durability-depth", "10", "--linger-ms", "9000"},
                              {RNR_LISTENER},
                              "discovery"}};
#ifdef RNR_FASTDDS_PEER
  peers.push_back({"fastdds",
                   95,
                   "fastpeer::KeylessSample",
                   {RNR_FASTDDS_PEER, "talk", "--count", "25", "--transient-local", "--depth", "10",
                    "--linger-ms", "9000"},
                   {RNR_FASTDDS_PEER, "listen"},
                   "observed"});
#endif
  for (const Peer& peer : peers) {
    SCOPED_TRACE(peer.name);
    TempDir dir;
    const std::string topic = "rnr_late_" + peer.name;
    const std::string bags = dir.file("bags");
    std::filesystem::create_directory(bags);
    std::vector<std::string> talk = peer.talk;
    talk.insert(talk.end(),
                {"--domain", std::to_string(peer.domain), "--topic", "keyless:" + topic});
    Child talker(talk);
    ASSERT_TRUE(wait_until(
        [&] {
          const std::vector<std::string> lines = talker.out_lines();
          return std::count_if(lines.begin(), lines.end(), [](const std::string& l) {
                   return l.rfind("SAMPLE ", 0) == 0;
                 }) == 25;
        },
        10s))
        << talker.err();
    // The recorder joins once every sample was written: it gets the history.
    {
      Child recorder(
          {RNR_EXECUTABLE, "record", "-d", std::to_string(peer.domain), peer.type_name, topic},
          {.cwd = bags});
      std::this_thread::sleep_for(2500ms);
      recorder.signal(SIGINT);
      ASSERT_EQ(recorder.wait(20s), 0) << recorder.out();
    }
    const std::vector<std::string> original = late_joiner_samples(peer, topic);
    EXPECT_EQ(original.size(), 10u);
    talker.signal(SIGTERM);

    std::string bag;
    for (const auto& entry : std::filesystem::directory_iterator(bags)) {
      bag = entry.path().string();
    }
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(bag.c_str(), &db), SQLITE_OK);
    EXPECT_EQ(query_int(db,
                        "SELECT count(*) FROM writer_qos WHERE qos LIKE '%history=keep_last\n"
                        "history.depth=10\nhistory.source=" +
                            peer.history_source + "\n%'"),
              1);
    // A sample on another topic 6 s later keeps the replay going while the
    // late joiner comes.
    ASSERT_TRUE(exec_sql(db,
                         "INSERT INTO topics (topic_name, type_name, metastring, is_with_key) "
                         "VALUES ('rnr_late_tail', 'RnrTail', '', 0); INSERT INTO data (topic_id, "
                         "timestamp, serialized_data) SELECT (SELECT max(_id) FROM topics), "
                         "max(timestamp) + 6000000000, X'0001000001000000' FROM data"));
    sqlite3_close(db);

    Child replay({RNR_EXECUTABLE, "replay", "-d", std::to_string(peer.domain), bag});
    // One second of start-up and two of waiting for a reader of the tail.
    std::this_thread::sleep_for(4s);
    const std::vector<std::string> replayed = late_joiner_samples(peer, topic);
    EXPECT_EQ(replayed, original);
    EXPECT_EQ(replay.wait(20s), 0) << replay.out();
  }
}

}  // namespace
