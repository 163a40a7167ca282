// Runs the built quorvin-rnr and compares what it writes and its exit status.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <csignal>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "child_process.h"
#include "files.h"

namespace {

const std::string kGeneral =
    "usage: quorvin-rnr [-h] <command> [...]\n\noptional arguments:\n  -h, --help   Display this "
    "help message and exit.\n\nCommands:\n  record       Record DDS data to a bag\n  replay       "
    "Play back DDS data from a bag\n\n  Call `quorvin-rnr <command> -h` for more detailed usage\n";
const std::string kInfo =
    "usage: quorvin-rnr info [-h] [-s STORAGE] bag_file\n\nPrint information about a bag to the "
    "screen\n\npositional arguments:\n  bag_file                bag file to introspect\n\noptional "
    "arguments:\n  -h, --help              show this help message and exit\n  -l, --log-level    "
    "     set log level\n                          (verbose | debug | info | warn | error | "
    "fatal)\n  -s, --storage STORAGE   storage identifier to be used to open storage. Defaults to "
    "\"sqlite3\"\n";
const std::string kRecord =
    "usage: quorvin-rnr record [-h] type_name topic_name [type_name topic_name ...]\n\nRecord DDS "
    "data to a bag\n\npositional arguments:\n  topic_name              topic name to be "
    "recorded\n  type_name               type name to be recorded\n\noptional arguments:\n  -d, "
    "--domain            set DDS domain id\n  -h, --help              show this help message and "
    "exit\n  -l, --log-level         set log level\n                          (verbose | debug | "
    "info | warn | error | fatal)\n";
const std::string kReplay =
    "usage: quorvin-rnr replay [-h] bag_file\n\nReplay DDS data from a bag\n\npositional "
    "arguments:\n  bag_file                bag file to replay\n\noptional arguments:\n  -d, "
    "--domain            set DDS domain id\n  -h, --help              show this help message and "
    "exit\n  -l, --log-level         set log level\n                          (verbose | debug | "
    "info | warn | error | fatal)\n";

const std::string kStartLine = "Logger DOVUvE Logger(level=debug) initialized";

std::vector<std::string> command(std::vector<std::string> args) {
  args.insert(args.begin(), RNR_EXECUTABLE);
  return args;
}

struct expectation {
  std::vector<std::string> args;
  std::string out;
  std::string err;
};

void expect_runs(const std::vector<expectation>& cases) {
  for (const expectation& c : cases) {
    std::string shown;
    for (const std::string& arg : c.args) {
      if (arg.size() > 40) {
        shown.append("<").append(std::to_string(arg.size())).append(" chars> ");
      } else {
        shown.append(arg).append(" ");
      }
    }
    rnr::test::ChildResult result = rnr::test::run_program(command(c.args));
    EXPECT_TRUE(result.exited_with(0)) << shown << " status " << result.status;
    EXPECT_EQ(result.out, c.out) << shown;
    EXPECT_EQ(result.err, c.err) << shown;
  }
}

TEST(CommandLine, UsageTexts) {
  expect_runs({
      {{}, kGeneral, ""},
      {{"-h"}, kGeneral, ""},
      {{"play"}, kGeneral, ""},
      {{"Record", "T", "t"}, kGeneral, ""},
      {{"info", "-h"}, kInfo, ""},
      {{"record", "--help"}, kRecord, ""},
      {{"record", "T", "t", "-h"}, kRecord, ""},
      {{"replay", "-h", "x.sqlite3"}, kReplay, ""},
      {{"replay"}, kReplay, ""},
  });
}

TEST(CommandLine, ArgumentErrors) {
  const std::string long_name(256, 'a');
  expect_runs({
      {{"record"}, kRecord, "No topic to record\n"},
      {{"record", "T"}, kRecord, "Invalid arguments\n"},
      {{"record", "-d", "2", "A", "a", "B"}, kRecord, "Invalid arguments\n"},
      {{"replay", "-l", "loud", "x.sqlite3"}, kReplay, "Unknown log level\n"},
      {{"record", "-l", "loud", "T"}, kRecord, "Unknown log level\n"},
      {{"info", "-s", "sqlite3", "x"}, kInfo, "info: invalid option -- s\n"},
      {{"info", "--storage", "sqlite3"}, kInfo, "no such a option: storage\n"},
      {{"record", "-d"}, kRecord, "record: option requires an argument -- d\n"},
      {{"replay", "x", "--domain"}, kReplay, "replay: option '--domain' requires an argument\n"},
      {{"replay", "--help=1"}, kReplay, "no argument for help\n"},
      {{"info", "-hx"}, kInfo, "info: invalid option -- x\n"},
      {{"record", long_name, "t"},
       kRecord,
       "Type name is too long: at most 255 characters are allowed\n"},
      {{"record", "T", long_name},
       kRecord,
       "Topic name is too long: at most 255 characters are allowed\n"},
      {{"replay", long_name},
       kReplay,
       "Bag file path is too long: at most 255 characters are allowed\n"},
  });
}

TEST(CommandLine, InfoOnlyCreatesTheLogger) {
  for (const std::vector<std::string>& args : {std::vector<std::string>{"info"},
                                               {"info", "x.sqlite3", "--domain=7"},
                                               {"info", "-d", "abc"}}) {
    rnr::test::ChildResult result = rnr::test::run_program(command(args));
    EXPECT_TRUE(result.exited_with(0));
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
  }
  rnr::test::ChildResult result = rnr::test::run_program(command({"info", "-l", "debug"}));
  EXPECT_TRUE(result.exited_with(0));
  EXPECT_NE(result.out.find(kStartLine), std::string::npos) << result.out;
  EXPECT_EQ(result.err, "");
}

TEST(CommandLine, LoggerThatCannotBeCreatedEndsWithStatusOne) {
  // With standard output closed there is nowhere for the logger to write.
  rnr::test::ChildOptions options;
  options.close_stdout = true;
  rnr::test::ChildResult result = rnr::test::run_program(command({"info"}), options);
  EXPECT_TRUE(result.exited_with(1)) << result.status;
  const size_t logger_line =
      result.err.find("Logger Failed to create Quorvin Record & Replay logger\n");
  const size_t main_line = result.err.find("Main Cannot initialize logger\n");
  EXPECT_NE(logger_line, std::string::npos) << result.err;
  EXPECT_NE(main_line, std::string::npos) << result.err;
  EXPECT_LT(logger_line, main_line);
}

// SIGINT or SIGTERM while `record` runs its loop ends the process with status
// 0 within about a second (the loop's step); names of 255 characters are
// accepted.
TEST(CommandLine, StopSignalEndsARecordingInOrder) {
  const std::string longest(255, 'b');
  const struct {
    std::vector<std::string> pair;
    int signal_number;
  } runs[] = {{{"T", "t"}, SIGINT}, {{longest, longest}, SIGTERM}};
  for (const auto& run : runs) {
    rnr::test::TempDir dir;
    std::vector<std::string> args = {"record", "-d", "1", "-l", "debug"};
    args.insert(args.end(), run.pair.begin(), run.pair.end());
    rnr::test::Child program(command(args), {.cwd = dir.path()});
    ASSERT_TRUE(program.wait_for_output(kStartLine, std::chrono::seconds(20)));
    program.signal(run.signal_number);
    rnr::test::ChildResult result = program.finish(std::chrono::seconds(5));
    EXPECT_TRUE(result.exited_with(0)) << run.signal_number << " status " << result.status;
    EXPECT_EQ(result.err, "");
  }
}

}  // namespace

