// Bags seen from the outside: written row by row and read back with plain
// SQLite, without the tool's own bag code.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace rnr::test {

// Timestamps of the test bags: a base in 2023 and one millisecond, in ns.
constexpr uint64_t kBase = 1700000000000000000ull;
constexpr uint64_t kMs = 1000000ull;

// A bag with the recorder's schema, filled row by row.
class BagWriter {
 public:
  explicit BagWriter(const std::string& path);
  ~BagWriter();
  BagWriter(const BagWriter&) = delete;
  BagWriter& operator=(const BagWriter&) = delete;

  int add_topic(const std::string& topic_name, const std::string& type_name, int is_with_key,
                const char* metastring = "struct T { long x; };");
  void add_sample(int topic_id, uint64_t timestamp, const std::vector<uint8_t>& bytes);
  // Groups the rows added in between into one transaction (one disk sync).
  void begin() { exec("BEGIN"); }
  void commit() { exec("COMMIT"); }

 private:
  void exec(const std::string& sql);
  sqlite3* db_ = nullptr;
};

// Rows of a bag.
struct TopicRow {
  int64_t id = 0;
  std::string topic_name;
  std::string type_name;
  std::optional<std::string> metastring;
  std::optional<int64_t> is_with_key;
};
struct DataRow {
  int64_t id = 0;
  int64_t topic_id = 0;
  int64_t timestamp = 0;
  bool timestamp_is_integer = false;
  std::vector<uint8_t> bytes;
};
struct Bag {
  bool opened = false;
  bool integrity_ok = false;
  std::vector<TopicRow> topics;
  std::vector<std::string> writers;
  std::vector<DataRow> data;
};
Bag read_bag(const std::string& path);
// The topic row of that name, or null.
const TopicRow* topic_named(const Bag& bag, const std::string& name);
// The stored bytes of one topic's rows, in row order.
std::vector<std::vector<uint8_t>> rows_of(const Bag& bag, int64_t topic_id);
// The same over an open connection (left open).
Bag read_bag(sqlite3* db);

// Runs a query that yields one integer; -1 when it yields none.
int64_t query_int(sqlite3* db, const std::string& sql);
bool exec_sql(sqlite3* db, const std::string& sql);

// The bytes of a sample as a string, for comparing with text payloads.
std::string as_text(const std::vector<uint8_t>& bytes);

// Serialized bytes of a keyless sample: an XCDR1 little-endian header and a
// 4-byte payload carrying `value`.
std::vector<uint8_t> xcdr1_sample(uint32_t value);

// Decodes an unsigned 32-bit field at `offset` of a serialized sample's
// payload (after its 4-byte encapsulation header), in the sample's byte order.
std::optional<uint32_t> payload_u32(const std::vector<uint8_t>& sample, size_t offset);

}  // namespace rnr::test
