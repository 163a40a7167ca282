// What every command of quorvin-rnr-bag does alike: an existing output is
// replaced only with --force, each command has its own help, a stop signal
// ends it with one line and 128 + the signal (in the foreground and in a
// background job) and leaves no temporary file, the progress line, and the
// temporary files of killed runs, which a later run removes while a live
// run's file stays.
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "bag_files.h"
#include "child_process.h"
#include "files.h"

using namespace rnr::test;
using namespace std::chrono_literals;

namespace {

ChildResult bag_tool(const TempDir& dir, const std::vector<std::string>& args) {
  std::vector<std::string> argv = {RNR_BAG_TOOL_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_program(argv, {.cwd = dir.path()});
}

// A bag of `rows` samples of `size` bytes on the topics rt/ka, rt/kb and
// other, a millisecond apart.
std::string make_bag(const TempDir& dir, const std::string& name, int rows, int size) {
  const std::string path = dir.file(name);
  {
    BagWriter writer(path);
    writer.add_topic("rt/ka", "T", 0);
    writer.add_topic("rt/kb", "T", 0);
    writer.add_topic("other", "T", 0);
  }
  sqlite3* db = nullptr;
  EXPECT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  EXPECT_TRUE(exec_sql(db,
                       "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE "
                       "i < " +
                           std::to_string(rows) +
                           ") INSERT INTO data (topic_id, timestamp, serialized_data) SELECT "
                           "1 + i % 3, 1700000000000000000 + i * 1000000, X'00010000' || "
                           "randomblob(" +
                           std::to_string(size) + ") FROM n"));
  sqlite3_close(db);
  return path;
}

// Whether process `pid` has a handler for `signal_number` (SigCgt).
bool catches(pid_t pid, int signal_number) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("SigCgt:", 0) == 0) {
      return ((std::stoull(line.substr(7), nullptr, 16) >> (signal_number - 1)) & 1) != 0;
    }
  }
  return false;
}

// The signal arrives while the process is stopped, so that the command sees
// it wherever it is, however fast it would have been.
void stop_signal(pid_t pid, int signal_number) {
  ASSERT_TRUE(wait_until([&] { return catches(pid, signal_number); }, 10s));
  kill(pid, SIGSTOP);
  kill(pid, signal_number);
  kill(pid, SIGCONT);
}

std::vector<std::string> temporaries(const TempDir& dir) {
  return dir.files_matching(".", "");
}

TEST(CommandBehaviour, AnExistingOutputIsReplacedOnlyWithForce) {
  TempDir dir;
  const std::string bag = make_bag(dir, "in.sqlite3", 30, 8);
  const std::string other_bag = make_bag(dir, "other.sqlite3", 5, 8);
  const std::string out = dir.file("out");
  for (const std::string& existing : {read_file(other_bag), std::string("my notes\n")}) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"cut", bag, out}, {"merge", out, bag}, {"mcap", bag, out}}) {
      write_file(out, existing);
      ChildResult refused = bag_tool(dir, args);
      EXPECT_TRUE(refused.exited_with(1)) << args[0] << ": " << refused.err;
      EXPECT_NE(refused.err.find("give --force to replace it"), std::string::npos) << refused.err;
      EXPECT_EQ(read_file(out), existing) << args[0];
      std::vector<std::string> forced = args;
      forced.push_back("--force");
      ChildResult replaced = bag_tool(dir, forced);
      EXPECT_TRUE(replaced.exited_with(0)) << args[0] << ": " << replaced.err;
      EXPECT_NE(read_file(out), existing) << args[0];
    }
  }
  // The inputs first, as other tools order them: the output is named.
  ChildResult misordered = bag_tool(dir, {"merge", other_bag, bag});
  EXPECT_TRUE(misordered.exited_with(1));
  EXPECT_NE(
      misordered.err.find(other_bag + " exists and is a bag; merge writes its first argument"),
      std::string::npos)
      << misordered.err;
  EXPECT_TRUE(temporaries(dir).empty());
}

