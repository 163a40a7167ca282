#include "bag/bag_reader.h"

#include <sqlite3.h>

#include <memory>

#include "bag/database_open.h"

namespace rnr::bag {
namespace {

struct StatementDeleter {
  void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementDeleter>;

std::string text_column(sqlite3_stmt* stmt, int column) {
  const auto* text = sqlite3_column_text(stmt, column);
  return text == nullptr ? std::string()
                         : std::string(reinterpret_cast<const char*>(text),
                                       static_cast<size_t>(sqlite3_column_bytes(stmt, column)));
}

// "topic_id IN (1,2)" for a selection of topics.
std::string topic_list(const std::vector<int64_t>& topic_ids) {
  std::string in = "topic_id IN (";
  for (size_t i = 0; i < topic_ids.size(); ++i) {
    if (i > 0) {
      in += ",";
    }
    in += std::to_string(topic_ids[i]);
  }
  return in + ")";
}

// The conditions of a filter after "WHERE", "" when it selects everything.
// The time bounds are parameters ?2 and ?3.
std::string conditions(const SampleFilter& filter) {
  std::string where;
  auto add = [&](const std::string& condition) {
    where += where.empty() ? condition : " AND " + condition;
  };
  if (!filter.topic_ids.empty()) {
    add(topic_list(filter.topic_ids));
  }
  if (filter.start) {
    add("timestamp >= ?2");
  }
  if (filter.end) {
    add("timestamp <= ?3");
  }
  return where;
}

bool bind_times(sqlite3_stmt* stmt, const SampleFilter& filter) {
  return (!filter.start || sqlite3_bind_int64(stmt, 2, *filter.start) == SQLITE_OK) &&
         (!filter.end || sqlite3_bind_int64(stmt, 3, *filter.end) == SQLITE_OK);
}

// The statement's current row (columns _id, topic_id, timestamp,
// serialized_data), its bytes where SQLite holds them until the next step.
SampleRow row_at(sqlite3_stmt* stmt) {
  SampleRow row;
  row.id = sqlite3_column_int64(stmt, 0);
  row.topic_id = sqlite3_column_int64(stmt, 1);
  row.timestamp_is_integer = sqlite3_column_type(stmt, 2) == SQLITE_INTEGER;
  row.timestamp = sqlite3_column_int64(stmt, 2);
  row.data = static_cast<const uint8_t*>(sqlite3_column_blob(stmt, 3));
  row.size = row.data == nullptr ? 0 : static_cast<size_t>(sqlite3_column_bytes(stmt, 3));
  return row;
}

// Appends the statement's current row to the chunk; the rows' data pointers
// are set once the chunk is complete, since the byte buffer may still move.
void copy_row(sqlite3_stmt* stmt, std::vector<SampleRow>* rows, std::vector<uint8_t>* bytes,
              std::vector<size_t>* offsets) {
  SampleRow row = row_at(stmt);
  offsets->push_back(bytes->size());
  bytes->insert(bytes->end(), row.data, row.data + row.size);
  row.data = nullptr;
  rows->push_back(row);
}

void point_rows(std::vector<SampleRow>* rows, const std::vector<uint8_t>& bytes,
                const std::vector<size_t>& offsets) {
  for (size_t i = 0; i < rows->size(); ++i) {
    (*rows)[i].data = (*rows)[i].size == 0 ? nullptr : bytes.data() + offsets[i];
  }
}

}  // namespace

BagReader::~BagReader() {
  sqlite3_finalize(chunk_stmt_);
  if (owned_) {
    sqlite3_close(db_);
  }
}

bool BagReader::fail(const char* what, std::string* error) {
  *error = std::string(what) + ": " + (db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory");
  return false;
}

bool BagReader::open(const std::string& path, std::string* error) {
  db_ = open_existing_bag(path.c_str(), error);
  owned_ = db_ != nullptr;
  return owned_;
}

bool BagReader::topics(std::vector<TopicSummary>* out, bool statistics, std::string* error) {
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db_,
                         "SELECT _id, topic_name, type_name, metastring, is_with_key FROM topics "
                         "ORDER BY _id",
                         -1, &raw, nullptr) != SQLITE_OK) {
    sqlite3_finalize(raw);
    return fail("cannot read the topics", error);
  }
  Statement stmt(raw);
  int step;
  while ((step = sqlite3_step(stmt.get())) == SQLITE_ROW) {
    TopicSummary t;
    t.id = sqlite3_column_int64(stmt.get(), 0);
    t.name = text_column(stmt.get(), 1);
    t.type = text_column(stmt.get(), 2);
    if (sqlite3_column_type(stmt.get(), 3) != SQLITE_NULL) {
      t.metastring = text_column(stmt.get(), 3);
    }
    t.is_with_key = sqlite3_column_int64(stmt.get(), 4);
    t.keyed = t.is_with_key != 0;
    out->push_back(std::move(t));
  }
  if (step != SQLITE_DONE) {
    return fail("cannot read the topics", error);
  }
  if (!statistics) {
    return true;
  }

