// The writing of sample sources, shared by the bulk insert (bulk_insert.cpp)
// and the table's own operations (sample_sources.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "bag/sample_sources.h"

namespace rnr::bag::internal {

// True when the source says anything worth a row.
inline bool source_known(const rnr_SampleSource& s) {
  return s.writer_id != 0 || s.source_timestamp != 0 || s.sequence != 0;
}

// One source row to write: the sample's data._id and its source.
struct SourceRow {
  int64_t data_id;
  rnr_SampleSource source;
};

// Inserts the sources into sample_sources, in ascending data ids: one table
// row per run of one writer's consecutive samples with consecutive numbers,
// a piece of rows per statement. The statements of a full piece and of one
// row are kept prepared in `*cached_piece` and `*cached_single` for the
// next call (null: none kept). The caller holds `connection_mutex` and has
// a transaction open. False with `error` and the SQLite result in `*rc` on
// failure.
bool insert_sources(rnr_Database* store, const SourceRow* rows, size_t count,
                    sqlite3_stmt** cached_piece, sqlite3_stmt** cached_single, std::string* error,
                    int* rc);

}  // namespace rnr::bag::internal
