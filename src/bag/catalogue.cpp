#include "bag/catalogue.h"

#include <climits>
#include <new>
#include <utility>

#include "bag/database.h"
#include "bag/database_internal.h"
#include "bag/sqlite_busy.h"
#include "log/logger.h"

using rnr::bag::internal::CatalogueOp;
using rnr::bag::internal::Statement;
using rnr::bag::internal::WriteResult;
using Kind = rnr::bag::internal::CatalogueOp::Kind;

namespace {

constexpr const char* kInsertTopic = "INSERT INTO topics(type_name, topic_name) VALUES(?, ?);";
constexpr const char* kUpdateTopic =
    "UPDATE topics SET metastring = ?, is_with_key = ? WHERE topic_name = ? and type_name = ?;";
constexpr const char* kInsertWriter = "INSERT INTO writers(guid) VALUES(?);";
constexpr const char* kInsertWriterQos =
    "INSERT OR REPLACE INTO writer_qos(writer_id, topic_id, qos) VALUES(?, ?, ?)";
constexpr const char* kTopicKeys =
    "SELECT topic_name, type_name FROM topics WHERE topic_name IS NOT NULL AND type_name IS NOT "
    "NULL";
constexpr const char* kWriterKeys = "SELECT guid FROM writers WHERE guid IS NOT NULL";
// The id the next row of an AUTOINCREMENT table gets: one past the largest
// it ever handed out and the largest it holds.
constexpr const char* kNextTopicId =
    "SELECT max(coalesce((SELECT seq FROM sqlite_sequence WHERE name = 'topics'), 0), "
    "coalesce((SELECT max(_id) FROM topics), 0)) + 1";
constexpr const char* kNextWriterId =
    "SELECT max(coalesce((SELECT seq FROM sqlite_sequence WHERE name = 'writers'), 0), "
    "coalesce((SELECT max(_id) FROM writers), 0)) + 1";

bool bind_text(sqlite3_stmt* stmt, int index, const std::string& text) {
  return sqlite3_bind_text(stmt, index, text.data(), static_cast<int>(text.size()),
                           SQLITE_STATIC) == SQLITE_OK;
}

// Codes after which the same write may succeed later: the group is kept.
bool is_transient(int rc) {
  switch (rc & 0xff) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
    case SQLITE_IOERR:
    case SQLITE_FULL:
    case SQLITE_NOMEM:
    case SQLITE_CANTOPEN:
    case SQLITE_PROTOCOL:
      return true;
    default:
      return false;
  }
}

// Prepares `sql` into `st`, or readies the statement already there for new
// values: the writes of a group share one statement of each kind.
int prepare(rnr_Database* store, const char* sql, Statement& st) {
  if (st.stmt != nullptr) {
    sqlite3_reset(st.stmt);
    return sqlite3_clear_bindings(st.stmt);
  }
  return sqlite3_prepare_v2(store->db, sql, -1, &st.stmt, nullptr);
}