  raw = nullptr;
  if (sqlite3_prepare_v2(db_,
                         "SELECT topic_id, COUNT(*), SUM(LENGTH(serialized_data)), "
                         "MIN(timestamp), MAX(timestamp) FROM data GROUP BY topic_id",
                         -1, &raw, nullptr) != SQLITE_OK) {
    sqlite3_finalize(raw);
    return fail("cannot read the samples", error);
  }
  stmt.reset(raw);
  while ((step = sqlite3_step(stmt.get())) == SQLITE_ROW) {
    const int64_t id = sqlite3_column_int64(stmt.get(), 0);
    for (auto& t : *out) {
      if (t.id == id) {
        t.samples = static_cast<uint64_t>(sqlite3_column_int64(stmt.get(), 1));
        t.bytes = static_cast<uint64_t>(sqlite3_column_int64(stmt.get(), 2));
        t.first = sqlite3_column_int64(stmt.get(), 3);
        t.last = sqlite3_column_int64(stmt.get(), 4);
      }
    }
  }
  return step == SQLITE_DONE || fail("cannot read the samples", error);
}

bool BagReader::writers(std::vector<std::string>* out, std::string* error) {
  // The writers table is a catalogue that nothing needs: a bag without it
  // simply names no writers.
  if (sqlite3_table_column_metadata(db_, nullptr, "writers", nullptr, nullptr, nullptr, nullptr,
                                    nullptr, nullptr) != SQLITE_OK) {
    return true;
  }
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db_, "SELECT guid FROM writers ORDER BY _id", -1, &raw, nullptr) !=
      SQLITE_OK) {
    sqlite3_finalize(raw);
    return fail("cannot read the writers", error);
  }
  Statement stmt(raw);
  int step;
  while ((step = sqlite3_step(stmt.get())) == SQLITE_ROW) {
    out->push_back(text_column(stmt.get(), 0));
  }
  return step == SQLITE_DONE || fail("cannot read the writers", error);
}

bool BagReader::writer_qos(std::vector<rnr_WriterQosRow>* out, std::string* error) {
  bool ok = true;
  *out = rnr_bag_read_writer_qos(db_, &ok);
  return ok || fail("cannot read the writers' QoS", error);
}

bool BagReader::count(const SampleFilter& filter, uint64_t* out, std::string* error) {
  const std::string where = conditions(filter);
  const std::string sql = "SELECT COUNT(*) FROM data" + (where.empty() ? "" : " WHERE " + where);
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &raw, nullptr) != SQLITE_OK) {
    sqlite3_finalize(raw);
    return fail("cannot read the samples", error);
  }
  Statement stmt(raw);
  if (!bind_times(stmt.get(), filter) || sqlite3_step(stmt.get()) != SQLITE_ROW) {
    return fail("cannot read the samples", error);
  }
  *out = static_cast<uint64_t>(sqlite3_column_int64(stmt.get(), 0));
  return true;
}

