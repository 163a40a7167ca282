#include "bag_files.h"

#include <stdexcept>

namespace rnr::test {

BagWriter::BagWriter(const std::string& path) {
  if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK) {
    throw std::runtime_error("cannot create test bag " + path);
  }
  exec(
      "CREATE TABLE IF NOT EXISTS topics (  _id INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL,  "
      "topic_name VARCHAR(255),  type_name VARCHAR(255),  metastring TEXT,  is_with_key INTEGER,  "
      "UNIQUE (topic_name, type_name));");
  exec(
      "CREATE TABLE IF NOT EXISTS writers (  _id INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL,  "
      "guid VARCHAR(36),  UNIQUE (guid));");
  exec(
      "CREATE TABLE IF NOT EXISTS data (  _id INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL,  "
      "topic_id INTEGER,  timestamp TIMESTAMP DEFAULT CURRENT_TIMESTAMP NOT NULL,  "
      "serialized_data BLOB,  FOREIGN KEY (topic_id) REFERENCES topics(_id))");
}

BagWriter::~BagWriter() {
  sqlite3_close(db_);
}

void BagWriter::exec(const std::string& sql) {
  if (!exec_sql(db_, sql)) {
    throw std::runtime_error("test bag statement failed: " + std::string(sqlite3_errmsg(db_)));
  }
}

int BagWriter::add_topic(const std::string& topic_name, const std::string& type_name,
                         int is_with_key, const char* metastring) {
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(
      db_, "INSERT INTO topics(topic_name, type_name, metastring, is_with_key) VALUES(?, ?, ?, ?)",
      -1, &stmt, nullptr);
  sqlite3_bind_text(stmt, 1, topic_name.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(stmt, 2, type_name.c_str(), -1, SQLITE_TRANSIENT);
  if (metastring != nullptr) {
    sqlite3_bind_text(stmt, 3, metastring, -1, SQLITE_TRANSIENT);
  }
  sqlite3_bind_int(stmt, 4, is_with_key);
  const int step = sqlite3_step(stmt);
  sqlite3_finalize(stmt);
  if (step != SQLITE_DONE) {
    throw std::runtime_error("cannot add test topic");
  }
  return static_cast<int>(sqlite3_last_insert_rowid(db_));
}

void BagWriter::add_sample(int topic_id, uint64_t timestamp, const std::vector<uint8_t>& bytes) {
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(db_, "INSERT INTO data(topic_id, timestamp, serialized_data) VALUES(?, ?, ?)",
                     -1, &stmt, nullptr);
  sqlite3_bind_int(stmt, 1, topic_id);
  sqlite3_bind_int64(stmt, 2, static_cast<sqlite3_int64>(timestamp));
  sqlite3_bind_blob(stmt, 3, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
  const int step = sqlite3_step(stmt);
  sqlite3_finalize(stmt);
  if (step != SQLITE_DONE) {
    throw std::runtime_error("cannot add test sample");
  }
}

Bag read_bag(const std::string& path) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return Bag{};
  }
  Bag bag = read_bag(db);
  sqlite3_close(db);
  return bag;
}

