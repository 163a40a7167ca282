// A longer fuzz run of every command than the test suite's corpus: mutated
// damaged bags, each run through random argument vectors of the bag tool
// and replayed. Counts what must never happen: deaths by a signal, runs that
// do not end, inputs or bystander files that changed, temporary files left
// behind, and replays that end with status 0 having written fewer samples
// than the bag holds.
//
//   bag_fuzz TOOL BAG_TOOL [BAGS] [ARGV_PER_BAG] [SEED] [DOMAIN]
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "child_process.h"
#include "damaged_bags.h"
#include "files.h"

using namespace rnr::test;

namespace {

struct Tally {
  uint64_t argv = 0, crashes = 0, hangs = 0, changed = 0, left_behind = 0, replays = 0,
           dishonest = 0, replay_hangs = 0, long_waits = 0;
};

// The files a run must leave alone, whatever its arguments say.
struct Bystanders {
  explicit Bystanders(const std::string& dir) : dir_(dir) {
    write_file(dir + "/prev.mcap", "an earlier export");
    symlink((dir + "/prev.mcap").c_str(), (dir + "/link.mcap").c_str());
    mkfifo((dir + "/fifo").c_str(), 0600);
    mkdir((dir + "/dir").c_str(), 0700);
  }
  // Intact, but for prev.mcap, which a successful export to it or to the link
  // may replace with a complete MCAP file (it is then put back).
  bool intact(bool exported) {
    const std::string prev = read_file(dir_ + "/prev.mcap");
    const bool replaced = exported && prev.size() > 16 && prev.compare(0, 5, "\x89MCAP") == 0 &&
                          prev.compare(prev.size() - 8, 8, std::string("\x89MCAP0\r\n", 8)) == 0;
    if (replaced) {
      write_file(dir_ + "/prev.mcap", "an earlier export");
    }
    struct stat st {};
    return (replaced || prev == "an earlier export") &&
           lstat((dir_ + "/link.mcap").c_str(), &st) == 0 && S_ISLNK(st.st_mode) &&
           stat((dir_ + "/fifo").c_str(), &st) == 0 && S_ISFIFO(st.st_mode) &&
           stat((dir_ + "/dir").c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
           stat("/dev/null", &st) == 0 && S_ISCHR(st.st_mode);
  }
  std::string dir_;
};

std::vector<std::string> random_argv(std::mt19937_64& rng, const std::string& bag_tool,
                                     const std::string& bag) {
  static const char* const commands[] = {"info", "json", "mcap", "mcap", "json", "export", ""};
  const std::vector<std::string> tokens = {bag,          bag,        bag,         "-v",
                                           "--topic",    "rnr_fuzz", "--topic=x", "--",
                                           "-",          "out.mcap", "prev.mcap", "link.mcap",
                                           "fifo",       "dir",      "/dev/null", bag + "-journal",
                                           bag + "-wal", "",         "--help",    "missing/x.mcap"};
  std::vector<std::string> argv = {bag_tool, commands[rng() % 7]};
  for (size_t n = rng() % 5; n > 0; --n) {
    argv.push_back(tokens[rng() % tokens.size()]);
  }
  if (rng() % 3 != 0) {
    argv.insert(argv.begin() + 2, bag);  // most runs name the bag first
  }
  return argv;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: bag_fuzz TOOL BAG_TOOL [BAGS] [ARGV_PER_BAG] [SEED] [DOMAIN]\n");
    return 2;
  }
  const std::string tool = argv[1], bag_tool = argv[2];
  const size_t bags = argc > 3 ? std::stoul(argv[3]) : 300;
  const size_t per_bag = argc > 4 ? std::stoul(argv[4]) : 10;
  const uint64_t seed = argc > 5 ? std::stoull(argv[5]) : 1;
  const std::string domain = argc > 6 ? argv[6] : "177";
  const auto started = std::chrono::steady_clock::now();