bool BagReader::time_span(int64_t* first, int64_t* last, bool* any, std::string* error) {
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db_,
                         "SELECT MIN(timestamp), MAX(timestamp) FROM data WHERE typeof(timestamp) "
                         "= 'integer'",
                         -1, &raw, nullptr) != SQLITE_OK) {
    sqlite3_finalize(raw);
    return fail("cannot read the samples", error);
  }
  Statement stmt(raw);
  if (sqlite3_step(stmt.get()) != SQLITE_ROW) {
    return fail("cannot read the samples", error);
  }
  *any = sqlite3_column_type(stmt.get(), 0) != SQLITE_NULL;
  *first = sqlite3_column_int64(stmt.get(), 0);
  *last = sqlite3_column_int64(stmt.get(), 1);
  return true;
}

sqlite3_stmt* BagReader::chunk_statement(const SampleFilter& filter, std::string* error) {
  const std::string where = conditions(filter);
  std::string sql = "SELECT _id, topic_id, timestamp, serialized_data FROM data WHERE _id > ?1" +
                    (where.empty() ? "" : " AND " + where) + " ORDER BY _id LIMIT ?4";
  if (chunk_stmt_ == nullptr || sql != chunk_sql_) {
    sqlite3_finalize(chunk_stmt_);
    chunk_stmt_ = nullptr;
    chunk_sql_.clear();
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &chunk_stmt_, nullptr) != SQLITE_OK) {
      sqlite3_finalize(chunk_stmt_);
      chunk_stmt_ = nullptr;
      fail("cannot read the samples", error);
      return nullptr;
    }
    chunk_sql_ = std::move(sql);
  }
  sqlite3_reset(chunk_stmt_);
  return chunk_stmt_;
}

template <typename OnRow>
bool BagReader::step_chunk(const SampleFilter& filter, int64_t after_id, OnRow on_row,
                           std::string* error) {
  sqlite3_stmt* stmt = chunk_statement(filter, error);
  if (stmt == nullptr) {
    return false;
  }
  if (sqlite3_bind_int64(stmt, 1, after_id) != SQLITE_OK || !bind_times(stmt, filter) ||
      sqlite3_bind_int64(stmt, 4, static_cast<sqlite3_int64>(kChunkRows)) != SQLITE_OK) {
    return fail("cannot read the samples", error);
  }
  // The statement's one implicit read transaction ends with the reset below.
  int step;
  bool integer_ids = true;
  while ((step = sqlite3_step(stmt)) == SQLITE_ROW) {
    // An _id that is no integer (a data table without its integer primary
    // key) sorts after every integer and cannot be read past in _id order.
    if (sqlite3_column_type(stmt, 0) != SQLITE_INTEGER) {
      integer_ids = false;
      break;
    }
    if (!on_row(stmt)) {
      step = SQLITE_DONE;
      break;
    }
  }
  bool ok = step == SQLITE_DONE || fail("cannot read the samples", error);
  if (ok && !integer_ids) {
    *error = "cannot read the samples: a row's _id is not an integer";
    ok = false;
  }
  sqlite3_reset(stmt);
  return ok;
}

bool BagReader::read_chunk(const SampleFilter& filter, int64_t after_id, SampleChunk* chunk,
                           std::string* error) {
  chunk->rows_.clear();
  chunk->bytes_.clear();
  chunk->offsets_.clear();
  const bool ok = step_chunk(
      filter, after_id,
      [chunk](sqlite3_stmt* stmt) {
        copy_row(stmt, &chunk->rows_, &chunk->bytes_, &chunk->offsets_);
        return chunk->bytes_.size() < kChunkBytes;
      },
      error);
  point_rows(&chunk->rows_, chunk->bytes_, chunk->offsets_);
  return ok;
}

bool BagReader::for_each_sample(const SampleFilter& filter,
                                const std::function<bool(const SampleRow&)>& visit,
                                std::string* error) {
  SampleChunk chunk;
  int64_t after = INT64_MIN;
  for (;;) {
    if (!read_chunk(filter, after, &chunk, error)) {
      return false;
    }
    if (chunk.empty()) {
      return true;
    }
    for (const SampleRow& row : chunk.rows()) {
      if (!visit(row)) {
        return true;
      }
    }
    after = chunk.last_id();
  }
}

