#include "bag/database.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>

#include "bag/catalogue.h"
#include "bag/database_internal.h"
#include "bag/sqlite_busy.h"
#include "log/logger.h"

using rnr::bag::internal::CatalogueOp;
using rnr::bag::internal::Statement;

namespace {

constexpr const char* kCreateTopics =
    "CREATE TABLE IF NOT EXISTS topics (  _id INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL,  "
    "topic_name VARCHAR(255),  type_name VARCHAR(255),  metastring TEXT,  is_with_key INTEGER,  "
    "UNIQUE (topic_name, type_name));";
constexpr const char* kCreateWriters =
    "CREATE TABLE IF NOT EXISTS writers (  _id INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL,  guid "
    "VARCHAR(36),  UNIQUE (guid));";
constexpr const char* kCreateData =
    "CREATE TABLE IF NOT EXISTS data (  _id INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL,  topic_id "
    "INTEGER,  timestamp TIMESTAMP DEFAULT CURRENT_TIMESTAMP NOT NULL,  serialized_data BLOB,  "
    "FOREIGN KEY (topic_id) REFERENCES topics(_id))";

constexpr const char* kSelectTopics =
    "SELECT _id, topic_name, type_name, metastring, is_with_key FROM topics";
constexpr const char* kCountData = "SELECT COUNT(*) FROM data WHERE topic_id = ?";
constexpr int kOpenFlags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_PRIVATECACHE;

// Length of a name held in a 256-byte field, or -1 when it has no terminator.
int name_length(const rnr_name_field& name) {
  const size_t length = strnlen(name, RNR_NAME_FIELD_SIZE);
  return length < RNR_NAME_FIELD_SIZE ? static_cast<int>(length) : -1;
}

}  // namespace

// --- Store lifecycle -----------------------------------------------------------

rnr_Database* rnr_Database_create(const char* path) {
  // A name that does not fit the path field is refused whole: a cut name
  // would open another file.
  if (path == nullptr || strnlen(path, sizeof(rnr_Database::path)) >= sizeof(rnr_Database::path)) {
    rnr_log(RNR_LOG_ERROR, "Database Cannot open database %.255s...: the name is too long",
            path != nullptr ? path : "(null)");
    return nullptr;
  }
  auto* store = new (std::nothrow) rnr_Database{};
  if (store == nullptr) {
    rnr_log(RNR_LOG_ERROR, "Database Cannot open database %s (out of memory)", path);
    return nullptr;
  }
  std::strcpy(store->path, path);
  store->catalogue = new (std::nothrow) rnr::bag::internal::Catalogue();
  if (store->catalogue == nullptr) {
    rnr_log(RNR_LOG_ERROR, "Database Cannot open database %s (out of memory)", path);
    delete store;
    return nullptr;
  }

  bool created = false;
  const bool opened = sqlite3_open_v2(store->path, &store->db, kOpenFlags, nullptr) == SQLITE_OK;
  if (opened) {
    rnr::bag::internal::install_busy_handler(store);
  }
  if (!opened) {
    rnr_log(RNR_LOG_ERROR, "Database Cannot open database %s (%s)", store->path,
            rnr::bag::internal::describe_error(store->db).c_str());
  } else if (sqlite3_exec(store->db, kCreateTopics, nullptr, nullptr, nullptr) != SQLITE_OK) {
    rnr_log(RNR_LOG_ERROR, "Database Cannot create topics table");
  } else if (sqlite3_exec(store->db, kCreateWriters, nullptr, nullptr, nullptr) != SQLITE_OK) {
    rnr_log(RNR_LOG_ERROR, "Database Cannot create writers table");
  } else if (sqlite3_exec(store->db, kCreateData, nullptr, nullptr, nullptr) != SQLITE_OK) {
    rnr_log(RNR_LOG_ERROR, "Database Cannot create data table");
  } else {
    created = true;
  }
  if (!created) {
    // A handle comes back even from a failed open; closing null is harmless.
    sqlite3_close(store->db);
    delete store->catalogue;
    delete store;
    return nullptr;
  }
  return store;
}

void rnr_Database_destroy(rnr_Database* store) {
  if (store == nullptr) {
    return;
  }
  // Buffered samples are written, and the batch statement is finalized so
  // that the connection can close.
  if (store->bulk_insert_enabled.load()) {
    rnr_Database_end_bulk_insert_data(store);
  }
  rnr::bag::internal::delete_bulk_writer(store->bulk_writer);
  store->bulk_writer = nullptr;
  if (sqlite3_close(store->db) != SQLITE_OK) {
    // Statements of other users are still open: the connection closes once
    // they are finalized.
    rnr_log(RNR_LOG_ERROR, "Database Cannot close database (%s)", sqlite3_errmsg(store->db));
    sqlite3_close_v2(store->db);
  }
  delete store->catalogue;
  delete store;
}

// --- Topic and writer catalogue -------------------------------------------------

void rnr_TopicsRowDeleter::operator()(rnr_TopicsRow* row) const {
  if (row != nullptr) {
    std::free(row->metastring);
    delete row;
  }
}

