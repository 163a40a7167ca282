#include <sqlite3.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/drivers.h"
#include "app/run_control.h"
#include "log/logger.h"
#include "replayer/replayer.h"

namespace {

// Set when the replay cannot run, or could not write every sample; the run
// then ends with status 1.
std::atomic<bool> replay_failed{false};

// Called on the replay thread when the bag has been played to its end or the
// replay was stopped. A replay that could not write every sample (the
// replayer has said how many and why) did not finish its job.
void on_replay_finished(rnr_replayer* replayer) {
  if (rnr_replayer_unwritten(replayer) > 0) {
    replay_failed = true;
  } else {
    std::puts("Replay finished");
    std::fflush(stdout);
  }
  is_running = false;
}

void on_replay_failed(rnr_replayer* /*replayer*/) {
  replay_failed = true;
  is_running = false;
}

// What keeps the file at `path` from being a bag, as far as its kind and its
// tables tell; empty when nothing is seen (the replayer's own checks follow
// in any case).
std::string bag_problem(const char* path) {
  struct stat st {};
  if (stat(path, &st) != 0) {
    return errno == ENOENT ? "no such file" : std::strerror(errno);
  }
  if (S_ISDIR(st.st_mode)) {
    return "is a directory, not a bag file";
  }
  if (!S_ISREG(st.st_mode)) {
    return "is not a regular file";
  }
  FILE* file = std::fopen(path, "rb");
  if (file == nullptr) {
    return std::strerror(errno);
  }
  char head[16] = {};
  const size_t got = std::fread(head, 1, sizeof head, file);
  std::fclose(file);
  if (got == 0) {
    return "is empty, not an SQLite file";
  }
  if (got >= 5 && std::memcmp(head, "\x89MCAP", 5) == 0) {
    return "is an MCAP file; replay plays the SQLite bags that record writes";
  }
  if (got < sizeof head || std::memcmp(head, "SQLite format 3", sizeof head) != 0) {
    return "is not an SQLite file";
  }
  sqlite3* db = nullptr;
  std::string problem;
  sqlite3_stmt* stmt = nullptr;
  // Only a schema that could be read and lacks a table is named: a lock or
  // a damaged file is left to the replayer's lines.
  if (sqlite3_open_v2(path, &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
      sqlite3_prepare_v2(db, "SELECT name FROM sqlite_master WHERE type = 'table'", -1, &stmt,
                         nullptr) == SQLITE_OK) {
    bool topics = false, data = false;
    int step;
    while ((step = sqlite3_step(stmt)) == SQLITE_ROW) {
      const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
      topics = topics || (name != nullptr && std::strcmp(name, "topics") == 0);
      data = data || (name != nullptr && std::strcmp(name, "data") == 0);
    }
    if (step == SQLITE_DONE && (!topics || !data)) {
      problem = std::string("is an SQLite file but not a bag: it has no table ") +
                (topics ? "data" : "topics");
    }
  }
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return problem;
}

}  // namespace

int replay_driver(app_config* config) {
  // The cause first, where it can be seen; the replayer's lines follow.
  if (const std::string problem = bag_problem(config->bag_file); !problem.empty()) {
    rnr_log(RNR_LOG_ERROR, "Main Bag %s: %s", config->bag_file, problem.c_str());
  }
  rnr_replayer_set_stop_check([] { return !is_running.load(); });
  rnr_replayer* replayer = rnr_replayer_create(config->bag_file, config->domain_id);
  if (replayer == nullptr) {
    rnr_log(RNR_LOG_ERROR, "Main Cannot create replayer");
    return 1;
  }
  rnr_replayer_set_on_replay_finished(replayer, on_replay_finished);
  rnr_replayer_set_on_replay_failed(replayer, on_replay_failed);
  rnr_replayer_start_replay(replayer);
  app_run_loop();
  rnr_replayer_stop_replay(replayer);
  rnr_replayer_destroy(replayer);
  if (replay_failed) {
    rnr_log(RNR_LOG_ERROR, "Main Replay failed");
    return 1;
  }
  return 0;
}
