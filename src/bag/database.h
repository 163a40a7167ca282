// The bag store: one SQLite connection to one bag file with its three tables
// (topics, writers, data), the topic and writer catalogue, and the insertion of
// samples, one at a time or in batches of a fixed number of rows.
#pragma once

#include <sqlite3.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "types/name_field.h"
#include "types/dds_guid.h"

// One sample handed to the store. The caller owns it and its bytes; the store
// keeps no pointer into them once rnr_Database_insert_data has returned.
struct rnr_DataRow {
  uint64_t timestamp;           // reception time, ns since the Unix epoch
  uint32_t topic_id;            // topics._id of the sample's topic
  const void* serialized_data;  // the serialized bytes, stored as a blob
  size_t serialized_data_size;  // must stay below 2^31
};

// The bulk insert's batches and the thread that writes them (bulk_insert.cpp).
struct rnr_BulkWriter;

namespace rnr::bag::internal {
// The catalogue writes queued for the store thread (catalogue.h).
struct Catalogue;
}  // namespace rnr::bag::internal

// Default bound of the sample bytes the bulk insert holds in memory before
// they are written: 256 MiB.
constexpr size_t RNR_DATABASE_DEFAULT_HELD_BYTES_LIMIT = size_t{256} << 20;

// The store. Created zero-filled by rnr_Database_create, released by
// rnr_Database_destroy. `path`, `db` and `bulk_insert_enabled` may be read by
// others; only the store's operations write them.
struct rnr_Database {
  char path[RNR_NAME_FIELD_SIZE];  // the bag file name; first, so the store prints as its name
  sqlite3* db;
  // True while a bulk insert is active. Written only under `mutex`; atomic so
  // that the unlocked reads (the owner before ending the bulk insert) are sound.
  std::atomic<bool> bulk_insert_enabled;
  // Guards the bulk-insert fields below, the batches of `bulk_writer` and the
  // reading of `bulk_insert_enabled` during inserts.
  std::mutex mutex;
  size_t bulk_insert_count;        // samples in the batch being filled
  size_t bulk_insert_size;         // batch size; 0 when no bulk insert
  sqlite3_stmt* bulk_insert_stmt;  // the prepared batch INSERT, or null; used
                                   // by the store thread alone
  // Full batches wait here for the store thread, which writes them while
  // further samples fill the next batch. Null when no bulk insert.
  rnr_BulkWriter* bulk_writer;
  // The catalogue writes that the store thread groups into transactions;
  // null on a store opened for reading, whose writes all run at once.
  rnr::bag::internal::Catalogue* catalogue;
  // Bound of the sample bytes held by the bulk insert (the batch being filled
  // and the full ones not yet written). Set before the bulk insert starts.
  size_t held_bytes_limit;
  // Held over every statement step on `db` that inserts rows together with the
  // read of the new row id, so concurrent inserts on the one connection cannot
  // hand out each other's ids. Taken after `mutex`, never before it.
  std::mutex connection_mutex;
  // Set once the bulk insert is ending: waits for other connections' locks
  // are then long and reported (sqlite_busy.h).
  std::atomic<bool> bulk_insert_ending{false};
  std::atomic<bool> ending_wait_reported{false};
  // Set once the bag has the sample_sources table (sample_sources.h): the
  // sources handed with samples are then stored beside their rows, and the
  // store thread keeps the INSERTs of their rows prepared here (of a full
  // piece of rows, and of one row).
  std::atomic<bool> sample_sources{false};
  sqlite3_stmt* sources_stmt = nullptr;
  sqlite3_stmt* sources_single_stmt = nullptr;
};

// Opens (creating if needed) the bag at `path` and makes sure its three
// tables exist. Null on failure, which is logged. Paths of 256 bytes or more
// are refused. Statements on the connection wait for the locks of other
// connections (readers of the bag) rather than fail (sqlite_busy.h).
rnr_Database* rnr_Database_create(const char* path);

// Ends an active bulk insert (writing what it still buffers), closes the bag
// and frees the store. Null is accepted.
void rnr_Database_destroy(rnr_Database* store);

// --- Topic and writer catalogue ---------------------------------------------

// The catalogue writes below run at once, each as one commit, while no bulk
// insert is active. During a bulk insert they are queued for the store
// thread, which commits them in groups within about 20 ms and always before
// the samples that follow them; ids of queued inserts are handed out at once.

// Commits the queued catalogue writes now, in one transaction; true when
// nothing is left queued. Logged on failure; the writes then stay queued.
bool rnr_Database_write_catalogue(rnr_Database* store);

// Registers a (topic name, type name) pair. The new row's _id, or -1 on
// failure (including a pair already present).
int32_t rnr_Database_insert_topic(rnr_Database* store, const char* topic_name,
                                  const char* type_name);

// What rnr_Database_update_topics stores for a topic: its type description and
// key flag, found by the (topic name, type name) pair. The recorder's per-topic
// entry derives from it.
struct rnr_TopicDescription {
  int32_t id;
  char topic_name[RNR_NAME_FIELD_SIZE];
  char type_name[RNR_NAME_FIELD_SIZE];
  char* metastring;
  bool is_with_key;
};

