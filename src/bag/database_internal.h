// What the two halves of the bag store share: the catalogue and lifecycle
// (database.cpp) and the bulk insert with its store thread (bulk_insert.cpp).
#pragma once

#include <sqlite3.h>

#include "bag/database.h"

namespace bag_internal {

// Finalizes its statement when it goes out of scope.
struct Statement {
  sqlite3_stmt* stmt = nullptr;
  Statement() = default;
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  ~Statement() { sqlite3_finalize(stmt); }
};

// Releases the bulk insert's batches and thread state; the bulk insert has
// ended. Null is accepted.
void delete_bulk_writer(rnr_BulkWriter* writer);

}  // namespace bag_internal
