// Every command on every bag of the damaged corpus (and on a FIFO): each ends
// by itself with status 0 or 1, never by a signal; no bag changes (but for
// the rollback of a hot journal); no temporary file stays behind; and a
// replay that ends with status 0 has written every sample the bag holds.
#include <sys/stat.h>

#include <cstdlib>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "child_process.h"
#include "damaged_bags.h"
#include "files.h"

using namespace rnr::test;
using namespace std::chrono_literals;

namespace {

// A sanitizer's report (its exit status, 1, looks like a command's failure).
bool sanitizer_report(const std::string& err) {
  return err.find("Sanitizer") != std::string::npos ||
         err.find("runtime error:") != std::string::npos;
}

TEST(DamagedCorpus, EveryCommandEndsCleanlyAndHonestlyOnEveryBag) {
  // Leaks inside Cyclone's IDL library are not the commands' own.
  setenv("LSAN_OPTIONS", "suppressions=" RNR_SOURCE_DIR "/tests/lsan.supp", 0);
  TempDir dir;
  std::vector<DamagedBag> bags = write_damaged_bags(dir.path(), 20);
  DamagedBag fifo{"fifo", dir.file("fifo.sqlite3")};
  ASSERT_EQ(mkfifo(fifo.path.c_str(), 0600), 0);
  bags.push_back(fifo);
  ASSERT_GE(bags.size(), 30u);

  // Replays run side by side: each waits a second or more before it starts.
  std::vector<std::unique_ptr<Child>> replays(bags.size());
  for (size_t i = 0; i < bags.size(); ++i) {
    if (bags[i].replay_ends && !bags[i].rolled_back) {
      replays[i] = std::make_unique<Child>(
          std::vector<std::string>{RNR_TOOL_PATH, "replay", "-d", "174", "-l", "debug",
                                   bags[i].path},
          ChildOptions{.stdout_path = dir.file("replay" + std::to_string(i) + ".out")});
    }
  }

  for (const DamagedBag& bag : bags) {
    const bool is_file = bag.name != "fifo";
    const std::string before = is_file ? read_file(bag.path) : "";
    const std::string out = dir.file("out.mcap");
    for (const std::vector<std::string>& args : {std::vector<std::string>{"info", bag.path},
                                                 {"json", bag.path},
                                                 {"mcap", bag.path, out}}) {
      std::vector<std::string> argv = {RNR_BAG_TOOL_PATH};
      argv.insert(argv.end(), args.begin(), args.end());
      ChildResult run = run_program(argv, {.cwd = dir.path()});
      EXPECT_TRUE(run.exited_with(0) || run.exited_with(1))
          << bag.name << ": " << args[0] << " status " << run.status << "\n"
          << run.err.substr(0, 2000);
      EXPECT_FALSE(sanitizer_report(run.err)) << bag.name << ": " << args[0] << "\n" << run.err;
      if (args[0] == "mcap") {
        EXPECT_EQ(file_exists(out), run.exited_with(0)) << bag.name;
      }
    }
    if (is_file && !bag.rolled_back) {
      EXPECT_TRUE(read_file(bag.path) == before) << bag.name << ": the bag changed";
    }
    EXPECT_TRUE(dir.files_matching(".out.mcap", "").empty()) << bag.name;
    std::remove(dir.file("out.mcap").c_str());
  }

  for (size_t i = 0; i < bags.size(); ++i) {
    if (replays[i] == nullptr) {
      continue;
    }
    const std::optional<int> status = replays[i]->wait(30s);
    ASSERT_TRUE(status.has_value()) << bags[i].name << ": the replay did not end";
    EXPECT_TRUE(*status == 0 || *status == 1) << bags[i].name << ": status " << *status;
    EXPECT_FALSE(sanitizer_report(replays[i]->err())) << bags[i].name << "\n" << replays[i]->err();
    if (*status == 0) {
      const std::string log = replays[i]->out();
      EXPECT_EQ(static_cast<int64_t>(count_occurrences(log, "Replayer Write Data(_id=")),
                readable_rows(bags[i].path))
          << bags[i].name << ": a replay that ended with status 0 left samples out";
    }
  }
}

}  // namespace