bool BagReader::for_each_sample_in_place(const SampleFilter& filter,
                                         const std::function<bool(const SampleRow&)>& visit,
                                         std::string* error) {
  int64_t after = INT64_MIN;
  for (;;) {
    size_t rows = 0;
    size_t bytes = 0;
    bool stopped = false;
    // A chunk ends, as a copied one does, after kChunkBytes: a read
    // transaction is not held over a chunk of big samples.
    const bool ok = step_chunk(
        filter, after,
        [&](sqlite3_stmt* stmt) {
          const SampleRow row = row_at(stmt);
          ++rows;
          bytes += row.size;
          after = row.id;
          stopped = !visit(row);
          return !stopped && bytes < kChunkBytes;
        },
        error);
    if (!ok) {
      return false;
    }
    if (stopped || rows == 0) {
      return true;
    }
  }
}

bool BagReader::latest_before(const std::vector<int64_t>& topic_ids, int64_t before,
                              std::vector<int64_t>* ids, std::string* error) {
  if (topic_ids.empty()) {
    return true;
  }
  // Per topic, the row with the greatest (timestamp, _id) before the bound.
  const std::string sql =
      "SELECT latest FROM (SELECT (SELECT d._id FROM data d WHERE d.topic_id = t._id AND "
      "typeof(d.timestamp) = 'integer' AND d.timestamp < ?1 ORDER BY d.timestamp DESC, d._id "
      "DESC LIMIT 1) AS latest FROM topics t WHERE t." +
      topic_list(topic_ids).replace(0, 8, "_id") + ") WHERE latest IS NOT NULL ORDER BY latest";
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &raw, nullptr) != SQLITE_OK) {
    sqlite3_finalize(raw);
    return fail("cannot read the samples", error);
  }
  Statement stmt(raw);
  if (sqlite3_bind_int64(stmt.get(), 1, before) != SQLITE_OK) {
    return fail("cannot read the samples", error);
  }
  int step;
  while ((step = sqlite3_step(stmt.get())) == SQLITE_ROW) {
    ids->push_back(sqlite3_column_int64(stmt.get(), 0));
  }
  return step == SQLITE_DONE || fail("cannot read the samples", error);
}

bool BagReader::first_sample(int64_t topic_id, SampleChunk* chunk, std::string* error) {
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db_, "SELECT _id FROM data WHERE topic_id = ? ORDER BY _id LIMIT 1", -1,
                         &raw, nullptr) != SQLITE_OK) {
    sqlite3_finalize(raw);
    return fail("cannot read the samples", error);
  }
  Statement stmt(raw);
  if (sqlite3_bind_int64(stmt.get(), 1, topic_id) != SQLITE_OK) {
    return fail("cannot read the samples", error);
  }
  std::vector<int64_t> ids;
  const int step = sqlite3_step(stmt.get());
  if (step == SQLITE_ROW) {
    ids.push_back(sqlite3_column_int64(stmt.get(), 0));
  } else if (step != SQLITE_DONE) {
    return fail("cannot read the samples", error);
  }
  return read_ids(ids, chunk, error);
}

bool BagReader::read_ids(const std::vector<int64_t>& ids, SampleChunk* chunk, std::string* error) {
  chunk->rows_.clear();
  chunk->bytes_.clear();
  chunk->offsets_.clear();
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db_,
                         "SELECT _id, topic_id, timestamp, serialized_data FROM data WHERE _id = ?",
                         -1, &raw, nullptr) != SQLITE_OK) {
    sqlite3_finalize(raw);
    return fail("cannot read the samples", error);
  }
  Statement stmt(raw);
  for (int64_t id : ids) {
    sqlite3_reset(stmt.get());
    if (sqlite3_bind_int64(stmt.get(), 1, id) != SQLITE_OK) {
      return fail("cannot read the samples", error);
    }
    const int step = sqlite3_step(stmt.get());
    if (step == SQLITE_ROW) {
      copy_row(stmt.get(), &chunk->rows_, &chunk->bytes_, &chunk->offsets_);
    } else if (step != SQLITE_DONE) {
      return fail("cannot read the samples", error);
    }
  }
  point_rows(&chunk->rows_, chunk->bytes_, chunk->offsets_);
  return true;
}

}  // namespace rnr::bag
