// `quorvin-rnr-bag play` to the typed test listener: interval, topic choice,
// remapped names and rate; loop; the keys through a pseudo-terminal, with
// the terminal restored; latched samples before the start, per instance.
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <chrono>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "bag/writer_qos.h"
#include "bag_files.h"
#include "child_process.h"
#include "files.h"
#include "listener_output.h"
#include "log_capture.h"
#include "types/qos_policies.h"
#include "peer_common.h"
#include "replayer/replayer.h"

using namespace std::chrono_literals;
using namespace rnr::test;
using rnr::peers::Kind;

namespace {

constexpr size_t kPayload = 16;

std::string description(uint64_t i) {
  return rnr::peers::expected_description(Kind::keyless, i, kPayload);
}

class PlayTest : public ::testing::Test {
 protected:
  // A bag of keyless topics; each sample is (topic, ms after kBase, index i).
  struct Row {
    std::string topic;
    uint64_t ms;
    uint64_t i;
  };
  std::string make_bag(const std::vector<std::string>& topics, const std::vector<Row>& rows) {
    const std::string bag = dir.file("play.sqlite3");
    BagWriter writer(bag);
    std::map<std::string, int> ids;
    for (const auto& t : topics) {
      ids[t] = writer.add_topic(t, rnr::peers::type_name(Kind::keyless), 0);
    }
    writer.begin();
    for (const Row& r : rows) {
      writer.add_sample(ids[r.topic], kBase + r.ms * kMs,
                        rnr::peers::expected_bytes(Kind::keyless, r.i, kPayload, true));
    }
    writer.commit();
    return bag;
  }

  // Starts the listener on keyless topics ("keyed:NAME" for a keyed one) and
  // waits until its readers exist.
  std::unique_ptr<Child> listen(int domain, const std::vector<std::string>& topics, size_t count) {
    std::vector<std::string> argv = {
        RNR_LISTENER,   "--domain", std::to_string(domain), "--count", std::to_string(count),
        "--timeout-ms", "20000"};
    for (const auto& t : topics) {
      argv.push_back("--topic");
      argv.push_back(t.find(':') == std::string::npos ? "keyless:" + t : t);
    }
    auto child =
        std::make_unique<Child>(argv, ChildOptions{.stdout_path = dir.file("listener.out"),
                                                   .stderr_path = dir.file("listener.err")});
    EXPECT_TRUE(wait_for_text(dir.file("listener.out"), "READY", 10s));
    return child;
  }
  std::vector<Heard> heard() { return heard_samples(read_file(dir.file("listener.out"))); }
  // "topic description" of what the listener heard, in the order of arrival
  // (its readers report independently).
  std::vector<std::string> heard_in_order() {
    std::vector<Heard> samples = heard();
    std::stable_sort(samples.begin(), samples.end(),
                     [](const Heard& x, const Heard& y) { return x.recv_ns < y.recv_ns; });
    std::vector<std::string> got;
    for (const Heard& h : samples) {
      got.push_back(h.topic + " " + h.description);
    }
    return got;
  }

  std::vector<std::string> play_args(const std::string& bag, int domain,
                                     const std::vector<std::string>& options) {
    std::vector<std::string> argv = {RNR_BAG_TOOL_PATH, "play", bag, "-d", std::to_string(domain)};
    argv.insert(argv.end(), options.begin(), options.end());
    return argv;
  }

