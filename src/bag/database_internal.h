// What the two halves of the bag store share: the catalogue and lifecycle
// (database.cpp) and the bulk insert with its store thread (bulk_insert.cpp).
#pragma once

#include <sqlite3.h>

#include "bag/database.h"

namespace rnr::bag::internal {

// Finalizes its statement when it goes out of scope.
struct Statement {
  sqlite3_stmt* stmt = nullptr;
  Statement() = default;
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  ~Statement() { sqlite3_finalize(stmt); }
};

// What a write of the store thread (a batch of samples, a group of
// catalogue writes) came to.
enum class WriteResult { kWritten, kLocked, kFailed };

// True for the SQLite codes of a lock held by another connection.
inline bool is_lock_code(int rc) {
  return (rc & 0xff) == SQLITE_BUSY || (rc & 0xff) == SQLITE_LOCKED;
}

// Releases the bulk insert's batches and thread state; the bulk insert has
// ended. Null is accepted.
void delete_bulk_writer(rnr_BulkWriter* writer);

}  // namespace rnr::bag::internal
