// Waiting for the locks other connections hold on a bag. The recorder writes
// a bag while others may read it: SQLite's rollback journal lets a reader's
// lock hold up a commit and a commit's lock hold up a reader, so every
// connection to a bag waits for the other side instead of failing at once.
#pragma once

#include <sqlite3.h>

#include <string>

struct rnr_Database;

// How long a connection waits for another one's lock before its statement
// fails with "database is locked".
constexpr int RNR_SQLITE_BUSY_TIMEOUT_MS = 30000;

// For connections that only read a bag (the bag tool, replay). Header-only,
// so that readers need not link the store.
inline void rnr_sqlite_set_busy_timeout(sqlite3* db) {
  sqlite3_busy_timeout(db, RNR_SQLITE_BUSY_TIMEOUT_MS);
}

namespace rnr::bag::internal {

// The store's own waiting on its connection: up to RNR_SQLITE_BUSY_TIMEOUT_MS
// for every statement, except that a batch write of the store thread gives up
// after 2 s while the recording goes on (it is retried; the pause lets
// readers queued behind its lock in). Once the bulk insert is ending, a wait
// longer than a moment is logged once, naming the processes that hold the
// bag.
void install_busy_handler(rnr_Database* store);

// Marks the calling thread as the store thread.
void mark_store_thread();

// Why the last call on `db` failed, as SQLite says it, with the system's
// reason behind it when the failure came from the file (a full disk, a
// permission, a missing directory): "database or disk is full: No space left
// on device".
std::string describe_error(sqlite3* db);

// "pid 12 (sqlite3), pid 40 (quorvin-rnr-bag)": the other processes that hold
// a lock on the file, as the kernel lists them; "another process" when none
// can be named.
std::string lock_holders(const char* path);

}  // namespace rnr::bag::internal
