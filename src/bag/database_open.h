// Opening an existing bag for reading only.
#pragma once

struct rnr_Database;

// Opens the bag at `path` read-only: the file is never created and never
// written, so the bag stays byte-for-byte as it was. Fails (null, with one
// "Database" line) when the path is 256 bytes or longer, names no file, is not
// an SQLite database, or lacks one of the tables topics, writers and data.
// The store serves the catalogue reads and rnr_Database_destroy.
rnr_Database* rnr_Database_open_existing(const char* path);
