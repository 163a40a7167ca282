// What a recording that goes on in several bags needs of the store: the
// catalogue of one bag copied into the next with the same ids, and the
// `repeated_rows` table that marks the rows at a bag's head which repeat
// samples recorded before it (the latched state a bag starts with).
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <vector>

#include "bag/database.h"

// Commits what `from` still queues of its catalogue, then copies its
// `topics`, `writers` and `writer_qos` rows, ids included, into `to`, a new
// bag without rows whose bulk insert has not started yet. The caller keeps
// the catalogue of `from` from changing meanwhile. False (logged) on failure.
bool rnr_Database_copy_catalogue(rnr_Database* from, rnr_Database* to);

// One row of `repeated_rows`: the `data._id` of a row that repeats a sample,
// and the reception time of the sample it repeats.
struct rnr_RepeatedRow {
  int64_t data_id = 0;
  int64_t original_timestamp = 0;
};

// Creates `repeated_rows(data_id, original_timestamp)` unless it exists.
// False (logged) when it cannot.
bool rnr_Database_create_repeated_rows_table(rnr_Database* store);

// Adds the rows in one transaction; safe while the bulk insert runs. False
// (logged) on failure.
bool rnr_Database_insert_repeated_rows(rnr_Database* store,
                                       const std::vector<rnr_RepeatedRow>& rows);

// Every row of the table by data id; empty for a bag without it. False with
// `error` set when the table exists but cannot be read. Logs nothing.
bool rnr_bag_read_repeated_rows(sqlite3* db, std::vector<rnr_RepeatedRow>* rows,
                                std::string* error);