  TempDir dir;
  Bystanders bystanders(dir.path());
  std::mt19937_64 rng(seed);
  Tally tally;
  struct Replay {
    std::unique_ptr<Child> child;
    std::string bag, name;
  };
  std::vector<Replay> running;
  const auto settle_replays = [&](size_t keep) {
    while (running.size() > keep) {
      Replay r = std::move(running.front());
      running.erase(running.begin());
      const std::optional<int> status = r.child->wait(std::chrono::seconds(60));
      ++tally.replays;
      if (!status && r.child->out().find("Replayer Waiting ") != std::string::npos) {
        ++tally.long_waits;  // a recorded gap of hours or more, announced: it is kept
      } else if (!status) {
        ++tally.replay_hangs;
        const std::string out = r.child->out();
        std::printf("HANG replay %s\n%s\n", r.name.c_str(),
                    out.substr(out.size() > 600 ? out.size() - 600 : 0).c_str());
      } else if (*status > 2 || r.child->err().find("Sanitizer") != std::string::npos ||
                 r.child->err().find("runtime error:") != std::string::npos) {
        ++tally.crashes;
        std::printf("CRASH replay %s status %d\n", r.name.c_str(), *status);
      } else if (*status == 0 &&
                 static_cast<int64_t>(count_occurrences(r.child->out(), "Replayer Write Data(")) <
                     readable_rows(r.bag)) {
        ++tally.dishonest;
        std::printf("DISHONEST replay %s\n", r.name.c_str());
      }
    }
  };

  for (size_t b = 0; b < bags; ++b) {
    const std::string sub = dir.file("bag" + std::to_string(b));
    mkdir(sub.c_str(), 0700);
    DamagedBag bag = write_mutated_bag(sub, seed * 1000003 + b, b);
    if (bag.rolled_back) {
      run_program({bag_tool, "info", bag.path});
    }
    const std::string before = read_file(bag.path);
    for (size_t k = 0; k < per_bag; ++k) {
      const std::vector<std::string> args = random_argv(rng, bag_tool, bag.path);
      ChildResult run = run_program(args, {.cwd = dir.path()});
      ++tally.argv;
      std::string line;
      for (size_t i = 1; i < args.size(); ++i) {
        line += " '" + args[i] + "'";
      }
      if (run.status == -1) {
        ++tally.hangs;
        std::printf("HANG %s:%s\n", bag.name.c_str(), line.c_str());
      } else if (!(run.exited_with(0) || run.exited_with(1) || run.exited_with(2)) ||
                 run.err.find("Sanitizer") != std::string::npos ||
                 run.err.find("runtime error:") != std::string::npos) {
        ++tally.crashes;
        std::printf("CRASH %s:%s status %d\n%s\n", bag.name.c_str(), line.c_str(), run.status,
                    run.err.substr(0, 1000).c_str());
      }
      const bool exported = run.exited_with(0) && args[1] == "mcap";
      if (read_file(bag.path) != before || !bystanders.intact(exported)) {
        ++tally.changed;
        std::printf("CHANGED %s:%s\n", bag.name.c_str(), line.c_str());
        write_file(bag.path, before);
        write_file(dir.file("prev.mcap"), "an earlier export");
      }
      if (!dir.files_matching(".", "").empty()) {
        ++tally.left_behind;
        std::printf("LEFT BEHIND %s:%s\n", bag.name.c_str(), line.c_str());
        for (const auto& f : dir.files_matching(".", "")) {
          unlink(f.c_str());
        }
      }
      unlink(dir.file("out.mcap").c_str());
      unlink(dir.file("-").c_str());
    }
    if (bag.replay_ends) {
      running.push_back(Replay{std::make_unique<Child>(std::vector<std::string>{
                                   tool, "replay", "-d", domain, "-l", "debug", bag.path}),
                               bag.path, bag.name});
      settle_replays(8);
    }
  }
  settle_replays(0);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf(
      "bags %zu  argument vectors %llu  crashes %llu  hangs %llu  changed inputs %llu  "
      "temporary files left %llu  replays %llu  replays exiting 0 with fewer samples %llu  "
      "replay hangs %llu  replays in an announced wait of hours %llu  (%.0f s)\n",
      bags, static_cast<unsigned long long>(tally.argv),
      static_cast<unsigned long long>(tally.crashes), static_cast<unsigned long long>(tally.hangs),
      static_cast<unsigned long long>(tally.changed),
      static_cast<unsigned long long>(tally.left_behind),
      static_cast<unsigned long long>(tally.replays),
      static_cast<unsigned long long>(tally.dishonest),
      static_cast<unsigned long long>(tally.replay_hangs),
      static_cast<unsigned long long>(tally.long_waits), seconds);
  return tally.crashes + tally.hangs + tally.changed + tally.left_behind + tally.dishonest +
                     tally.replay_hangs ==
                 0
             ? 0
             : 1;
}
