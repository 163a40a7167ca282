#include "bag/writer_qos.h"

#include <mutex>
#include <new>

#include "bag/catalogue.h"
#include "bag/database_internal.h"
#include "log/logger.h"

namespace {

using rnr::bag::internal::Statement;

constexpr const char* kCreateWriterQos =
    "CREATE TABLE IF NOT EXISTS writer_qos (  writer_id INTEGER PRIMARY KEY NOT NULL,  topic_id "
    "INTEGER NOT NULL,  qos TEXT NOT NULL)";

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
  rnr::bag::internal::CatalogueOp op;
  op.kind = rnr::bag::internal::CatalogueOp::Kind::kInsertWriterQos;
  op.id = writer_id;
  op.topic_id = topic_id;
  op.text = qos_text;
  return rnr::bag::internal::submit_catalogue(store, std::move(op)) == 0;
}