TEST(CommandBehaviour, EveryCommandHasItsHelpAndStopsTheSameWay) {
  TempDir dir;
  ChildResult version = bag_tool(dir, {"--version"});
  EXPECT_TRUE(version.exited_with(0));
  EXPECT_EQ(version.out.rfind("quorvin-rnr-bag ", 0), 0u) << version.out;
  for (const char* command : {"info", "json", "mcap", "cut", "merge", "play"}) {
    ChildResult help = bag_tool(dir, {command, "-h"});
    EXPECT_TRUE(help.exited_with(0)) << command;
    EXPECT_EQ(help.out.rfind(std::string("usage: quorvin-rnr-bag ") + command, 0), 0u) << help.out;
    EXPECT_NE(help.out.find("Exit status"), std::string::npos) << command;
    ChildResult unknown = bag_tool(dir, {command, "x.sqlite3", "--bogus"});
    EXPECT_TRUE(unknown.exited_with(2)) << command << ": " << unknown.err;
  }

  const std::string bag = make_bag(dir, "big.sqlite3", 200000, 60);
  const std::string out = dir.file("out");
  const struct {
    std::vector<std::string> args;
    bool writes;
  } commands[] = {{{"info", bag}, false},
                  {{"json", bag, "--topic", "rt/k*"}, false},
                  {{"mcap", bag, out}, true},
                  {{"cut", bag, out, "--topic", "rt/k?"}, true},
                  {{"merge", out, bag}, true}};
  for (const auto& run : commands) {
    const std::string& name = run.args[0];
    std::vector<std::string> argv = {RNR_BAG_TOOL_PATH};
    argv.insert(argv.end(), run.args.begin(), run.args.end());
    const std::string not_written = run.writes ? "; " + out + " not written" : "";
    for (int signal_number : {SIGINT, SIGTERM}) {
      Child child(argv, {.cwd = dir.path()});
      stop_signal(child.pid(), signal_number);
      EXPECT_EQ(child.wait(20s), 128 + signal_number) << name << ": " << child.err();
      EXPECT_EQ(child.err(), "quorvin-rnr-bag: " + name + ": interrupted by " +
                                 (signal_number == SIGINT ? "SIGINT" : "SIGTERM") + not_written +
                                 "\n");
    }
    // A background job of a shell starts with SIGINT ignored: kill -INT
    // ends it all the same.
    std::string line;
    for (const auto& a : argv) {
      line += "'" + a + "' ";
    }
    Child shell({"/bin/sh", "-c", line + "& echo $! > pid; wait $!; echo $? > status"},
                {.cwd = dir.path()});
    ASSERT_TRUE(wait_until([&] { return read_file(dir.file("pid")).size() > 1; }, 10s));
    stop_signal(std::stoi(read_file(dir.file("pid"))), SIGINT);
    EXPECT_EQ(shell.wait(20s), 0);
    EXPECT_EQ(read_file(dir.file("status")), "130\n") << name;
    EXPECT_TRUE(temporaries(dir).empty()) << name;
    EXPECT_FALSE(file_exists(out)) << name;
    unlink(dir.file("pid").c_str());
  }
}