// Prepares and binds the statement of one write, logging a failure with
// the line of that write. The caller holds connection_mutex.
int prepare_op(rnr_Database* store, const CatalogueOp& op, Statement& st) {
  const char* name = op.topic_name.c_str();
  switch (op.kind) {
    case Kind::kInsertTopic: {
      const int rc = prepare(store, kInsertTopic, st);
      if (rc != SQLITE_OK) {
        rnr_log(RNR_LOG_ERROR, "Database Cannot prepare sqlite3 query");
        return rc;
      }
      if (!bind_text(st.stmt, 1, op.type_name)) {
        rnr_log(RNR_LOG_ERROR, "Database Cannot bind type_name(%s)", op.type_name.c_str());
        return SQLITE_ERROR;
      }
      if (!bind_text(st.stmt, 2, op.topic_name)) {
        rnr_log(RNR_LOG_ERROR, "Database Cannot bind topic_name(%s)", name);
        return SQLITE_ERROR;
      }
      return SQLITE_OK;
    }
    case Kind::kUpdateTopic: {
      const int rc = prepare(store, kUpdateTopic, st);
      if (rc != SQLITE_OK) {
        rnr_log(RNR_LOG_ERROR, "Database %s: Cannot prepare sqlite3 query", name);
        return rc;
      }
      // A missing metastring is stored as NULL.
      const int bound = op.has_text
                            ? sqlite3_bind_text(st.stmt, 1, op.text.data(),
                                                static_cast<int>(op.text.size()), SQLITE_STATIC)
                            : sqlite3_bind_null(st.stmt, 1);
      if (bound != SQLITE_OK) {
        rnr_log(RNR_LOG_ERROR, "Database %s: Cannot bind metastring(%s)", name, op.text.c_str());
        return SQLITE_ERROR;
      }
      if (sqlite3_bind_int(st.stmt, 2, op.key) != SQLITE_OK) {
        rnr_log(RNR_LOG_ERROR, "Database %s: Cannot bind is_with_key(%d)", name, op.key);
        return SQLITE_ERROR;
      }
      if (!bind_text(st.stmt, 3, op.topic_name)) {
        rnr_log(RNR_LOG_ERROR, "Database %s: Cannot bind topic_name(%s)", name, name);
        return SQLITE_ERROR;
      }
      if (!bind_text(st.stmt, 4, op.type_name)) {
        rnr_log(RNR_LOG_ERROR, "Database %s: Cannot bind type_name(%s)", op.type_name.c_str(),
                op.type_name.c_str());
        return SQLITE_ERROR;
      }
      return SQLITE_OK;
    }
    case Kind::kInsertWriter: {
      const int rc = prepare(store, kInsertWriter, st);
      if (rc != SQLITE_OK) {
        rnr_log(RNR_LOG_ERROR, "Database Cannot prepare sqlite3 query");
        return rc;
      }
      if (!bind_text(st.stmt, 1, op.text)) {
        rnr_log(RNR_LOG_ERROR, "Database Cannot bind guid(%s)", op.text.c_str());
        return SQLITE_ERROR;
      }
      return SQLITE_OK;
    }
    case Kind::kInsertWriterQos: {
      const int rc = prepare(store, kInsertWriterQos, st);
      if (rc != SQLITE_OK || sqlite3_bind_int64(st.stmt, 1, op.id) != SQLITE_OK ||
          sqlite3_bind_int(st.stmt, 2, op.topic_id) != SQLITE_OK ||
          !bind_text(st.stmt, 3, op.text)) {
        rnr_log(RNR_LOG_ERROR, "Database Cannot insert the QoS of writer %d (%s)",
                static_cast<int>(op.id), sqlite3_errmsg(store->db));
        return rc != SQLITE_OK ? rc : SQLITE_ERROR;
      }
      return SQLITE_OK;
    }
  }
  return SQLITE_ERROR;
}

void log_step_failure(rnr_Database* store, const CatalogueOp& op) {
  if (op.kind == Kind::kUpdateTopic) {
    rnr_log(RNR_LOG_ERROR, "Database %s: Cannot execute sql (%s)", op.topic_name.c_str(),
            rnr::bag::internal::describe_error(store->db).c_str());
  } else if (op.kind == Kind::kInsertWriterQos) {
    rnr_log(RNR_LOG_ERROR, "Database Cannot insert the QoS of writer %d (%s)",
            static_cast<int>(op.id), sqlite3_errmsg(store->db));
  } else {
    rnr_log(RNR_LOG_ERROR, "Database Cannot execute sql (%s)",
            rnr::bag::internal::describe_error(store->db).c_str());
  }
}

// Runs one write with `st` (empty, or the statement of an earlier write of
// the same kind). For an insert, the new row's id; 0 for the others; -1 on
// failure, logged, with the SQLite code in `rc`. The caller holds
// connection_mutex.
int64_t run_op(rnr_Database* store, const CatalogueOp& op, Statement& st, int* rc,
               bool log_transient = true) {
  *rc = prepare_op(store, op, st);
  if (*rc != SQLITE_OK) {
    return -1;
  }
  *rc = sqlite3_step(st.stmt);
  if (*rc != SQLITE_DONE) {
    *rc = sqlite3_extended_errcode(store->db);
    if (log_transient || !is_transient(*rc)) {
      log_step_failure(store, op);
    }
    return -1;
  }
  *rc = SQLITE_OK;
  if (op.kind != Kind::kInsertTopic && op.kind != Kind::kInsertWriter) {
    return 0;
  }
  const sqlite3_int64 id = sqlite3_last_insert_rowid(store->db);
  if (id <= 0 || id > INT32_MAX) {
    rnr_log(RNR_LOG_ERROR, "Database Row id %lld out of range", static_cast<long long>(id));
    *rc = SQLITE_RANGE;
    return -1;
  }
  return id;
}

// The next id of a table, or 0 when it cannot be read. The caller holds
// connection_mutex.
int64_t next_id(rnr_Database* store, bool topics) {
  Statement st;
  if (sqlite3_prepare_v2(store->db, topics ? kNextTopicId : kNextWriterId, -1, &st.stmt, nullptr) !=
          SQLITE_OK ||
      sqlite3_step(st.stmt) != SQLITE_ROW) {
    return 0;
  }
  return sqlite3_column_int64(st.stmt, 0);
}

