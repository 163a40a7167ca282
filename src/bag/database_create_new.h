// Creating a bag that is certain to be new.
#pragma once

#include "bag/database.h"

// Creates the bag file `path`, which must not exist yet, and opens it as a
// store (rnr_Database_create). An existing file, a name of 256 bytes or more,
// or any other failure logs "Database Cannot open database" with the name and
// the reason (or the store's own line) and returns null; an existing file is
// left untouched.
rnr_Database* rnr_Database_create_new(const char* path);

// Like rnr_Database_create_new, but when `path` exists the same name with
// "_2", "_3", ... before its ".sqlite3" (or at its end) is taken instead: the
// first that does not exist. The store's `path` tells which. Existing files
// are never touched.
rnr_Database* rnr_Database_create_new_numbered(const char* path);
