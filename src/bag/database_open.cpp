#include "bag/database_open.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "bag/database.h"
#include "bag/sqlite_busy.h"
#include "log/logger.h"

namespace {

// Whether the tables a replay reads, topics and data, are present (the
// writers table is a catalogue that nothing reads back). Logs and returns false when
// the schema cannot be read (a file that is not an SQLite database fails here,
// since SQLite reads the file header only at the first query).
bool has_bag_tables(sqlite3* db, std::string* error) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT name FROM sqlite_master WHERE type = 'table' AND name = ?", -1,
                         &stmt, nullptr) != SQLITE_OK) {
    *error = std::string("Cannot read database (") + sqlite3_errmsg(db) + ")";
    sqlite3_finalize(stmt);
    return false;
  }
  bool complete = true;
  for (const char* table : {"topics", "data"}) {
    sqlite3_reset(stmt);
    sqlite3_bind_text(stmt, 1, table, -1, SQLITE_STATIC);
    int step = sqlite3_step(stmt);
    if (step == SQLITE_ROW) {
      continue;
    }
    if (step == SQLITE_DONE) {
      *error = std::string("Not a bag: table ") + table + " is missing";
    } else {
      *error = std::string("Cannot read database (") + sqlite3_errmsg(db) + ")";
    }
    complete = false;
    break;
  }
  sqlite3_finalize(stmt);
  return complete;
}

// Whether the file's SQLite header says WAL mode (file format version 2 at
// bytes 18 and 19).
bool uses_wal(const char* path) {
  unsigned char header[20] = {};
  FILE* file = std::fopen(path, "rb");
  if (file == nullptr) {
    return false;
  }
  const size_t n = std::fread(header, 1, sizeof header, file);
  std::fclose(file);
  return n == sizeof header && (header[18] == 2 || header[19] == 2);
}

}  // namespace

namespace rnr::bag {

sqlite3* open_existing_bag(const char* path, std::string* error) {
  if (path == nullptr || strnlen(path, sizeof(rnr_Database::path)) >= sizeof(rnr_Database::path)) {
    *error = std::string("Cannot open database ") +
             (path != nullptr ? std::string(path, strnlen(path, 255)) + "...: the name is too long"
                              : "(null)");
    return nullptr;
  }

  // Only a regular file can be a bag; opening a FIFO or a device would block
  // or read something that is not a file at all.
  struct stat st {};
  if (stat(path, &st) != 0) {
    *error = std::string("Cannot open database ") + path + " (" + std::strerror(errno) + ")";
    return nullptr;
  }
  if (!S_ISREG(st.st_mode)) {
    *error = std::string("Cannot open database ") + path + " (not a regular file)";
    return nullptr;
  }

  // Read-write, but never create: a hot journal left by a recorder that died
  // during a commit can then be rolled back, which a read-only connection
  // cannot do. Nothing else is ever written. A bag in WAL mode (written by
  // another tool) stays read-only: a read-write connection would create its
  // -wal and -shm files. A reader's connection is used by one thread at a
  // time, so SQLite's own locking of every call is left out.
  const int access = uses_wal(path) ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path, &db, access | SQLITE_OPEN_PRIVATECACHE | SQLITE_OPEN_NOMUTEX,
                      nullptr) != SQLITE_OK) {
    *error = std::string("Cannot open database ") + path + " (" +
             (db != nullptr ? sqlite3_errmsg(db) : "out of memory") + ")";
    sqlite3_close(db);
    return nullptr;
  }
  // A recorder may be writing the bag: wait for its commits.
  rnr_sqlite_set_busy_timeout(db);
  if (!has_bag_tables(db, error)) {
    sqlite3_close(db);
    return nullptr;
  }
  return db;
}

}  // namespace rnr::bag

rnr_Database* rnr_Database_open_existing(const char* path) {
  std::string error;
  sqlite3* db = rnr::bag::open_existing_bag(path, &error);
  if (db == nullptr) {
    rnr_log(RNR_LOG_ERROR, "Database %s", error.c_str());
    return nullptr;
  }
  auto* store = new (std::nothrow) rnr_Database{};
  if (store == nullptr) {
    rnr_log(RNR_LOG_ERROR, "Database Cannot open database %s (out of memory)", path);
    sqlite3_close(db);
    return nullptr;
  }
  std::memcpy(store->path, path, std::strlen(path) + 1);
  store->db = db;
  return store;
}