// Runs the command on a pseudo-terminal; what it wrote there.
std::string on_terminal(const std::vector<std::string>& argv, const std::string& cwd) {
  int master = -1;
  const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
  if (pid == 0) {
    std::vector<char*> args;
    for (const auto& a : argv) {
      args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    if (chdir(cwd.c_str()) == 0) {
      execv(args[0], args.data());
    }
    _exit(127);
  }
  std::string text;
  char buf[4096];
  ssize_t n;
  while ((n = read(master, buf, sizeof buf)) > 0) {
    text.append(buf, static_cast<size_t>(n));
  }
  close(master);
  int status = 0;
  waitpid(pid, &status, 0);
  return text;
}

TEST(CommandBehaviour, ProgressReachesTheEndAndIsClearedOrComesOnceASecond) {
  TempDir dir;
  const std::string bag = make_bag(dir, "big.sqlite3", 300000, 60);
  for (const char* command : {"info", "mcap"}) {
    const std::string text = on_terminal({RNR_BAG_TOOL_PATH, command, bag}, dir.path());
    const size_t last = text.rfind("100%  300000 of 300000 samples");
    ASSERT_NE(last, std::string::npos) << text.substr(0, 500);
    EXPECT_EQ(text.find('\r', last), text.find("\r\x1b[K", last)) << command;
    EXPECT_NE(text.find("samples/s"), std::string::npos);
    EXPECT_NE(text.find(" left"), std::string::npos);
    EXPECT_EQ(bag_tool(dir, {command, bag, "--quiet", command[0] == 'm' ? "--force" : "-q"}).err,
              "")
        << command;
  }
  // For logs: whole lines, at most one a second.
  const auto started = std::chrono::steady_clock::now();
  ChildResult logged = bag_tool(dir, {"cut", bag, dir.file("cut.sqlite3"), "--progress"});
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  EXPECT_TRUE(logged.exited_with(0)) << logged.err;
  const size_t lines = count_occurrences(logged.err, "samples/s");
  EXPECT_GE(lines, 1u);
  EXPECT_LE(static_cast<double>(lines), seconds + 1) << logged.err;
  EXPECT_EQ(count_occurrences(logged.err, "\n"), lines);
  EXPECT_EQ(logged.err.find('\r'), std::string::npos);
}

TEST(CommandBehaviour, AKilledRunsTemporaryFileIsRemovedByTheNextAndALiveRunsIsKept) {
  TempDir dir;
  const std::string big = make_bag(dir, "big.sqlite3", 300000, 60);
  const std::string small = make_bag(dir, "small.sqlite3", 10, 8);
  // A run that is alive (stopped) all along.
  Child live({RNR_BAG_TOOL_PATH, "cut", big, dir.file("live.sqlite3")}, {.cwd = dir.path()});
  ASSERT_TRUE(
      wait_until([&] { return !dir.files_matching(".live.sqlite3.tmp-", "").empty(); }, 10s));
  kill(live.pid(), SIGSTOP);
  const std::vector<std::string> live_files = dir.files_matching(".live.sqlite3.tmp-", "");

  const struct {
    std::vector<std::string> killed, next;
  } runs[] = {{{"mcap", big, "out"}, {"mcap", small, "out", "--force"}},
              {{"cut", big, "out"}, {"cut", small, "out", "--force"}},
              {{"merge", "out", big}, {"merge", "out", small, "--force"}}};
  for (const auto& run : runs) {
    std::vector<std::string> argv = {RNR_BAG_TOOL_PATH};
    argv.insert(argv.end(), run.killed.begin(), run.killed.end());
    Child killed(argv, {.cwd = dir.path()});
    ASSERT_TRUE(wait_until([&] { return !dir.files_matching(".out.tmp-", "").empty(); }, 10s));
    std::this_thread::sleep_for(100ms);
    kill(killed.pid(), SIGKILL);
    EXPECT_EQ(killed.wait(10s), 128 + SIGKILL);
    ASSERT_FALSE(dir.files_matching(".out.tmp-", "").empty()) << "the killed run left nothing";
    EXPECT_TRUE(bag_tool(dir, run.next).exited_with(0)) << run.next[0];
    EXPECT_TRUE(dir.files_matching(".out.tmp-", "").empty()) << run.next[0];
    EXPECT_EQ(dir.files_matching(".live.sqlite3.tmp-", ""), live_files) << run.next[0];
    unlink(dir.file("out").c_str());
  }
  // Once that run is gone too, any run in the directory removes its files.
  kill(live.pid(), SIGKILL);
  live.wait(10s);
  EXPECT_TRUE(bag_tool(dir, {"info", small}).exited_with(0));
  EXPECT_TRUE(temporaries(dir).empty());
}

}  // namespace