int32_t rnr_Database_insert_topic(rnr_Database* store, const char* topic_name,
                                  const char* type_name) {
  if (store == nullptr || topic_name == nullptr || type_name == nullptr) {
    rnr_log(RNR_LOG_ERROR, "Database Cannot insert topic: invalid argument");
    return -1;
  }
  CatalogueOp op;
  op.kind = CatalogueOp::Kind::kInsertTopic;
  op.topic_name = topic_name;
  op.type_name = type_name;
  return static_cast<int32_t>(rnr::bag::internal::submit_catalogue(store, std::move(op)));
}

bool rnr_Database_update_topics(rnr_Database* store, const rnr_TopicDescription* topic) {
  if (store == nullptr || topic == nullptr) {
    rnr_log(RNR_LOG_ERROR, "Database Cannot update topic: invalid argument");
    return false;
  }
  const int topic_length = name_length(topic->topic_name);
  const int type_length = name_length(topic->type_name);
  if (topic_length < 0 || type_length < 0) {
    rnr_log(RNR_LOG_ERROR, "Database Cannot update topic: name without terminator");
    return false;
  }
  CatalogueOp op;
  op.kind = CatalogueOp::Kind::kUpdateTopic;
  op.topic_name.assign(topic->topic_name, static_cast<size_t>(topic_length));
  op.type_name.assign(topic->type_name, static_cast<size_t>(type_length));
  op.has_text = topic->metastring != nullptr;
  if (op.has_text) {
    op.text = topic->metastring;
  }
  op.key = topic->is_with_key ? 1 : 0;
  return rnr::bag::internal::submit_catalogue(store, std::move(op)) == 0;
}

int32_t rnr_Database_insert_entity_info(rnr_Database* store, const dds_guid* guid) {
  if (store == nullptr || guid == nullptr) {
    rnr_log(RNR_LOG_ERROR, "Database Cannot insert writer: invalid argument");
    return -1;
  }
  CatalogueOp op;
  op.kind = CatalogueOp::Kind::kInsertWriter;
  op.text = dds_guid_format(guid).text;
  return static_cast<int32_t>(rnr::bag::internal::submit_catalogue(store, std::move(op)));
}

rnr_TopicsRowList* rnr_Database_get_topics_row_list(rnr_Database* store) {
  if (store == nullptr) {
    rnr_log(RNR_LOG_ERROR, "Database Cannot prepare database query");
    return nullptr;
  }
  Statement st;
  if (sqlite3_prepare_v2(store->db, kSelectTopics, -1, &st.stmt, nullptr) != SQLITE_OK) {
    rnr_log(RNR_LOG_ERROR, "Database Cannot prepare database query");
    return nullptr;
  }
  try {
    auto list = std::make_unique<rnr_TopicsRowList>();
    // SQLITE_DONE and an error both end the rows.
    while (sqlite3_step(st.stmt) == SQLITE_ROW) {
      std::unique_ptr<rnr_TopicsRow, rnr_TopicsRowDeleter> row(new rnr_TopicsRow{});
      row->id = sqlite3_column_int(st.stmt, 0);
      // The zero fill terminates the names; a NULL name stays empty.
      for (int column : {1, 2}) {
        const auto* text = sqlite3_column_text(st.stmt, column);
        const size_t bytes = static_cast<size_t>(sqlite3_column_bytes(st.stmt, column));
        rnr_name_field& field = column == 1 ? row->topic_name : row->type_name;
        if (text != nullptr) {
          rnr_name_copy(field, reinterpret_cast<const char*>(text));
          row->name_too_long = row->name_too_long || bytes >= RNR_NAME_FIELD_SIZE;
        }
      }
      const auto* meta = sqlite3_column_text(st.stmt, 3);
      if (meta != nullptr) {
        const size_t bytes = static_cast<size_t>(sqlite3_column_bytes(st.stmt, 3));
        row->metastring = static_cast<char*>(std::malloc(bytes + 1));
        if (row->metastring == nullptr) {
          throw std::bad_alloc();
        }
        std::memcpy(row->metastring, meta, bytes);
        row->metastring[bytes] = '\0';
      }
      row->is_with_key = sqlite3_column_int(st.stmt, 4);
      list->rows.push_back(std::move(row));
    }
    return list.release();
  } catch (const std::bad_alloc&) {
    rnr_log(RNR_LOG_ERROR, "Database Out of memory: Cannot read topics");
    return nullptr;
  }
}

void rnr_Database_topics_row_list_destroy(rnr_TopicsRowList* list) {
  delete list;
}

int32_t rnr_Database_get_data_count(rnr_Database* store, int32_t topic_id) {
  if (store == nullptr) {
    rnr_log(RNR_LOG_ERROR, "Database Cannot prepare database query");
    return 0;
  }
  Statement st;
  if (sqlite3_prepare_v2(store->db, kCountData, -1, &st.stmt, nullptr) != SQLITE_OK) {
    rnr_log(RNR_LOG_ERROR, "Database Cannot prepare database query");
    return 0;
  }
  if (sqlite3_bind_int(st.stmt, 1, topic_id) != SQLITE_OK) {
    rnr_log(RNR_LOG_ERROR, "Database Cannot bind topic_id(%d)", topic_id);
    return 0;
  }
  if (sqlite3_step(st.stmt) != SQLITE_ROW) {
    rnr_log(RNR_LOG_ERROR, "Database Cannot execute sql query");
    return 0;
  }
  const sqlite3_int64 count = sqlite3_column_int64(st.stmt, 0);
  return count > INT32_MAX ? INT32_MAX : static_cast<int32_t>(count);
}
