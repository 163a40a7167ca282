#include "bag/sqlite_busy.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "bag/database.h"
#include "log/logger.h"

namespace {

using Clock = std::chrono::steady_clock;

thread_local bool t_store_thread = false;
thread_local Clock::time_point t_busy_since;

constexpr std::chrono::seconds kStoreThreadPatience{2};
constexpr std::chrono::milliseconds kReportAfter{200};

int busy_handler(void* context, int count) {
  auto* store = static_cast<rnr_Database*>(context);
  const Clock::time_point now = Clock::now();
  if (count == 0) {
    t_busy_since = now;
  }
  const auto waited = now - t_busy_since;
  const bool ending = store->bulk_insert_ending.load();
  const auto patience = t_store_thread && !ending
                            ? std::chrono::duration_cast<Clock::duration>(kStoreThreadPatience)
                            : std::chrono::duration_cast<Clock::duration>(
                                  std::chrono::milliseconds(RNR_SQLITE_BUSY_TIMEOUT_MS));
  if (waited >= patience) {
    return 0;
  }
  if (ending && waited >= kReportAfter && !store->ending_wait_reported.exchange(true)) {
    rnr_log(RNR_LOG_WARN, "Database Waiting up to %d s for the readers of %s to let go: %s",
            RNR_SQLITE_BUSY_TIMEOUT_MS / 1000, store->path,
            rnr::bag::internal::lock_holders(store->path).c_str());
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(count < 10 ? count + 1 : 10));
  return 1;
}

}  // namespace

void rnr::bag::internal::install_busy_handler(rnr_Database* store) {
  sqlite3_busy_handler(store->db, busy_handler, store);
}

void rnr::bag::internal::mark_store_thread() {
  t_store_thread = true;
}

std::string rnr::bag::internal::lock_holders(const char* path) {
  struct stat st {};
  if (stat(path, &st) != 0) {
    return "another process";
  }
  // Lines like "1: POSIX  ADVISORY  READ 1234 08:01:5678 1073741826 1073742335";
  // blocked requests carry "->" after the number.
  std::ifstream locks("/proc/locks");
  std::set<long> pids;
  std::string line;
  char device[64];
  std::snprintf(device, sizeof device, "%02x:%02x:%llu", major(st.st_dev), minor(st.st_dev),
                static_cast<unsigned long long>(st.st_ino));
  // Appended rather than `":" + std::to_string(...)`, which GCC 12 at -O3
  // wrongly reports as an overlapping copy (-Wrestrict).
  std::string inode = ":";
  inode += std::to_string(static_cast<unsigned long long>(st.st_ino));
  while (std::getline(locks, line)) {
    std::istringstream in(line);
    std::string field;
    std::vector<std::string> fields;
    while (in >> field) {
      if (field != "->") {
        fields.push_back(field);
      }
    }
    if (fields.size() < 6) {
      continue;
    }
    const std::string& id = fields[5];
    // The device as the kernel prints it may differ from stat's on stacked
    // file systems; the inode then decides.
    const bool same =
        id == device || (id.size() > inode.size() &&
                         id.compare(id.size() - inode.size(), inode.size(), inode) == 0);
    long pid = 0;
    try {
      pid = std::stol(fields[4]);
    } catch (const std::exception&) {
      continue;
    }
    if (same && pid > 0 && pid != getpid()) {
      pids.insert(pid);
    }
  }
  std::string names;
  for (long pid : pids) {
    std::string comm;
    std::ifstream(std::string("/proc/") + std::to_string(pid) + "/comm") >> comm;
    if (!names.empty()) {
      names += ", ";
    }
    names += "pid " + std::to_string(pid) + (comm.empty() ? "" : " (" + comm + ")");
  }
  return names.empty() ? "another process" : names;
}

std::string rnr::bag::internal::describe_error(sqlite3* db) {
  if (db == nullptr) {
    return "out of memory";
  }
  std::string text = sqlite3_errmsg(db);
  switch (sqlite3_extended_errcode(db) & 0xff) {
    case SQLITE_IOERR:
    case SQLITE_FULL:
    case SQLITE_CANTOPEN:
    case SQLITE_READONLY:
    case SQLITE_PERM: {
      const int sys = sqlite3_system_errno(db);
      if (sys != 0) {
        text.append(": ");
        text.append(std::strerror(sys));
      }
      break;
    }
    default:
      break;
  }
  return text;
}
