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

// Inserts the rows into sample_sources, as few statements as the
// connection's parameter limit allows; a statement for `cached_rows` rows is
// kept prepared in `*cached` for the next call (null `cached`: none kept).
// The caller holds `connection_mutex` and has a transaction open. False with
// `error` and the SQLite result in `*rc` on failure.
bool insert_sources(rnr_Database* store, const SourceRow* rows, size_t count, sqlite3_stmt** cached,
                    size_t* cached_rows, std::string* error, int* rc);

}  // namespace rnr::bag::internal
