#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "bag/catalogue.h"
#include "bag/database.h"
#include "bag/database_internal.h"
#include "bag/instance_events_internal.h"
#include "bag/sample_sources_internal.h"
#include "bag/sqlite_busy.h"
#include "log/logger.h"
#include "types/spin_pause.h"

using rnr::bag::internal::Statement;

namespace {

constexpr const char* kInsertDataRow =
    "INSERT INTO data(topic_id, timestamp, serialized_data) VALUES(?, ?, ?);";
constexpr const char kInsertDataPrefix[] =
    "INSERT INTO data(topic_id, timestamp, serialized_data) VALUES ";
constexpr const char kInsertDataGroup[] = "(?, ?, ?)";

constexpr size_t kParamsPerRow = 3;

// The text of an INSERT of `rows` data rows: the prefix, then one group per
// row joined by single commas. False when memory runs out.
bool build_batch_text(size_t rows, std::string& text) {
  try {
    text.clear();
    text.reserve(sizeof(kInsertDataPrefix) + rows * sizeof(kInsertDataGroup));
    text.append(kInsertDataPrefix, sizeof(kInsertDataPrefix) - 1);
    for (size_t i = 0; i < rows; ++i) {
      if (i > 0) {
        text.push_back(',');
      }
      text.append(kInsertDataGroup, sizeof(kInsertDataGroup) - 1);
    }
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

// Largest number of rows one statement can carry on this connection.
size_t max_batch_rows(sqlite3* db) {
  const int limit = sqlite3_limit(db, SQLITE_LIMIT_VARIABLE_NUMBER, -1);
  return limit > 0 ? static_cast<size_t>(limit) / kParamsPerRow : 0;
}

// Largest sample the connection accepts as one blob: below 2^31 (its length is
// handed over as an int) and small enough that its row, with the two integers
// and the record header, stays within the connection's length limit. A larger
// one would fail every batch it is part of.
size_t max_sample_size(sqlite3* db) {
  constexpr size_t kRowOverhead = 64;
  const int limit = sqlite3_limit(db, SQLITE_LIMIT_LENGTH, -1);
  return static_cast<size_t>(limit) > kRowOverhead ? static_cast<size_t>(limit) - kRowOverhead : 0;
}

// True when the sample can be stored; logs why not otherwise.
bool check_sample(rnr_Database* store, const rnr_DataRow* row) {
  const size_t limit = max_sample_size(store->db);
  if (row->serialized_data_size > limit) {
    rnr_log(RNR_LOG_ERROR,
            "Database Sample of %zu bytes is too large to store (topic_id %u, limit %zu bytes)",
            row->serialized_data_size, row->topic_id, limit);
    return false;
  }
  if (row->serialized_data == nullptr && row->serialized_data_size > 0) {
    rnr_log(RNR_LOG_ERROR, "Database Sample of %zu bytes has no data (topic_id %u)",
            row->serialized_data_size, row->topic_id);
    return false;
  }
  return true;
}

// Binds one sample to the parameters of row `index` of an INSERT into data.
// Logs the first failure.
bool bind_data_row(sqlite3_stmt* stmt, size_t index, const rnr_DataRow& row) {
  const int base = static_cast<int>(index * kParamsPerRow);
  // A 64-bit bind keeps every unsigned 32-bit id intact.
  if (sqlite3_bind_int64(stmt, base + 1, row.topic_id) != SQLITE_OK) {
    rnr_log(RNR_LOG_ERROR, "Database Cannot bind topic_id(%u)", row.topic_id);
    return false;
  }
  if (sqlite3_bind_int64(stmt, base + 2, static_cast<sqlite3_int64>(row.timestamp)) != SQLITE_OK) {
    rnr_log(RNR_LOG_ERROR, "Database Cannot bind timestamp(%lu)",
            static_cast<unsigned long>(row.timestamp));
    return false;
  }
  // An empty sample is stored as an empty blob, not as NULL.
  const void* bytes = row.serialized_data != nullptr ? row.serialized_data : "";
  if (sqlite3_bind_blob(stmt, base + 3, bytes, static_cast<int>(row.serialized_data_size),
                        SQLITE_STATIC) != SQLITE_OK) {
    rnr_log(RNR_LOG_ERROR, "Database Cannot bind data");
    return false;
  }
  return true;
}

// Writes one sample with the single-row INSERT. The caller has checked it.
bool insert_single_row(rnr_Database* store, const rnr_DataRow& row) {
  Statement st;
  const int rc = sqlite3_prepare_v2(store->db, kInsertDataRow, -1, &st.stmt, nullptr);
  if (rc != SQLITE_OK) {
    rnr_log(RNR_LOG_ERROR, "Database Cannot prepare sqlite3 query %d", rc);
    return false;
  }
  if (!bind_data_row(st.stmt, 0, row)) {
    return false;
  }
  std::lock_guard<std::mutex> connection(store->connection_mutex);
  if (sqlite3_step(st.stmt) != SQLITE_DONE) {
    rnr_log(RNR_LOG_ERROR, "Database Cannot execute sql (%s)",
            rnr::bag::internal::describe_error(store->db).c_str());
    return false;
  }
  return true;
}

// Writes one sample and its source in one transaction (inside the caller's
// when one is open). The caller has checked the sample.
bool insert_single_row_with_source(rnr_Database* store, const rnr_DataRow& row,
                                   const rnr_SampleSource& source) {
  Statement st;
  const int rc = sqlite3_prepare_v2(store->db, kInsertDataRow, -1, &st.stmt, nullptr);
  if (rc != SQLITE_OK) {
    rnr_log(RNR_LOG_ERROR, "Database Cannot prepare sqlite3 query %d", rc);
    return false;
  }
  if (!bind_data_row(st.stmt, 0, row)) {
    return false;
  }
  std::lock_guard<std::mutex> connection(store->connection_mutex);
  sqlite3* db = store->db;
  const bool own = sqlite3_get_autocommit(db) != 0;
  bool ok = !own || sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr) == SQLITE_OK;
  ok = ok && sqlite3_step(st.stmt) == SQLITE_DONE;
  std::string error;
  if (ok) {
    const rnr::bag::internal::SourceRow source_row{sqlite3_last_insert_rowid(db), source};
    int code = SQLITE_OK;
    ok = rnr::bag::internal::insert_sources(store, &source_row, 1, nullptr, nullptr, &error, &code);
  }
  ok = ok && (!own || sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK);
  if (!ok) {
    rnr_log(RNR_LOG_ERROR, "Database Cannot execute sql (%s)",
            error.empty() ? rnr::bag::internal::describe_error(db).c_str() : error.c_str());
    if (own && sqlite3_get_autocommit(db) == 0) {
      sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    }
  }
  return ok;
}

// How long the store thread waits before it tries a failed write again, and
// before it takes the bag's lock again after a reader kept it: readers that
// queued behind the store's pending lock get their turn meanwhile.
constexpr std::chrono::milliseconds kRetryInterval{250};
// A batch that is not full is handed to the store thread once its oldest
// sample is this old, so that every sample is committed within about 1 s.
constexpr std::chrono::milliseconds kPartialBatchAge{900};
// Queued catalogue writes are committed once the oldest is this old (or
// before the next batch of samples, whichever comes first): discovery of
// many topics at once shares a few commits.
constexpr std::chrono::milliseconds kCatalogueAge{20};
// Spare batches kept for reuse, and the largest buffer worth keeping.
constexpr size_t kSpareBatches = 2;
constexpr size_t kSpareBatchBytes = size_t{16} << 20;

// One batch of samples in arrival order; their bytes are copied one after
// another into one buffer, so a batch costs no allocation per sample.
struct Batch {
  struct Row {
    uint64_t timestamp;
    uint32_t topic_id;
    size_t offset;
    size_t size;
    rnr_SampleSource source;  // all zero when not known
  };
  std::vector<Row> rows;
  std::vector<unsigned char> bytes;
  // Disposes and unregisters received among the rows, each behind the rows
  // that came before it; written in the same transaction as the rows.
  std::vector<rnr::bag::internal::PendingInstanceEvent> events;
};

bool holds_anything(const Batch& batch) {
  return !batch.rows.empty() || !batch.events.empty();
}

}  // namespace

// The bulk insert's batches: the one being filled by inserts, the full ones
// waiting for the store thread (oldest first), and spare ones for reuse. All
// of it is guarded by the store's `mutex`.
struct rnr_BulkWriter {
  std::thread thread;
  std::condition_variable work;  // a batch was handed over, or the end came
  std::condition_variable room;  // a batch was written, or the writes fail
  std::unique_ptr<Batch> filling;
  std::deque<std::unique_ptr<Batch>> full;
  std::vector<std::unique_ptr<Batch>> spare;
  size_t held_bytes = 0;
  size_t held_bytes_peak = 0;
  uint64_t lost = 0;
  bool stopping = false;
  // When the first sample of `filling` came: the batch goes to the store
  // thread kPartialBatchAge later even if it is not full.
  std::chrono::steady_clock::time_point filling_since;
  // Set from the first failed write until the next successful one.
  bool failing = false;
  // Set while writes find the bag locked by another connection, and when
  // that began; the samples wait meanwhile (back-pressure, not a failure).
  bool locked = false;
  std::chrono::steady_clock::time_point locked_since;
  uint64_t refused = 0;
  uint64_t written = 0;
  uint64_t failed_attempts = 0;
  uint64_t lost_before_failing = 0;
  bool copy_failure_reported = false;
  // Counts the bulk inserts of the store, this one included.
  uint64_t session = 0;
};

namespace {

size_t held_limit(const rnr_Database* store) {
  return store->held_bytes_limit > 0 ? store->held_bytes_limit
                                     : RNR_DATABASE_DEFAULT_HELD_BYTES_LIMIT;
}

size_t batch_bytes(const Batch& batch) {
  size_t total = 0;
  for (const Batch::Row& row : batch.rows) {
    total += row.size;
  }
  return total;
}

// Gives a written or dropped batch back for reuse. The caller holds `mutex`.
void recycle(rnr_BulkWriter& writer, std::unique_ptr<Batch> batch) {
  writer.held_bytes -= batch_bytes(*batch);
  batch->rows.clear();
  batch->bytes.clear();
  batch->events.clear();
  if (writer.spare.size() < kSpareBatches && batch->bytes.capacity() <= kSpareBatchBytes) {
    writer.spare.push_back(std::move(batch));
  }
}

using rnr::bag::internal::is_lock_code;
using rnr::bag::internal::WriteResult;

// Steps the bound batch INSERT and writes the sources of its samples, in one
// transaction (inside the caller's when one is open on the connection): the
// rows of one multi-row INSERT take consecutive ids, the last of which the
// connection tells. A transaction that fails, or finds the bag locked at its
// commit, is rolled back whole. The caller holds `connection_mutex`.
WriteResult step_with_sources(rnr_Database* store, sqlite3_stmt* stmt, const Batch& batch,
                              std::string& error) {
  sqlite3* db = store->db;
  const bool own = sqlite3_get_autocommit(db) != 0;
  int code = SQLITE_OK;
  bool ok = !own || (code = sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr)) == SQLITE_OK;
  if (ok && sqlite3_step(stmt) != SQLITE_DONE) {
    ok = false;
    code = sqlite3_extended_errcode(db);
  }
  if (!ok) {
    error = rnr::bag::internal::describe_error(db);
  } else {
    sqlite3_reset(stmt);
    const int64_t first =
        sqlite3_last_insert_rowid(db) - static_cast<int64_t>(batch.rows.size()) + 1;
    std::vector<rnr::bag::internal::SourceRow> sources;
    sources.reserve(batch.rows.size());
    for (size_t i = 0; i < batch.rows.size(); ++i) {
      if (rnr::bag::internal::source_known(batch.rows[i].source)) {
        sources.push_back({first + static_cast<int64_t>(i), batch.rows[i].source});
      }
    }
    ok = rnr::bag::internal::insert_sources(store, sources.data(), sources.size(),
                                            &store->sources_stmt, &store->sources_single_stmt,
                                            &error, &code);
  }
  if (ok && own && (code = sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr)) != SQLITE_OK) {
    ok = false;
    code = sqlite3_extended_errcode(db);
    error = rnr::bag::internal::describe_error(db);
  }
  if (!ok && own && sqlite3_get_autocommit(db) == 0) {
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  return ok                   ? WriteResult::kWritten
         : is_lock_code(code) ? WriteResult::kLocked
                              : WriteResult::kFailed;
}

// Writes one batch with one statement: the prepared batch INSERT for a full
// batch, one made for exactly its number of rows otherwise. On failure
// `error` tells why; kLocked when another connection held the bag longer
// than the store waits. Runs on the store thread without `mutex`.
WriteResult write_batch(rnr_Database* store, const Batch& batch, std::string& error) {
  sqlite3_stmt* stmt = store->bulk_insert_stmt;
  Statement partial;
  if (batch.rows.size() < store->bulk_insert_size) {
    std::string text;
    if (!build_batch_text(batch.rows.size(), text)) {
      error = "out of memory";
      return WriteResult::kFailed;
    }
    const int rc = sqlite3_prepare_v2(store->db, text.c_str(), -1, &partial.stmt, nullptr);
    if (rc != SQLITE_OK) {
      error = rnr::bag::internal::describe_error(store->db);
      return is_lock_code(rc) ? WriteResult::kLocked : WriteResult::kFailed;
    }
    stmt = partial.stmt;
  }
  bool bound = true;
  for (size_t i = 0; i < batch.rows.size() && bound; ++i) {
    const Batch::Row& row = batch.rows[i];
    const rnr_DataRow data{row.timestamp, row.topic_id, batch.bytes.data() + row.offset, row.size};
    bound = bind_data_row(stmt, i, data);
  }
  WriteResult result = WriteResult::kWritten;
  if (!bound) {
    error = "cannot bind";
    result = WriteResult::kFailed;
  } else if (store->sample_sources.load(std::memory_order_relaxed) &&
             std::any_of(batch.rows.begin(), batch.rows.end(), [](const Batch::Row& row) {
               return rnr::bag::internal::source_known(row.source);
             })) {
    std::lock_guard<std::mutex> connection(store->connection_mutex);
    result = step_with_sources(store, stmt, batch, error);
  } else {
    std::lock_guard<std::mutex> connection(store->connection_mutex);
    // A commit that found the bag locked is rolled back whole, so the batch
    // can be written again later without doubling a row.
    const int rc = sqlite3_step(stmt);
    if (rc != SQLITE_DONE) {
      error = rnr::bag::internal::describe_error(store->db);
      result = is_lock_code(sqlite3_extended_errcode(store->db)) ? WriteResult::kLocked
                                                                 : WriteResult::kFailed;
    }
  }
  sqlite3_reset(stmt);
  return result;
}

// Writes a batch that holds instance events: its rows and its events in one
// transaction (a savepoint, so that it nests in a transaction of the
// store's owner), rolled back whole when any part fails. A batch without
// events is written as write_batch writes it.
WriteResult write_batch_and_events(rnr_Database* store, const Batch& batch, std::string& error) {
  if (batch.events.empty()) {
    return write_batch(store, batch, error);
  }
  auto exec = [&](const char* sql) {
    std::lock_guard<std::mutex> connection(store->connection_mutex);
    return sqlite3_exec(store->db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
  };
  const bool outermost = sqlite3_get_autocommit(store->db) != 0;
  if (!exec("SAVEPOINT rnr_batch")) {
    error = rnr::bag::internal::describe_error(store->db);
    return is_lock_code(sqlite3_extended_errcode(store->db)) ? WriteResult::kLocked
                                                             : WriteResult::kFailed;
  }
  WriteResult result =
      batch.rows.empty() ? WriteResult::kWritten : write_batch(store, batch, error);
  if (result == WriteResult::kWritten) {
    result =
        rnr::bag::internal::insert_pending_events(store, batch.events, batch.rows.size(), error);
  }
  if (result == WriteResult::kWritten && !exec("RELEASE rnr_batch")) {
    error = rnr::bag::internal::describe_error(store->db);
    result = is_lock_code(sqlite3_extended_errcode(store->db)) ? WriteResult::kLocked
                                                               : WriteResult::kFailed;
  }
  if (result != WriteResult::kWritten) {
    exec(outermost ? "ROLLBACK" : "ROLLBACK TO rnr_batch; RELEASE rnr_batch");
  }
  return result;
}

// Hands the batch being filled to the store thread. The caller holds `mutex`.
void hand_over_filling(rnr_Database* store, rnr_BulkWriter& w) {
  w.full.push_back(std::move(w.filling));
  store->bulk_insert_count = 0;
}

// Takes the store's mutex again after a write, spinning a little before it
// sleeps: the inserting threads hold it only to copy one sample in, and a
// sleep on the contended mutex costs the store thread a wake-up each time,
// tens of microseconds, against a copy of a few.
void store_thread_relock(std::unique_lock<std::mutex>& lock) {
  for (int i = 0; i < 1000; ++i) {
    if (lock.try_lock()) {
      return;
    }
    rnr::spin_pause();
  }
  lock.lock();
}

// The store thread: writes the full batches in the order they were handed
// over, and a batch being filled once its oldest sample is kPartialBatchAge
// old. A bag locked by a reader is waited for (sqlite_busy.h) and the write
// tried again after a pause, without dropping anything: the samples wait
// within the memory bound. A failed write keeps its batch and is tried again
// after a pause; the first failure and the recovery are logged once each,
// with counts. Once the end of the bulk insert is asked for, a write that
// fails (or still finds the bag locked after the long wait) is the last
// attempt: what is left is dropped and counted as lost, with one line.
void store_thread_run(rnr_Database* store) {
  rnr::bag::internal::mark_store_thread();
  rnr_BulkWriter& w = *store->bulk_writer;
  std::unique_lock<std::mutex> lock(store->mutex);
  for (;;) {
    std::chrono::steady_clock::time_point catalogue_since;
    while (w.full.empty() && !w.stopping) {
      const auto now = std::chrono::steady_clock::now();
      auto wake = std::chrono::steady_clock::time_point::max();
      if (w.filling != nullptr && holds_anything(*w.filling)) {
        if (now >= w.filling_since + kPartialBatchAge) {
          hand_over_filling(store, w);
          break;
        }
        wake = w.filling_since + kPartialBatchAge;
      }
      if (rnr::bag::internal::catalogue_pending(store, &catalogue_since) != 0) {
        if (now >= catalogue_since + kCatalogueAge) {
          break;
        }
        wake = std::min(wake, catalogue_since + kCatalogueAge);
      }
      if (wake == std::chrono::steady_clock::time_point::max()) {
        w.work.wait(lock);
      } else {
        w.work.wait_until(lock, wake);
      }
    }
    // The catalogue goes first: the samples that follow may be of the topics
    // and writers it adds.
    const bool catalogue = rnr::bag::internal::catalogue_pending(store, nullptr) != 0;
    if (!catalogue && w.full.empty()) {
      // Samples inserted while the end was under way form a last batch.
      if (w.filling == nullptr || !holds_anything(*w.filling)) {
        break;
      }
      hand_over_filling(store, w);
    }
    const bool last_attempt = w.stopping;
    lock.unlock();
    std::string error;
    const WriteResult result = catalogue ? rnr::bag::internal::write_catalogue(store, error)
                                         : write_batch_and_events(store, *w.full.front(), error);
    store_thread_relock(lock);
    if (result == WriteResult::kWritten) {
      if (!catalogue) {
        std::unique_ptr<Batch> done = std::move(w.full.front());
        w.full.pop_front();
        w.written += done->rows.size();
        recycle(w, std::move(done));
      }
      if (w.locked) {
        w.locked = false;
        const std::chrono::duration<double> held =
            std::chrono::steady_clock::now() - w.locked_since;
        rnr_log(RNR_LOG_INFO, "Database Writing samples again: the bag was locked for %.1f s",
                held.count());
      }
      if (w.failing) {
        w.failing = false;
        rnr_log(RNR_LOG_WARN,
                "Database Writing samples again after %llu failed attempts; %llu samples were "
                "lost meanwhile",
                static_cast<unsigned long long>(w.failed_attempts),
                static_cast<unsigned long long>(w.lost - w.lost_before_failing));
      }
      w.room.notify_all();
      continue;
    }
    if (last_attempt) {
      const size_t catalogue_dropped = rnr::bag::internal::drop_catalogue(store);
      if (catalogue_dropped != 0) {
        rnr_log(RNR_LOG_ERROR,
                "Database Cannot write %zu topic and writer entries at the end (%s): they are "
                "lost",
                catalogue_dropped, error.c_str());
      }
      uint64_t dropped = 0;
      while (!w.full.empty()) {
        dropped += w.full.front()->rows.size();
        recycle(w, std::move(w.full.front()));
        w.full.pop_front();
      }
      if (w.filling != nullptr) {
        dropped += w.filling->rows.size();
        recycle(w, std::move(w.filling));
      }
      w.lost += dropped;
      if (dropped == 0) {
        break;
      }
      if (result == WriteResult::kLocked) {
        rnr_log(RNR_LOG_ERROR,
                "Database Cannot write %llu samples at the end: the bag stayed locked by %s for "
                "%d s; they are lost",
                static_cast<unsigned long long>(dropped),
                rnr::bag::internal::lock_holders(store->path).c_str(),
                RNR_SQLITE_BUSY_TIMEOUT_MS / 1000);
      } else {
        rnr_log(RNR_LOG_ERROR, "Database Cannot write %llu samples at the end (%s): they are lost",
                static_cast<unsigned long long>(dropped), error.c_str());
      }
      break;
    }
    if (result == WriteResult::kLocked) {
      if (!w.locked) {
        w.locked = true;
        w.locked_since = std::chrono::steady_clock::now();
        rnr_log(RNR_LOG_WARN,
                "Database The bag is locked by %s: samples wait in memory, at most %zu bytes of "
                "them, and reliable writers are held back beyond that",
                rnr::bag::internal::lock_holders(store->path).c_str(), held_limit(store));
      }
    } else if (!w.failing) {
      w.failing = true;
      w.failed_attempts = 0;
      w.lost_before_failing = w.lost;
      rnr_log(RNR_LOG_ERROR,
              "Database Cannot execute sql (%s): samples are kept in memory, at most %zu bytes "
              "of them, and the write is retried",
              error.c_str(), held_limit(store));
      w.room.notify_all();
    }
    if (result == WriteResult::kFailed) {
      ++w.failed_attempts;
    }
    w.work.wait_for(lock, kRetryInterval, [&w] { return w.stopping; });
  }
  w.room.notify_all();
}

}  // namespace

void rnr::bag::internal::delete_bulk_writer(rnr_BulkWriter* writer) {
  delete writer;
}

uint64_t rnr::bag::internal::store_thread_session(const rnr_Database* store) {
  return store->bulk_writer != nullptr && store->bulk_insert_enabled.load() &&
                 !store->bulk_writer->stopping
             ? store->bulk_writer->session
             : 0;
}

void rnr::bag::internal::wake_store_thread(rnr_Database* store) {
  if (store->bulk_writer != nullptr) {
    store->bulk_writer->work.notify_one();
  }
}

// --- Samples ---------------------------------------------------------------------

bool rnr_Database_start_bulk_insert_data(rnr_Database* store, size_t size) {
  if (store == nullptr) {
    rnr_log(RNR_LOG_ERROR, "Database Cannot start bulk insert: invalid argument");
    return false;
  }
  std::lock_guard<std::mutex> lock(store->mutex);
  if (store->bulk_insert_enabled.load(std::memory_order_relaxed)) {
    if (size == store->bulk_insert_size) {
      return true;
    }
    rnr_log(RNR_LOG_ERROR,
            "Database Data bulk insert is already enabled. But bulk insert size is different "
            "(origin: %ld, request: %ld). It cannot be changed when bulk insert is started",
            static_cast<long>(store->bulk_insert_size), static_cast<long>(size));
    return false;
  }

  // A batch beyond the connection's parameter limit cannot be prepared; its
  // text is not even built.
  if (size > max_batch_rows(store->db)) {
    rnr_log(RNR_LOG_ERROR, "Database Cannot prepare sqlite3 query (%s)", "too many SQL variables");
    return false;
  }
  std::string text;
  if (!build_batch_text(size, text)) {
    rnr_log(RNR_LOG_ERROR, "Database Cannot prepare sqlite3 query (%s)", "out of memory");
    return false;
  }
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(store->db, text.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
    rnr_log(RNR_LOG_ERROR, "Database Cannot prepare sqlite3 query (%s)", sqlite3_errmsg(store->db));
    sqlite3_finalize(stmt);
    return false;
  }
  if (store->bulk_writer == nullptr) {
    store->bulk_writer = new (std::nothrow) rnr_BulkWriter();
  }
  if (store->bulk_writer == nullptr) {
    rnr_log(RNR_LOG_FATAL, "Database Out of memory: Cannot allocate data bulk insert array");
    sqlite3_finalize(stmt);
    return false;
  }
  rnr_BulkWriter& w = *store->bulk_writer;
  ++w.session;
  w.stopping = false;
  w.failing = false;
  w.locked = false;
  store->bulk_insert_ending.store(false);
  store->ending_wait_reported.store(false);
  store->bulk_insert_size = size;
  store->bulk_insert_count = 0;
  store->bulk_insert_stmt = stmt;
  try {
    w.thread = std::thread(store_thread_run, store);
    pthread_setname_np(w.thread.native_handle(), "rnr.store");
  } catch (const std::system_error&) {
    rnr_log(RNR_LOG_ERROR, "Database Cannot start the store thread");
    sqlite3_finalize(stmt);
    store->bulk_insert_stmt = nullptr;
    store->bulk_insert_size = 0;
    return false;
  }
  store->bulk_insert_enabled.store(true);
  return true;
}

namespace {

// A sample with its source (null: none), at once or into the batch.
bool insert_data(rnr_Database* store, const rnr_DataRow* row, const rnr_SampleSource* source) {
  if (store == nullptr || row == nullptr) {
    rnr_log(RNR_LOG_ERROR, "Database Cannot insert data: invalid argument");
    return false;
  }
  std::unique_lock<std::mutex> lock(store->mutex);
  if (!store->bulk_insert_enabled.load(std::memory_order_relaxed)) {
    lock.unlock();
    if (source != nullptr && store->sample_sources.load() &&
        rnr::bag::internal::source_known(*source)) {
      return check_sample(store, row) && insert_single_row_with_source(store, *row, *source);
    }
    return check_sample(store, row) && insert_single_row(store, *row);
  }
  rnr_BulkWriter& w = *store->bulk_writer;
  if (!check_sample(store, row)) {
    ++w.refused;
    ++w.lost;
    return false;
  }
  const size_t size = row->serialized_data_size;
  // While the writes fail, the backlog is kept within its bound and what
  // comes beyond it is dropped: counted, not logged one by one.
  if (w.failing && w.held_bytes + size > held_limit(store)) {
    ++w.lost;
    return false;
  }
  // The store's own copy, so the caller may reuse its bytes at once.
  try {
    // A batch of big samples goes to the store thread before the next sample
    // would take it past the size of a spare buffer: the store thread writes
    // it while the next one fills, and the buffers are reused, not freed.
    if (w.filling != nullptr && !w.filling->rows.empty() &&
        w.filling->bytes.size() + size > kSpareBatchBytes) {
      hand_over_filling(store, w);
      w.work.notify_one();
    }
    if (w.filling == nullptr) {
      if (!w.spare.empty()) {
        w.filling = std::move(w.spare.back());
        w.spare.pop_back();
      } else {
        w.filling = std::make_unique<Batch>();
        w.filling->rows.reserve(store->bulk_insert_size);
      }
    }
    Batch& batch = *w.filling;
    if (batch.bytes.capacity() == 0) {
      batch.bytes.reserve(std::min(kSpareBatchBytes, size * store->bulk_insert_size));
    }
    const size_t offset = batch.bytes.size();
    const auto* bytes = static_cast<const unsigned char*>(row->serialized_data);
    batch.bytes.insert(batch.bytes.end(), bytes, bytes + size);
    batch.rows.push_back({row->timestamp, row->topic_id, offset, size,
                          source != nullptr ? *source : rnr_SampleSource{}});
  } catch (const std::bad_alloc&) {
    if (w.filling != nullptr && w.filling->bytes.size() > batch_bytes(*w.filling)) {
      w.filling->bytes.resize(batch_bytes(*w.filling));
    }
    ++w.lost;
    if (!w.copy_failure_reported) {
      w.copy_failure_reported = true;
      rnr_log(RNR_LOG_ERROR,
              "Database Out of memory: Cannot copy sample of %zu bytes (topic_id %u); samples "
              "that cannot be copied are lost",
              size, row->topic_id);
    }
    return false;
  }
  w.held_bytes += size;
  w.held_bytes_peak = std::max(w.held_bytes_peak, w.held_bytes);
  store->bulk_insert_count = w.filling->rows.size();
  if (store->bulk_insert_count == store->bulk_insert_size) {
    hand_over_filling(store, w);
    w.work.notify_one();
  } else if (store->bulk_insert_count == 1) {
    // The store thread times the new batch from now.
    w.filling_since = std::chrono::steady_clock::now();
    w.work.notify_one();
  }
  return true;
}

}  // namespace

bool rnr_Database_insert_data(rnr_Database* store, const rnr_DataRow* row) {
  return insert_data(store, row, nullptr);
}

bool rnr_Database_insert_data_with_source(rnr_Database* store, const rnr_DataRow* row,
                                          const rnr_SampleSource* source) {
  return insert_data(store, row, source);
}

void rnr_Database_end_bulk_insert_data(rnr_Database* store) {
  if (store == nullptr || !store->bulk_insert_enabled.load()) {
    rnr_log(RNR_LOG_WARN, "Database Data bulk insert is not enabled");
    return;
  }
  std::unique_lock<std::mutex> lock(store->mutex);
  if (!store->bulk_insert_enabled.load(std::memory_order_relaxed)) {
    return;
  }
  rnr_BulkWriter& w = *store->bulk_writer;
  if (w.filling != nullptr && holds_anything(*w.filling)) {
    w.full.push_back(std::move(w.filling));
  }
  w.stopping = true;
  store->bulk_insert_ending.store(true);
  w.work.notify_all();
  w.room.notify_all();
  lock.unlock();
  w.thread.join();
  lock.lock();
  // Inserts may have slipped in behind the last batch; they share its fate.
  if (w.filling != nullptr && !w.filling->rows.empty()) {
    w.lost += w.filling->rows.size();
    rnr_log(RNR_LOG_ERROR, "Database Cannot write %zu samples at the end: they are lost",
            w.filling->rows.size());
  }
  w.filling.reset();
  w.spare.clear();
  w.held_bytes = 0;
  sqlite3_finalize(store->bulk_insert_stmt);
  store->bulk_insert_stmt = nullptr;
  sqlite3_finalize(store->sources_stmt);
  store->sources_stmt = nullptr;
  sqlite3_finalize(store->sources_single_stmt);
  store->sources_single_stmt = nullptr;
  store->bulk_insert_count = 0;
  store->bulk_insert_size = 0;
  store->bulk_insert_enabled.store(false);
}

bool rnr::bag::internal::queue_instance_event(rnr_Database* store, const rnr_InstanceEventRow& row,
                                              bool* queued) {
  std::lock_guard<std::mutex> lock(store->mutex);
  *queued = store->bulk_insert_enabled.load(std::memory_order_relaxed);
  if (!*queued) {
    return false;
  }
  rnr_BulkWriter& w = *store->bulk_writer;
  try {
    if (w.filling == nullptr) {
      if (!w.spare.empty()) {
        w.filling = std::move(w.spare.back());
        w.spare.pop_back();
      } else {
        w.filling = std::make_unique<Batch>();
        w.filling->rows.reserve(store->bulk_insert_size);
      }
    }
    Batch& batch = *w.filling;
    const bool was_empty = !holds_anything(batch);
    batch.events.emplace_back();
    if (!copy_instance_event(row, batch.rows.size(), &batch.events.back())) {
      batch.events.pop_back();
      throw std::bad_alloc();
    }
    if (was_empty) {
      w.filling_since = std::chrono::steady_clock::now();
      w.work.notify_one();
    }
  } catch (const std::bad_alloc&) {
    rnr_log(RNR_LOG_ERROR, "Database Out of memory: Cannot copy instance event (topic_id %u)",
            row.topic_id);
    return false;
  }
  return true;
}

void rnr_Database_set_held_bytes_limit(rnr_Database* store, size_t bytes) {
  if (store != nullptr) {
    std::lock_guard<std::mutex> lock(store->mutex);
    store->held_bytes_limit = bytes;
  }
}

size_t rnr_Database_wait_for_room(rnr_Database* store, uint64_t timeout_ns) {
  if (store == nullptr) {
    return SIZE_MAX;
  }
  std::unique_lock<std::mutex> lock(store->mutex);
  if (!store->bulk_insert_enabled.load(std::memory_order_relaxed)) {
    return SIZE_MAX;
  }
  rnr_BulkWriter& w = *store->bulk_writer;
  const size_t limit = held_limit(store);
  w.room.wait_for(lock, std::chrono::nanoseconds(timeout_ns),
                  [&] { return w.failing || w.stopping || w.held_bytes < limit; });
  if (w.failing || w.stopping) {
    return SIZE_MAX;
  }
  return w.held_bytes < limit ? limit - w.held_bytes : 0;
}

void rnr_Database_wait_for_batches(rnr_Database* store) {
  if (store == nullptr) {
    return;
  }
  std::unique_lock<std::mutex> lock(store->mutex);
  if (store->bulk_writer == nullptr || !store->bulk_insert_enabled.load()) {
    return;
  }
  rnr_BulkWriter& w = *store->bulk_writer;
  w.room.wait(lock, [&] { return w.full.empty() || w.failing || w.stopping; });
}

rnr_BulkInsertStats rnr_Database_bulk_insert_stats(rnr_Database* store) {
  rnr_BulkInsertStats stats{};
  if (store == nullptr) {
    return stats;
  }
  std::lock_guard<std::mutex> lock(store->mutex);
  if (store->bulk_writer != nullptr) {
    const rnr_BulkWriter& w = *store->bulk_writer;
    stats.held_bytes = w.held_bytes;
    stats.held_bytes_peak = w.held_bytes_peak;
    stats.lost_samples = w.lost;
    stats.refused_samples = w.refused;
    stats.written_samples = w.written;
    stats.failing = w.failing;
    stats.locked = w.locked;
  }
  return stats;
}
