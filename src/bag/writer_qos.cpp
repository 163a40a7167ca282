#include "bag/writer_qos.h"

#include <mutex>
#include <new>

#include "bag/database_internal.h"
#include "log/logger.h"

namespace {

using bag_internal::Statement;

constexpr const char* kCreateWriterQos =
    "CREATE TABLE IF NOT EXISTS writer_qos (  writer_id INTEGER PRIMARY KEY NOT NULL,  topic_id "
    "INTEGER NOT NULL,  qos TEXT NOT NULL)";
constexpr const char* kInsertWriterQos =
    "INSERT OR REPLACE INTO writer_qos(writer_id, topic_id, qos) VALUES(?, ?, ?)";

}  // namespace

bool rnr_Database_create_writer_qos_table(rnr_Database* store) {
  if (store == nullptr || store->db == nullptr) {
    return false;
  }
  std::lock_guard<std::mutex> lock(store->connection_mutex);
  char* error = nullptr;
  if (sqlite3_exec(store->db, kCreateWriterQos, nullptr, nullptr, &error) != SQLITE_OK) {
    rnr_log(RNR_LOG_ERROR, "Database Cannot create table writer_qos (%s)",
            error != nullptr ? error : "unknown error");
    sqlite3_free(error);
    return false;
  }
  return true;
}

bool rnr_Database_insert_writer_qos(rnr_Database* store, int32_t writer_id, int32_t topic_id,
                                    const std::string& qos_text) {
  if (store == nullptr || store->db == nullptr) {
    rnr_log(RNR_LOG_ERROR, "Database Cannot insert writer QoS: invalid argument");
    return false;
  }
  std::lock_guard<std::mutex> lock(store->connection_mutex);
  Statement st;
  if (sqlite3_prepare_v2(store->db, kInsertWriterQos, -1, &st.stmt, nullptr) != SQLITE_OK ||
      sqlite3_bind_int(st.stmt, 1, writer_id) != SQLITE_OK ||
      sqlite3_bind_int(st.stmt, 2, topic_id) != SQLITE_OK ||
      sqlite3_bind_text(st.stmt, 3, qos_text.data(), static_cast<int>(qos_text.size()),
                        SQLITE_STATIC) != SQLITE_OK ||
      sqlite3_step(st.stmt) != SQLITE_DONE) {
    rnr_log(RNR_LOG_ERROR, "Database Cannot insert the QoS of writer %d (%s)", writer_id,
            sqlite3_errmsg(store->db));
    return false;
  }
  return true;
}