  TempDir dir;
};

TEST_F(PlayTest, IntervalTopicsRemapAndRateSelectAndPaceTheSamples) {
  const int domain = 154;
  std::vector<Row> rows;
  for (uint64_t i = 0; i < 30; ++i) {
    rows.push_back({"pl_a", 40 * i, i});
    rows.push_back({"pl_b", 40 * i + 20, 100 + i});
  }
  const std::string bag = make_bag({"pl_a", "pl_b"}, rows);
  const std::string before = read_file(bag);
  // pl_a from 0.2 s to 0.6 s: samples 5 to 15, 40 ms apart, at rate 2.
  auto listener = listen(domain, {"pl_a", "pl_b", "pl_c"}, 11);
  ChildResult play = run_program(play_args(bag, domain,
                                           {"--rate", "2", "--start", "0.2", "--end=0.6", "--topic",
                                            "pl_?", "--exclude", "pl_b", "--remap", "pl_a=pl_c"}));
  EXPECT_TRUE(play.exited_with(0)) << play.err;
  EXPECT_EQ(listener->wait(25s), 0) << read_file(dir.file("listener.err"));
  const std::vector<Heard> samples = heard();
  ASSERT_EQ(samples.size(), 11u);
  for (size_t k = 0; k < samples.size(); ++k) {
    EXPECT_EQ(samples[k].topic, "pl_c");
    EXPECT_EQ(samples[k].description, description(5 + k));
  }
  // Ten gaps of 20 ms: 200 ms from first to last (400 ms at the recorded
  // rate). The span, since a loaded machine may hand over single samples late.
  const int64_t span = samples.back().recv_ns - samples.front().recv_ns;
  EXPECT_GE(span, 180000000);
  EXPECT_LE(span, 300000000);
  EXPECT_EQ(read_file(bag), before);

  // Values that are no good: status 2 and a line saying why.
  for (const std::vector<std::string>& bad : {std::vector<std::string>{"--rate", "0"},
                                              {"--rate", "101"},
                                              {"--start", "later"},
                                              {"--topic", "pl_none*"},
                                              {"--remap", "pl_a"},
                                              {"--remap", "pl_x=pl_y"},
                                              {"-d", "300"},
                                              {"--start", "2", "--end", "1"},
                                              {"--wobble"}}) {
    ChildResult r = run_program(play_args(bag, domain, bad));
    EXPECT_TRUE(r.exited_with(2)) << bad[0] << ": " << r.err;
    EXPECT_EQ(r.err.rfind("quorvin-rnr-bag: play: ", 0), 0u) << r.err;
  }
  // Nothing could resume a paused play without a terminal; a range without
  // samples plays nothing.
  const struct {
    std::vector<std::string> options;
    int status;
    const char* line;
  } refused[] = {{{"--paused"}, 2, "--paused needs a terminal"},
                 {{"--start", "20"}, 1, "no sample of the chosen topics lies in the range"}};
  for (const auto& run : refused) {
    ChildResult r = run_program(play_args(bag, domain, run.options));
    EXPECT_TRUE(r.exited_with(run.status)) << run.options[0] << ": " << r.err;
    EXPECT_NE(r.err.find(run.line), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("reached nobody"), std::string::npos) << r.err;
  }
}

TEST_F(PlayTest, LoopStartsAgainUntilInterrupted) {
  const int domain = 155;
  const std::string bag =
      make_bag({"pl_loop"}, {{"pl_loop", 0, 0}, {"pl_loop", 10, 1}, {"pl_loop", 20, 2}});
  auto listener = listen(domain, {"pl_loop"}, 9);
  Child play(play_args(bag, domain, {"--loop"}));
  EXPECT_EQ(listener->wait(25s), 0) << read_file(dir.file("listener.err"));
  play.signal(SIGINT);
  EXPECT_EQ(play.wait(10s), 128 + SIGINT) << play.err();
  // The first nine: more may have arrived before the listener ended.
  std::vector<std::string> got;
  for (const Heard& h : heard()) {
    if (got.size() < 9) {
      got.push_back(h.description);
    }
  }
  std::vector<std::string> expected;
  for (int pass = 0; pass < 3; ++pass) {
    for (uint64_t i = 0; i < 3; ++i) {
      expected.push_back(description(i));
    }
  }
  EXPECT_EQ(got, expected);
}

// The play command on a pseudo-terminal, followed by `stty -a`, so that the
// terminal's settings after the play can be seen.
class Terminal {
 public:
  explicit Terminal(const std::vector<std::string>& argv) {
    // The shell ignores Ctrl-C, so that it goes on to `stty` after the play
    // (which installs handlers of its own).
    std::string command = "trap '' INT; ";
    for (const auto& a : argv) {
      command += "'" + a + "' ";
    }
    command += "; echo STATUS=$?; stty -a";
    pid_ = forkpty(&master_, nullptr, nullptr, nullptr);
    if (pid_ == 0) {
      execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    reader_ = std::thread([this] {
      char buf[512];
      for (;;) {
        struct pollfd p {
          master_, POLLIN, 0
        };
        if (poll(&p, 1, 100) > 0) {
          const ssize_t n = read(master_, buf, sizeof buf);
          if (n <= 0) {
            return;
          }
          std::lock_guard<std::mutex> lock(mutex_);
          output_.append(buf, static_cast<size_t>(n));
        } else if (done_) {
          return;
        }
      }
    });
  }
  ~Terminal() {
    if (pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    done_ = true;
    reader_.join();
    close(master_);
  }
  void type(const std::string& keys) {
    EXPECT_EQ(write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
  }
  std::string output() {
    std::lock_guard<std::mutex> lock(mutex_);
    return output_;
  }
  bool wait_for(const std::string& text, std::chrono::milliseconds timeout, size_t from = 0) {
    return wait_until([&] { return output().find(text, from) != std::string::npos; }, timeout);
  }

 private:
  int master_ = -1;
  pid_t pid_ = -1;
  std::thread reader_;
  std::mutex mutex_;
  std::string output_;
  std::atomic<bool> done_{false};
};

TEST_F(PlayTest, KeysOnATerminalPauseStepResumeAndChangeTheRate) {
  const int domain = 156;
  std::vector<Row> rows;
  for (uint64_t i = 0; i < 5; ++i) {
    rows.push_back({"pl_keys", 50 * i, i});
  }
  const std::string bag = make_bag({"pl_keys"}, rows);
  auto listener = listen(domain, {"pl_keys"}, 5);
  {
    Terminal terminal(play_args(bag, domain, {"--paused"}));
    ASSERT_TRUE(terminal.wait_for("paused", 15s)) << terminal.output();
    EXPECT_TRUE(heard().empty());
    terminal.type("s");
    ASSERT_TRUE(wait_until([&] { return heard().size() == 1; }, 5s));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(heard().size(), 1u);  // still paused after the step
    const size_t seen = terminal.output().size();
    terminal.type("+");
    EXPECT_TRUE(terminal.wait_for("2.00x", 5s, seen)) << terminal.output();
    terminal.type(" ");
    EXPECT_EQ(listener->wait(15s), 0);
    ASSERT_TRUE(terminal.wait_for("STATUS=0", 10s)) << terminal.output();
    ASSERT_TRUE(terminal.wait_for("isig", 5s));
    // Line editing and echo are back.
    EXPECT_EQ(terminal.output().find("-icanon"), std::string::npos) << terminal.output();
    EXPECT_EQ(terminal.output().find("-echo "), std::string::npos) << terminal.output();
  }
  std::vector<std::string> got;
  for (const Heard& h : heard()) {
    got.push_back(h.description);
  }
  EXPECT_EQ(got, (std::vector<std::string>{description(0), description(1), description(2),
                                           description(3), description(4)}));

  // Ctrl-C on the terminal ends the play with the terminal restored as well.
  Terminal interrupted(play_args(bag, domain, {"--paused"}));
  ASSERT_TRUE(interrupted.wait_for("paused", 15s)) << interrupted.output();
  interrupted.type("\x03");
  ASSERT_TRUE(interrupted.wait_for("STATUS=130", 10s)) << interrupted.output();
  EXPECT_NE(interrupted.output().find("play: interrupted by SIGINT"), std::string::npos);
  ASSERT_TRUE(interrupted.wait_for("isig", 5s));
  EXPECT_EQ(interrupted.output().find("-icanon"), std::string::npos) << interrupted.output();
}

std::atomic<int> finished{0};

// A latched topic's latest sample before the start arrives before the
// interval's samples; the others before the start do not arrive at all.
TEST_F(PlayTest, LatchedTopicsStartWithTheirLatestSampleBeforeTheStart) {
  const int domain = 157;
  const std::string bag = make_bag({"pl_state", "pl_live"}, {{"pl_state", 0, 0},
                                                             {"pl_state", 100, 1},
                                                             {"pl_live", 150, 2},
                                                             {"pl_live", 300, 3},
                                                             {"pl_state", 350, 4},
                                                             {"pl_live", 400, 5}});
  auto listener = listen(domain, {"pl_state", "pl_live"}, 4);
  rnr_replay_options options;
  options.start = static_cast<int64_t>(kBase + 200 * kMs);
  options.latched_topic_ids = {1};
  LogCapture log(RNR_LOG_WARN);
  finished = 0;
  rnr_replayer* replayer = rnr_replayer_create_with_options(bag.c_str(), domain, &options);
  ASSERT_NE(replayer, nullptr);
  rnr_replayer_set_on_replay_finished(replayer, [](rnr_replayer*) { finished = 1; });
  rnr_replayer_start_replay(replayer);
  EXPECT_EQ(listener->wait(15s), 0) << read_file(dir.file("listener.err"));
  EXPECT_TRUE(wait_until([] { return finished.load() == 1; }, 5s));
  rnr_replayer_destroy(replayer);
  EXPECT_EQ(heard_in_order(),
            (std::vector<std::string>{"pl_state " + description(1), "pl_live " + description(3),
                                      "pl_state " + description(4), "pl_live " + description(5)}));
}

// Through the play command: a keyed topic whose recorded writer was
// transient-local starts with the latest sample of each instance before the
// start, in their order of reception; a volatile topic's samples before the
// start are not played. A cut bag keeps the writers' QoS under its own ids
// and latches the same way.
TEST_F(PlayTest, PlayAndCutBagsLatchTheLatestSampleOfEachInstance) {
  const int domain = 158;
  using rnr::peers::expected_bytes;
  const std::string bag = dir.file("latched.sqlite3");
  {
    BagWriter writer(bag);
    writer.add_topic("pl_unplayed", "Other", 0);
    const int state = writer.add_topic("pl_tf", rnr::peers::type_name(Kind::keyed), 1,
                                       read_file(RNR_TEST_TYPES_IDL).c_str());
    const int live = writer.add_topic("pl_tf_live", rnr::peers::type_name(Kind::keyless), 0);
    // The keyed samples' key is i % 5: i = 0 and 5 are one instance, 1 and 6
    // another.
    auto keyed = [&](uint64_t ms, uint64_t i) {
      writer.add_sample(state, kBase + ms * kMs, expected_bytes(Kind::keyed, i, kPayload, false));
    };
    auto keyless = [&](uint64_t ms, uint64_t i) {
      writer.add_sample(live, kBase + ms * kMs, expected_bytes(Kind::keyless, i, kPayload, true));
    };
    keyed(0, 0);
    keyed(50, 1);
    keyed(100, 5);
    keyless(120, 2);
    keyless(250, 3);
    keyed(300, 6);
    keyless(350, 4);
  }
  rnr::qos::WriterQos latched, volatile_qos;
  latched.durability = rnr::qos::Durability::transient_local;
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(bag.c_str(), &db), SQLITE_OK);
    ASSERT_TRUE(exec_sql(db,
                         "INSERT INTO writers(guid) VALUES('g-other'), ('g-tf'), ('g-live'); "
                         "CREATE TABLE writer_qos (writer_id INTEGER PRIMARY KEY, topic_id "
                         "INTEGER, qos TEXT); INSERT INTO writer_qos VALUES(1, 1, '" +
                             rnr::qos::to_text(latched) + "'), (2, 2, '" +
                             rnr::qos::to_text(latched) + "'), (3, 3, '" +
                             rnr::qos::to_text(volatile_qos) + "')"));
    sqlite3_close(db);
  }
  const std::vector<std::string> expected = {
      "pl_tf " + rnr::peers::expected_description(Kind::keyed, 1, kPayload),
      "pl_tf " + rnr::peers::expected_description(Kind::keyed, 5, kPayload),
      "pl_tf_live " + description(3),
      "pl_tf " + rnr::peers::expected_description(Kind::keyed, 6, kPayload),
      "pl_tf_live " + description(4)};
  auto play_from_start = [&](const std::string& which) {
    unlink(dir.file("listener.out").c_str());  // the listener appends
    auto listener = listen(domain, {"keyed:pl_tf", "pl_tf_live"}, expected.size());
    ChildResult play = run_program(play_args(which, domain, {"--start", "0.2"}));
    EXPECT_TRUE(play.exited_with(0)) << play.err;
    EXPECT_EQ(listener->wait(25s), 0) << read_file(dir.file("listener.err"));
    EXPECT_EQ(heard_in_order(), expected) << which;
  };
  play_from_start(bag);

  const std::string cut = dir.file("cut.sqlite3");
  ChildResult c = run_program(
      {RNR_BAG_TOOL_PATH, "cut", bag, cut, "--topic", "pl_tf", "--topic", "pl_tf_live"});
  ASSERT_TRUE(c.exited_with(0)) << c.err;
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(cut.c_str(), &db), SQLITE_OK);
  std::vector<std::string> rows;
  for (const rnr_WriterQosRow& row : rnr_bag_read_writer_qos(db)) {
    rows.push_back(row.guid + " " + std::to_string(row.topic_id) + " " +
                   (row.qos == rnr::qos::to_text(latched) ? "latched" : "volatile"));
  }
  sqlite3_close(db);
  // The cut bag's topics are pl_tf (1) and pl_tf_live (2).
  EXPECT_EQ(rows, (std::vector<std::string>{"g-tf 1 latched", "g-live 2 volatile"}));
  play_from_start(cut);
}

}  // namespace