// Sets metastring and is_with_key of the pair's row. True when the UPDATE ran
// to completion, also when no row matched.
bool rnr_Database_update_topics(rnr_Database* store, const rnr_TopicDescription* topic);

// Catalogues a writer GUID in its text form. The new row's _id, or -1 on
// failure (including a GUID already present).
int32_t rnr_Database_insert_entity_info(rnr_Database* store, const dds_guid* guid);

// One topics row as read back. Names are cut to 255 bytes (a NULL name reads
// as empty); `metastring` is a heap string owned by the row, or null when the
// column is NULL; a NULL is_with_key reads as 0.
struct rnr_TopicsRow {
  int32_t id;
  char topic_name[RNR_NAME_FIELD_SIZE];
  char type_name[RNR_NAME_FIELD_SIZE];
  char* metastring;
  int32_t is_with_key;
  // The topic or type name in the bag is 256 bytes or longer: the field holds
  // only its first 255.
  bool name_too_long;
};

// Releases a row and its metastring.
struct rnr_TopicsRowDeleter {
  void operator()(rnr_TopicsRow* row) const;
};

// The topics rows in the order the query returned them. Walk `rows` front to
// back; the list owns the rows and their metastrings. Released with
// rnr_Database_topics_row_list_destroy.
struct rnr_TopicsRowList {
  std::vector<std::unique_ptr<rnr_TopicsRow, rnr_TopicsRowDeleter>> rows;
};

// All topics rows (possibly none), or null when the query cannot be prepared
// or memory runs out.
rnr_TopicsRowList* rnr_Database_get_topics_row_list(rnr_Database* store);

// Releases a list, its rows and their metastrings. Null is accepted.
void rnr_Database_topics_row_list_destroy(rnr_TopicsRowList* list);

// Number of data rows of a topic; 0 for an unknown topic and on failure.
int32_t rnr_Database_get_data_count(rnr_Database* store, int32_t topic_id);

// --- Samples -----------------------------------------------------------------

// Switches to batched insertion of `size` rows per statement, written by a
// store thread of its own. True when bulk insert is on with that size
// afterwards (also when it already was). Call it before any other thread
// inserts.
bool rnr_Database_start_bulk_insert_data(rnr_Database* store, size_t size);

// Stores one sample: at once without bulk insert, otherwise as a copy in the
// batch being filled; a full batch is handed to the store thread, which
// writes it with one statement, and so is a batch whose oldest sample is
// 0.9 s old, so that every sample is committed within about 1 s. True when
// the sample was written or buffered. A sample the bag cannot store (too
// large, or without bytes) is refused, and while the store's writes fail a
// sample that would take the bytes held beyond the limit is dropped: both
// count as lost in a bulk insert, and the result is false. A bag locked by
// a reader is not a failure: the samples wait, within the limit (see
// rnr_Database_wait_for_room). Safe to call from several threads.
bool rnr_Database_insert_data(rnr_Database* store, const rnr_DataRow* row);

// Hands the samples still buffered to the store thread (with a statement for
// exactly their number), waits until it has written everything, and switches
// bulk insert off, releasing its statement and buffers. While readers hold
// the bag it waits for them, up to RNR_SQLITE_BUSY_TIMEOUT_MS, with one line
// naming them. When the writes fail at that point (or the readers do not let
// go), one more attempt is made and what cannot be written is dropped and
// counted as lost, with one line.
void rnr_Database_end_bulk_insert_data(rnr_Database* store);

// Sets the bound of the bytes held by a bulk insert (default
// RNR_DATABASE_DEFAULT_HELD_BYTES_LIMIT). 0 restores the default.
void rnr_Database_set_held_bytes_limit(rnr_Database* store, size_t bytes);

// Waits at most `timeout_ns` until the bytes the bulk insert holds are below
// its limit. Returns how many more bytes it may take: 0 when the wait timed
// out; SIZE_MAX when no bulk insert is active or the store's writes are
// failing (new samples beyond the limit are then dropped by the store).
size_t rnr_Database_wait_for_room(rnr_Database* store, uint64_t timeout_ns);

// Waits until every full batch handed to the store thread is written, or the
// store's writes are failing.
void rnr_Database_wait_for_batches(rnr_Database* store);

// What the bulk insert went through so far.
struct rnr_BulkInsertStats {
  size_t held_bytes;         // sample bytes held now
  size_t held_bytes_peak;    // the most ever held at once
  uint64_t lost_samples;     // dropped because the store could not write them
  uint64_t refused_samples;  // of those, refused because the bag cannot hold them
  uint64_t written_samples;  // committed to the bag
  bool failing;              // the last write failed
  bool locked;               // the last write found the bag locked by a reader
};
rnr_BulkInsertStats rnr_Database_bulk_insert_stats(rnr_Database* store);
