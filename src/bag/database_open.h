// Opening an existing bag for reading only.
#pragma once

#include <string>

struct rnr_Database;
struct sqlite3;

// Opens the existing bag at `path` for reading. The file is never created and
// nothing is written to it, except that SQLite rolls back a hot journal left
// by a recorder that died during a commit. Fails (null, with one "Database"
// line) when the path is 256 bytes or longer, names no regular file, is not an
// SQLite database, or lacks one of the tables topics and data (a bag without
// its writers table is still a bag).
// The store serves the catalogue reads and rnr_Database_destroy.
rnr_Database* rnr_Database_open_existing(const char* path);

namespace rnr::bag {

// The connection under rnr_Database_open_existing, for readers that keep no
// store: the same checks, with the reason of a failure in `error` ("Cannot
// open database", "Not a bag: table data is missing", ...) instead of a log
// line. Waits up to a few seconds for a writer's lock before giving up.
sqlite3* open_existing_bag(const char* path, std::string* error);

}  // namespace rnr::bag