Bag read_bag(sqlite3* db) {
  Bag bag;
  bag.opened = true;
  auto text = [](sqlite3_stmt* s, int col) -> std::optional<std::string> {
    if (sqlite3_column_type(s, col) == SQLITE_NULL) {
      return std::nullopt;
    }
    return std::string(reinterpret_cast<const char*>(sqlite3_column_text(s, col)),
                       static_cast<size_t>(sqlite3_column_bytes(s, col)));
  };
  sqlite3_stmt* s = nullptr;
  if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &s, nullptr) == SQLITE_OK &&
      sqlite3_step(s) == SQLITE_ROW) {
    bag.integrity_ok = text(s, 0).value_or("") == "ok";
  }
  sqlite3_finalize(s);
  if (sqlite3_prepare_v2(db,
                         "SELECT _id, topic_name, type_name, metastring, is_with_key FROM topics "
                         "ORDER BY _id",
                         -1, &s, nullptr) == SQLITE_OK) {
    while (sqlite3_step(s) == SQLITE_ROW) {
      TopicRow row;
      row.id = sqlite3_column_int64(s, 0);
      row.topic_name = text(s, 1).value_or("");
      row.type_name = text(s, 2).value_or("");
      row.metastring = text(s, 3);
      if (sqlite3_column_type(s, 4) != SQLITE_NULL) {
        row.is_with_key = sqlite3_column_int64(s, 4);
      }
      bag.topics.push_back(row);
    }
  }
  sqlite3_finalize(s);
  if (sqlite3_prepare_v2(db, "SELECT guid FROM writers ORDER BY _id", -1, &s, nullptr) ==
      SQLITE_OK) {
    while (sqlite3_step(s) == SQLITE_ROW) {
      bag.writers.push_back(text(s, 0).value_or(""));
    }
  }
  sqlite3_finalize(s);
  if (sqlite3_prepare_v2(db,
                         "SELECT _id, topic_id, timestamp, typeof(timestamp), serialized_data "
                         "FROM data ORDER BY _id",
                         -1, &s, nullptr) == SQLITE_OK) {
    while (sqlite3_step(s) == SQLITE_ROW) {
      DataRow row;
      row.id = sqlite3_column_int64(s, 0);
      row.topic_id = sqlite3_column_int64(s, 1);
      row.timestamp = sqlite3_column_int64(s, 2);
      row.timestamp_is_integer = text(s, 3).value_or("") == "integer";
      const auto* blob = static_cast<const uint8_t*>(sqlite3_column_blob(s, 4));
      const int size = sqlite3_column_bytes(s, 4);
      if (blob != nullptr && size > 0) {
        row.bytes.assign(blob, blob + size);
      }
      bag.data.push_back(std::move(row));
    }
  }
  sqlite3_finalize(s);
  return bag;
}

int64_t query_int(sqlite3* db, const std::string& sql) {
  sqlite3_stmt* stmt = nullptr;
  int64_t value = -1;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK &&
      sqlite3_step(stmt) == SQLITE_ROW) {
    value = sqlite3_column_int64(stmt, 0);
  }
  sqlite3_finalize(stmt);
  return value;
}

bool exec_sql(sqlite3* db, const std::string& sql) {
  return sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
}

std::string as_text(const std::vector<uint8_t>& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

std::vector<uint8_t> xcdr1_sample(uint32_t value) {
  return {0x00,
          0x01,
          0x00,
          0x00,
          static_cast<uint8_t>(value),
          static_cast<uint8_t>(value >> 8),
          static_cast<uint8_t>(value >> 16),
          static_cast<uint8_t>(value >> 24)};
}

std::optional<uint32_t> payload_u32(const std::vector<uint8_t>& sample, size_t offset) {
  if (sample.size() < 4 + offset + 4) {
    return std::nullopt;
  }
  // Encapsulation identifier: odd second byte means little-endian.
  const bool little = (sample[1] & 1u) != 0;
  const uint8_t* p = sample.data() + 4 + offset;
  return little
             ? (uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24)
             : (uint32_t{p[3]} | uint32_t{p[2]} << 8 | uint32_t{p[1]} << 16 | uint32_t{p[0]} << 24);
}

const TopicRow* topic_named(const Bag& bag, const std::string& name) {
  for (const auto& t : bag.topics) {
    if (t.topic_name == name) {
      return &t;
    }
  }
  return nullptr;
}

std::vector<std::vector<uint8_t>> rows_of(const Bag& bag, int64_t topic_id) {
  std::vector<std::vector<uint8_t>> out;
  for (const auto& row : bag.data) {
    if (row.topic_id == topic_id) {
      out.push_back(row.bytes);
    }
  }
  return out;
}

}  // namespace rnr::test
