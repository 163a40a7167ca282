// quorvin-rnr-bag on its outputs and on bags left by crashes or made odd:
// an output that fails leaves every file as it was, wrong outputs are
// refused before anything is written, options are options wherever they
// stand; a hot journal is rolled back, a FIFO refused at once, and odd
// values give valid output.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bag_files.h"
#include "child_process.h"
#include "damaged_bags.h"
#include "files.h"

using namespace rnr::test;
using namespace std::chrono_literals;

namespace {

ChildResult bag_tool(const TempDir& dir, const std::vector<std::string>& args) {
  std::vector<std::string> argv = {RNR_BAG_TOOL_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_program(argv, {.cwd = dir.path()});
}

const DamagedBag& bag_named(const std::vector<DamagedBag>& bags, const std::string& name) {
  return *std::find_if(bags.begin(), bags.end(),
                       [&](const DamagedBag& b) { return b.name == name; });
}

bool is_link(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

const std::string kMcapMagic = "\x89MCAP0\r\n";

TEST(BagOutputs, AFailedOrRefusedExportLeavesEveryFileAsItWas) {
  TempDir dir;
  const std::vector<DamagedBag> bags = write_damaged_bags(dir.path(), 1);
  const std::string good = bag_named(bags, "ids from 1001").path;
  const std::string broken = bag_named(bags, "corrupt leaf page").path;
  const std::string prev = dir.file("prev.mcap");
  write_file(prev, "an earlier export");
  ASSERT_EQ(symlink(prev.c_str(), dir.file("link.mcap").c_str()), 0);

  // A read that fails partway: neither the file nor the link's target changes.
  for (const std::string& out : {prev, dir.file("link.mcap")}) {
    ChildResult run = bag_tool(dir, {"mcap", broken, out, "--force"});
    EXPECT_TRUE(run.exited_with(1)) << run.err;
    EXPECT_EQ(read_file(prev), "an earlier export");
  }
  EXPECT_TRUE(is_link(dir.file("link.mcap")));
  EXPECT_TRUE(dir.files_matching(".", "").empty()) << "a temporary file stayed";

  // Refused before anything is written: not regular files, the bag, its
  // companions (also before they exist), links and hard links to it.
  const std::string fifo = dir.file("fifo.mcap");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_EQ(symlink(good.c_str(), dir.file("bag-link.mcap").c_str()), 0);
  ASSERT_EQ(link(good.c_str(), dir.file("bag-hard.mcap").c_str()), 0);
  const std::string bag_bytes = read_file(good);
  for (const std::string& out :
       {fifo, dir.path(), std::string("/dev/null"), good, good + "-journal", good + "-wal",
        dir.file("bag-link.mcap"), dir.file("bag-hard.mcap"), dir.file("missing/out.mcap")}) {
    ChildResult run = bag_tool(dir, {"mcap", good, out, "--force"});
    EXPECT_TRUE(run.exited_with(1)) << out << ": " << run.err;
    EXPECT_NE(run.err.find("quorvin-rnr-bag: "), std::string::npos);
  }
  EXPECT_EQ(read_file(good), bag_bytes);
  EXPECT_FALSE(file_exists(good + "-journal") || file_exists(good + "-wal"));
  struct stat st {};
  EXPECT_TRUE(stat(fifo.c_str(), &st) == 0 && S_ISFIFO(st.st_mode));
  EXPECT_TRUE(stat("/dev/null", &st) == 0 && S_ISCHR(st.st_mode));

  // Options wherever they stand: no file named -v.
  for (const std::vector<std::string>& args : {std::vector<std::string>{"mcap", good, "-v"},
                                               {"json", "-v", good},
                                               {"info", good, "--x"}}) {
    ChildResult run = bag_tool(dir, args);
    EXPECT_TRUE(run.exited_with(2)) << args[0] << ": " << run.err;
    EXPECT_NE(run.err.find("unknown option"), std::string::npos) << run.err;
  }
  EXPECT_FALSE(file_exists(dir.file("-v")));

  // A success through the link replaces its target and keeps the link.
  ASSERT_TRUE(bag_tool(dir, {"mcap", good, dir.file("link.mcap"), "--force"}).exited_with(0));
  EXPECT_TRUE(is_link(dir.file("link.mcap")));
  EXPECT_EQ(read_file(prev).substr(0, kMcapMagic.size()), kMcapMagic);
}

TEST(BagOutputs, AStopSignalDuringAnExportRemovesOnlyItsTemporaryFile) {
  TempDir dir;
  const std::string bag = dir.file("big.sqlite3");
  {
    BagWriter writer(bag);
    writer.add_topic("rnr_big", "T", 0);
  }
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(bag.c_str(), &db), SQLITE_OK);
  ASSERT_TRUE(exec_sql(db,
                       "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < "
                       "30000) INSERT INTO data (topic_id, timestamp, serialized_data) SELECT 1, "
                       "i, X'00010000' || randomblob(2000) FROM n"));
  sqlite3_close(db);
  const std::string out = dir.file("out.mcap");
  write_file(out, "an earlier export");

  Child child({RNR_BAG_TOOL_PATH, "mcap", bag, out, "--force"}, {.cwd = dir.path()});
  ASSERT_TRUE(wait_until([&] { return !dir.files_matching(".out.mcap.tmp-", "").empty(); }, 10s));
  kill(child.pid(), SIGSTOP);
  kill(child.pid(), SIGINT);
  kill(child.pid(), SIGCONT);
  EXPECT_EQ(child.wait(10s), 128 + SIGINT);
  EXPECT_EQ(read_file(out), "an earlier export");
  EXPECT_TRUE(dir.files_matching(".out.mcap", "").empty());
}

TEST(BagInputs, CrashedAndOddBagsGiveValidOutput) {
  TempDir dir;
  const std::vector<DamagedBag> bags = write_damaged_bags(dir.path(), 1);

  // A hot journal is rolled back: the recorded rows are read as they were.
  const std::string crashed = bag_named(bags, "hot journal").path;
  ASSERT_TRUE(file_exists(crashed + "-journal"));
  ChildResult info = bag_tool(dir, {"info", crashed});
  EXPECT_TRUE(info.exited_with(0)) << info.err;
  EXPECT_NE(info.out.find("samples:   24"), std::string::npos) << info.out;
  EXPECT_FALSE(file_exists(crashed + "-journal"));

  // A FIFO as the bag is refused at once (run_program would kill a hang).
  const std::string fifo = dir.file("fifo.sqlite3");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const char* command : {"info", "json", "mcap"}) {
    ChildResult run = bag_tool(dir, {command, fifo});
    EXPECT_TRUE(run.exited_with(1)) << command << ": " << run.status;
    EXPECT_NE(run.err.find("not a regular file"), std::string::npos) << run.err;
  }

  // Times at both ends of int64: the span is 2^64 - 1 ns.
  info = bag_tool(dir, {"info", bag_named(bags, "time extremes").path});
  EXPECT_TRUE(info.exited_with(0)) << info.err;
  EXPECT_NE(info.out.find("duration:  18446744073.710 s"), std::string::npos) << info.out;

  // An empty type description is none: no schema in the export.
  const std::string untyped = bag_named(bags, "empty type description").path;
  info = bag_tool(dir, {"info", untyped});
  EXPECT_NE(info.out.find("none"), std::string::npos) << info.out;
  EXPECT_EQ(info.out.find("stored"), std::string::npos) << info.out;
  ASSERT_TRUE(bag_tool(dir, {"mcap", untyped, dir.file("untyped.mcap")}).exited_with(0));
  EXPECT_EQ(read_file(dir.file("untyped.mcap")).find("omgidl"), std::string::npos);

  // Names that are no UTF-8: the bytes become U+FFFD, quotes and controls
  // are escaped.
  ChildResult json = bag_tool(dir, {"json", bag_named(bags, "names not utf-8").path});
  EXPECT_TRUE(json.exited_with(0)) << json.err;
  EXPECT_EQ(json.out.rfind("{\"topic\":\"bad\\ufffd\\ufffdname\\u0001\\\"\",", 0), 0u)
      << json.out.substr(0, 200);
  EXPECT_EQ(json.out.find('\xff'), std::string::npos);
}

// Type descriptions that nest 10,000 deep or declare 100,000 enumerators,
// members or cases: refused at once with one line each, and the samples are
// given as hex.
TEST(BagInputs, HostileTypeDescriptionsAreRefusedQuickly) {
  TempDir dir;
  for (const DamagedBag& bag : write_damaged_bags(dir.path(), 1)) {
    if (bag.name.rfind("type: ", 0) != 0 || bag.name == "type: recursive") {
      continue;
    }
    const auto started = std::chrono::steady_clock::now();
    ChildResult json = bag_tool(dir, {"json", bag.path});
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s) << bag.name;
    EXPECT_TRUE(json.exited_with(0)) << bag.name << ": " << json.status;
    EXPECT_EQ(count_occurrences(json.out, "\"hex\":"), 24u) << bag.name;
    if (bag.name != "type: not idl") {
      EXPECT_NE(json.err.find("type description too large or too deep"), std::string::npos)
          << bag.name << ": " << json.err.substr(0, 300);
    }
  }
}

}  // namespace