std::string topic_key(const std::string& topic_name, const std::string& type_name) {
  std::string key = topic_name;
  key.push_back('\0');
  key += type_name;
  return key;
}

// Reads the keys of the rows of `topics` or `writers` and the table's next
// id. False when the bag cannot be read.
bool load_keys(rnr_Database* store, bool topics, std::unordered_set<std::string>& keys,
               int64_t& next) {
  std::lock_guard<std::mutex> connection(store->connection_mutex);
  Statement st;
  if (sqlite3_prepare_v2(store->db, topics ? kTopicKeys : kWriterKeys, -1, &st.stmt, nullptr) !=
      SQLITE_OK) {
    return false;
  }
  keys.clear();
  int rc = SQLITE_ROW;
  try {
    while ((rc = sqlite3_step(st.stmt)) == SQLITE_ROW) {
      auto text = [&](int column) {
        const auto* bytes = reinterpret_cast<const char*>(sqlite3_column_text(st.stmt, column));
        return std::string(bytes != nullptr ? bytes : "",
                           static_cast<size_t>(sqlite3_column_bytes(st.stmt, column)));
      };
      keys.insert(topics ? topic_key(text(0), text(1)) : text(0));
    }
  } catch (const std::bad_alloc&) {
    return false;
  }
  next = next_id(store, topics);
  return rc == SQLITE_DONE && next > 0;
}

bool is_insert(const CatalogueOp& op) {
  return op.kind == Kind::kInsertTopic || op.kind == Kind::kInsertWriter;
}

std::string topic_key(const CatalogueOp& op) {
  return topic_key(op.topic_name, op.type_name);
}

// Writes the queued group. The caller holds `writing` and nothing else.
WriteResult write_pending(rnr_Database* store, std::string& error) {
  rnr::bag::internal::Catalogue& c = *store->catalogue;
  std::deque<CatalogueOp> group;
  {
    std::lock_guard<std::mutex> lock(store->mutex);
    group.swap(c.pending);
  }
  if (group.empty()) {
    return WriteResult::kWritten;
  }
  WriteResult result = WriteResult::kWritten;
  {
    std::lock_guard<std::mutex> connection(store->connection_mutex);
    // Inside a transaction of the caller's, the group is part of it.
    const bool own = sqlite3_get_autocommit(store->db) != 0;
    int rc = own ? sqlite3_exec(store->db, "BEGIN", nullptr, nullptr, nullptr) : SQLITE_OK;
    Statement statements[CatalogueOp::kKinds];  // one of each kind of write
    for (auto it = group.begin(); rc == SQLITE_OK && it != group.end(); ++it) {
      // A failure it retries (a full disk, a lock) is the caller's one line.
      const int64_t id = run_op(store, *it, statements[static_cast<size_t>(it->kind)], &rc, false);
      if (rc != SQLITE_OK && !is_transient(rc)) {
        // It fails whenever it runs: dropped, as a write run at once would
        // have been, and the rest of the group goes on.
        rc = SQLITE_OK;
      } else if (rc == SQLITE_OK && is_insert(*it) && id != it->id) {
        rnr_log(RNR_LOG_ERROR,
                "Database Another process writes the catalogue of %s: %s got the id %lld, not "
                "%lld",
                store->path,
                it->kind == Kind::kInsertTopic ? it->topic_name.c_str() : it->text.c_str(),
                static_cast<long long>(id), static_cast<long long>(it->id));
      }
    }
    if (rc == SQLITE_OK && own) {
      rc = sqlite3_exec(store->db, "COMMIT", nullptr, nullptr, nullptr);
    }
    if (rc != SQLITE_OK) {
      error = rnr::bag::internal::describe_error(store->db);
      result = rnr::bag::internal::is_lock_code(rc) ||
                       rnr::bag::internal::is_lock_code(sqlite3_extended_errcode(store->db))
                   ? WriteResult::kLocked
                   : WriteResult::kFailed;
      if (own && sqlite3_get_autocommit(store->db) == 0) {
        sqlite3_exec(store->db, "ROLLBACK", nullptr, nullptr, nullptr);
      }
    }
  }
  std::lock_guard<std::mutex> lock(store->mutex);
  if (result != WriteResult::kWritten) {
    // Kept, in front of what was queued meanwhile, to be written again with
    // the same ids.
    group.insert(group.end(), std::make_move_iterator(c.pending.begin()),
                 std::make_move_iterator(c.pending.end()));
    c.pending.swap(group);
    return result;
  }
  return result;
}

}  // namespace

