// The catalogue writes of a recording (topics rows and their type
// descriptions, writers, writers' QoS). While the store thread runs, they are
// queued and that thread writes them, in order, in one transaction per group,
// before any batch of samples: a recorder that discovers thousands of topics
// pays for a few commits, not several for each topic, and its discovery never
// waits for the disk. The ids of queued inserts are known at once: the
// recorder owns its bag, so each new row takes the next id of its table.
// Without the store thread, every write runs at once on its own, as one
// commit.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_set>

#include "bag/database_internal.h"

struct rnr_Database;

namespace rnr::bag::internal {

struct CatalogueOp {
  enum class Kind { kInsertTopic, kUpdateTopic, kInsertWriter, kInsertWriterQos };
  static constexpr size_t kKinds = 4;
  Kind kind = Kind::kInsertTopic;
  int64_t id = 0;        // the id an insert gets; the writer of a QoS row
  int32_t topic_id = 0;  // the topic of a QoS row
  std::string topic_name;
  std::string type_name;
  std::string text;       // metastring, GUID text or QoS text
  bool has_text = false;  // a metastring of NULL is not one of ""
  int key = 0;            // is_with_key
};

struct Catalogue {
  // Held over each catalogue call, so that the check for an existing row,
  // the id handed out and the queueing are one step. Taken before the
  // store's `mutex` and `connection_mutex`.
  std::mutex callers;
  // One group written at a time. Taken before the store's `mutex`, never
  // with it held.
  std::mutex writing;
  // Guarded by the store's `mutex`: the writes not yet committed, and when
  // the oldest was queued.
  std::deque<CatalogueOp> pending;
  std::chrono::steady_clock::time_point pending_since;
  // Guarded by `callers`. While the store thread of bulk insert `session`
  // takes writes, the keys of the rows of each table (topic "name\0type",
  // writer GUID), read from the bag once and kept up with every insert, and
  // the next id of each table: an insert is checked and given its id without
  // a query, so discovery never waits for a commit under way.
  uint64_t session = 0;
  bool topics_known = false;
  bool writers_known = false;
  std::unordered_set<std::string> topic_keys;
  std::unordered_set<std::string> writer_keys;
  int64_t next_topic_id = 0;
  int64_t next_writer_id = 0;
};

// Runs or queues one catalogue write. For an insert, the id of the new row
// (known at once also when queued), or -1 when it cannot be added (its row
// exists, or the bag cannot be read or written); 0 for the others, -1 on
// failure. Failures are logged. The caller holds none of the store's locks.
int64_t submit_catalogue(rnr_Database* store, CatalogueOp op);

// While the store thread runs and takes queued writes (it writes them before
// it ends), the number of its bulk insert, counted from 1 over the store's
// life; 0 otherwise. The caller holds the store's `mutex`.
uint64_t store_thread_session(const rnr_Database* store);

// Tells the store thread that writes were queued. The caller holds the
// store's `mutex`.
void wake_store_thread(rnr_Database* store);

// Writes every queued catalogue write in one transaction (inside the
// caller's when one is open on the connection). A group that fails is rolled
// back and stays queued, to be written again. Takes `writing`, then the
// store's `mutex` briefly and `connection_mutex`; the caller holds none of
// them.
WriteResult write_catalogue(rnr_Database* store, std::string& error);

// Number of queued catalogue writes, and when the oldest was queued. The
// caller holds the store's `mutex`.
size_t catalogue_pending(const rnr_Database* store, std::chrono::steady_clock::time_point* since);

// Drops what is queued, as the store ends without writing it; the number
// dropped. The caller holds the store's `mutex`.
size_t drop_catalogue(rnr_Database* store);

}  // namespace rnr::bag::internal
