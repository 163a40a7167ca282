// `set-type`: stores a type description from an IDL file in a bag, for a
// topic whose writers announced none. The only command that changes its
// input: one UPDATE of the topic's rows in one transaction, after its first
// samples decode with the description, and never while another process has
// the bag open for writing (a recorder) or holds a write lock on it.
#include <dirent.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <set>

#include "bag/bag_reader.h"
#include "bagtool/commands.h"
#include "bagtool/supplied_types.h"

namespace rnr::bagtool {
namespace {

// How many of the topic's first samples the description must decode.
constexpr size_t kCheckedSamples = 8;

struct DatabaseCloser {
  void operator()(sqlite3* db) const { sqlite3_close(db); }
};
struct StatementCloser {
  void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};

// "pid 12 (quorvin-rnr-bag-r)" for each other process that has `path` open
// for writing, as /proc shows the processes this user may look into; empty
// when there is none.
std::string writing_processes(const std::string& path) {
  struct stat bag {};
  if (stat(path.c_str(), &bag) != 0) {
    return "";
  }
  std::unique_ptr<DIR, int (*)(DIR*)> proc(opendir("/proc"), closedir);
  if (!proc) {
    return "";
  }
  std::set<long> pids;
  while (dirent* entry = readdir(proc.get())) {
    char* end = nullptr;
    const long pid = std::strtol(entry->d_name, &end, 10);
    if (pid <= 0 || *end != '\0' || pid == getpid()) {
      continue;
    }
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(fds.c_str()), closedir);
    if (!dir) {
      continue;
    }
    while (dirent* fd = readdir(dir.get())) {
      if (fd->d_name[0] == '.') {
        continue;
      }
      struct stat st {};
      std::string link = fds;
      link += '/';
      link += fd->d_name;
      if (stat(link.c_str(), &st) != 0 || st.st_dev != bag.st_dev || st.st_ino != bag.st_ino) {
        continue;
      }
      // fdinfo's "flags:" are the open flags in octal.
      std::string info = "/proc/" + std::to_string(pid) + "/fdinfo/";
      info += fd->d_name;
      std::ifstream in(info);
      std::string key;
      std::string flags;
      while (in >> key >> flags && key != "flags:") {
      }
      if (key == "flags:" && (std::strtoul(flags.c_str(), nullptr, 8) & 3u) != 0) {
        pids.insert(pid);
      }
    }
  }
  std::string names;
  for (long pid : pids) {
    std::string comm;
    std::ifstream("/proc/" + std::to_string(pid) + "/comm") >> comm;
    if (!names.empty()) {
      names += ", ";
    }
    names += "pid " + std::to_string(pid) + " (" + comm + ")";
  }
  return names;
}

}  // namespace

int run_set_type(const std::string& bag, const std::string& topic_name, const std::string& file,
                 bool force) {
  const std::string failed = "set-type: " + bag + ": ";
  SuppliedTypes supplied;
  std::string error;
  if (!supplied.load({file}, &error)) {
    return report_failure("set-type: " + error);
  }
  std::vector<bag::TopicSummary> topics;
  std::vector<std::pair<int64_t, std::string>> updates;  // topics row, description
  {
    bag::BagReader reader;
    if (!reader.open(bag, &error) || !reader.topics(&topics, false, &error)) {
      return report_failure(failed + error);
    }
    for (const bag::TopicSummary& t : topics) {
      if (t.name != topic_name) {
        continue;
      }
      if (t.metastring && !t.metastring->empty() && !force) {
        return report_failure(failed + "topic " + t.name + " (" + t.type +
                              ") has a type description already; --force replaces it");
      }
      auto text = supplied.description(t.type, &error);
      if (!text) {
        return report_failure(failed + "topic " + t.name + ": " + error);
      }
      if (!samples_fit(reader, t, *text, kCheckedSamples, &error)) {
        return report_failure(failed + "topic " + t.name + ": " + file + ": " + error +
                              "; nothing written");
      }
      updates.emplace_back(t.id, std::move(*text));
    }
  }
  if (updates.empty()) {
    return report_failure(failed + "no topic " + topic_name);
  }
  if (std::string holders = writing_processes(bag); !holders.empty()) {
    return report_failure(failed + "open for writing by " + holders + "; nothing written");
  }
  sqlite3* opened = nullptr;
  const int rc = sqlite3_open_v2(bag.c_str(), &opened, SQLITE_OPEN_READWRITE, nullptr);
  std::unique_ptr<sqlite3, DatabaseCloser> db(opened);
  if (rc != SQLITE_OK) {
    return report_failure(failed + "cannot open for writing (" +
                          (opened ? sqlite3_errmsg(opened) : sqlite3_errstr(rc)) + ")");
  }
  // A lock held elsewhere (a recorder's commit, another writer) refuses the
  // change rather than waiting for it.
  sqlite3_busy_timeout(db.get(), 200);
  if (sqlite3_exec(db.get(), "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) {
    return report_failure(failed + "held by another connection (" + sqlite3_errmsg(db.get()) +
                          "); nothing written");
  }
  sqlite3_stmt* prepared = nullptr;
  sqlite3_prepare_v2(db.get(), "UPDATE topics SET metastring = ? WHERE _id = ?", -1, &prepared,
                     nullptr);
  std::unique_ptr<sqlite3_stmt, StatementCloser> update(prepared);
  bool ok = update != nullptr;
  for (size_t i = 0; ok && i < updates.size(); ++i) {
    const auto& [id, text] = updates[i];
    ok = sqlite3_bind_text(update.get(), 1, text.c_str(), static_cast<int>(text.size()),
                           SQLITE_TRANSIENT) == SQLITE_OK &&
         sqlite3_bind_int64(update.get(), 2, id) == SQLITE_OK &&
         sqlite3_step(update.get()) == SQLITE_DONE && sqlite3_changes(db.get()) == 1 &&
         sqlite3_reset(update.get()) == SQLITE_OK;
  }
  update.reset();
  if (!ok || sqlite3_exec(db.get(), "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
    const std::string why = sqlite3_errmsg(db.get());
    sqlite3_exec(db.get(), "ROLLBACK", nullptr, nullptr, nullptr);
    return report_failure(failed + "cannot store the description (" + why + "); nothing written");
  }
  return 0;
}

}  // namespace rnr::bagtool