namespace {

// Before the lines of the run itself, replay names what is wrong with the
// bag and record what is wrong with the domain id; the run's own lines and
// status follow unchanged.
TEST(CommandLine, BagAndDomainProblemsAreNamedFirst) {
  rnr::test::TempDir dir;
  rnr::test::write_file(dir.file("view.mcap"), "\x89MCAP0\r\nrest");
  rnr::test::write_file(dir.file("notes.txt"), "not a database");
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(dir.file("other.sqlite3").c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE topics (x)", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  const struct {
    std::vector<std::string> args;
    const char* line;
    const char* then;
  } runs[] = {
      {{"replay", "nosuch.sqlite3"},
       "Main Bag nosuch.sqlite3: no such file",
       "Main Cannot create replayer"},
      {{"replay", dir.path()}, "is a directory", "Main Cannot create replayer"},
      {{"replay", dir.file("view.mcap")}, "is an MCAP file", "Main Cannot create replayer"},
      {{"replay", dir.file("notes.txt")}, "is not an SQLite file", "Main Cannot create replayer"},
      {{"replay", dir.file("other.sqlite3")},
       "not a bag: it has no table data",
       "Main Cannot create replayer"},
      {{"record", "-d", "300", "T", "t"},
       "Main Domain id 300 is out of range (0 to 232)",
       "Main Cannot create recorder"},
  };
  for (const auto& run : runs) {
    rnr::test::ChildResult result = rnr::test::run_program(command(run.args), {.cwd = dir.path()});
    EXPECT_TRUE(result.exited_with(1)) << run.args[1] << ": " << result.status;
    const size_t line = result.out.find(run.line), then = result.out.find(run.then);
    EXPECT_NE(line, std::string::npos) << result.out;
    EXPECT_NE(then, std::string::npos) << result.out;
    EXPECT_LT(line, then) << result.out;
  }

  // Digits and then more: the domain the digits give is used, as before.
  rnr::test::Child record(command({"record", "-d", "61abc", "-l", "debug", "T", "t"}),
                          {.cwd = dir.path()});
  ASSERT_TRUE(record.wait_for_output(kStartLine, std::chrono::seconds(20)));
  ASSERT_TRUE(record.wait_for_output("Recording into", std::chrono::seconds(20))) << record.out();
  record.signal(SIGINT);
  rnr::test::ChildResult result = record.finish(std::chrono::seconds(5));
  EXPECT_TRUE(result.exited_with(0)) << result.status;
  EXPECT_NE(result.out.find("Main Domain id \"61abc\" is not a whole number; domain 61 is used"),
            std::string::npos)
      << result.out;
}

}  // namespace