WriteResult rnr::bag::internal::write_catalogue(rnr_Database* store, std::string& error) {
  if (store == nullptr || store->catalogue == nullptr) {
    return WriteResult::kWritten;
  }
  std::lock_guard<std::mutex> writing(store->catalogue->writing);
  return write_pending(store, error);
}

bool rnr_Database_write_catalogue(rnr_Database* store) {
  std::string error;
  if (rnr::bag::internal::write_catalogue(store, error) != WriteResult::kWritten) {
    rnr_log(RNR_LOG_ERROR, "Database Cannot execute sql (%s)", error.c_str());
    return false;
  }
  return true;
}

size_t rnr::bag::internal::catalogue_pending(const rnr_Database* store,
                                             std::chrono::steady_clock::time_point* since) {
  if (store->catalogue == nullptr) {
    return 0;
  }
  if (since != nullptr) {
    *since = store->catalogue->pending_since;
  }
  return store->catalogue->pending.size();
}

size_t rnr::bag::internal::drop_catalogue(rnr_Database* store) {
  if (store->catalogue == nullptr) {
    return 0;
  }
  const size_t dropped = store->catalogue->pending.size();
  store->catalogue->pending.clear();
  return dropped;
}

int64_t rnr::bag::internal::submit_catalogue(rnr_Database* store, CatalogueOp op) {
  if (store->catalogue == nullptr) {
    std::lock_guard<std::mutex> connection(store->connection_mutex);
    int rc = SQLITE_OK;
    Statement st;
    return run_op(store, op, st, &rc);
  }
  Catalogue& c = *store->catalogue;
  std::lock_guard<std::mutex> callers(c.callers);
  uint64_t session = 0;
  {
    std::lock_guard<std::mutex> lock(store->mutex);
    session = store_thread_session(store);
  }
  if (session != c.session) {
    c.session = session;
    c.topics_known = false;
    c.writers_known = false;
    c.topic_keys.clear();
    c.writer_keys.clear();
  }
  int64_t id = 0;
  if (session != 0 && is_insert(op)) {
    // The row must be new, as the table's UNIQUE constraint would have it,
    // and it gets the next id of its table.
    const bool topic = op.kind == Kind::kInsertTopic;
    bool& known = topic ? c.topics_known : c.writers_known;
    auto& keys = topic ? c.topic_keys : c.writer_keys;
    int64_t& next = topic ? c.next_topic_id : c.next_writer_id;
    if (!known && !load_keys(store, topic, keys, next)) {
      rnr_log(RNR_LOG_ERROR, "Database Cannot execute sql");
      return -1;
    }
    known = true;
    std::string key = topic ? topic_key(op) : op.text;
    if (keys.count(key) != 0) {
      rnr_log(RNR_LOG_ERROR, "Database Cannot execute sql");
      return -1;
    }
    if (next <= 0 || next > INT32_MAX) {
      rnr_log(RNR_LOG_ERROR, "Database Row id %lld out of range", static_cast<long long>(next));
      return -1;
    }
    op.id = next;
    std::lock_guard<std::mutex> lock(store->mutex);
    if (store_thread_session(store) == session) {
      ++next;
      keys.insert(std::move(key));
      id = op.id;
      if (c.pending.empty()) {
        c.pending_since = std::chrono::steady_clock::now();
      }
      c.pending.push_back(std::move(op));
      wake_store_thread(store);
      return id;
    }
  } else if (session != 0) {
    std::lock_guard<std::mutex> lock(store->mutex);
    if (store_thread_session(store) == session) {
      if (c.pending.empty()) {
        c.pending_since = std::chrono::steady_clock::now();
      }
      c.pending.push_back(std::move(op));
      wake_store_thread(store);
      return 0;
    }
  }
  // At once, after whatever is still queued, so that the order holds and no
  // id handed out is taken. The kept keys no longer follow the bag.
  c.session = 0;
  c.topics_known = false;
  c.writers_known = false;
  std::lock_guard<std::mutex> writing(c.writing);
  std::string error;
  if (write_pending(store, error) != WriteResult::kWritten) {
    rnr_log(RNR_LOG_ERROR, "Database Cannot execute sql (%s)", error.c_str());
    return -1;
  }
  std::lock_guard<std::mutex> connection(store->connection_mutex);
  int rc = SQLITE_OK;
  Statement st;
  return run_op(store, op, st, &rc);
}
