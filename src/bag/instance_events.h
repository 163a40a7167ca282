// The bag's `instance_events` table: the disposes and unregisters of keyed
// instances that the recorder received, each with its topic, its reception
// time (the clock of data.timestamp), the `data._id` of the last sample
// received before it (0: none), the writer's GUID text, its source time and
// the key as it arrived (serialized, encapsulation header first) or the key
// hash its sender supplied, or `with_sample` 1 when the change came with
// that sample. Rows are in reception order by _id. Bags
// recorded without the table stay valid; readers find no events then.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bag/bag_reader.h"
#include "bag/database.h"

struct sqlite3;
struct sqlite3_stmt;

enum rnr_InstanceEventKind : int32_t {
  RNR_INSTANCE_DISPOSE = 1,
  RNR_INSTANCE_UNREGISTER = 2,
};

// One event handed to the store. The store copies what it points to.
struct rnr_InstanceEventRow {
  uint64_t timestamp;  // reception time, ns since the Unix epoch
  uint32_t topic_id;
  rnr_InstanceEventKind kind;
  uint64_t source_timestamp;  // ns; 0 when not known
  const char* writer_guid;    // GUID text, or null when not known
  const void* key;            // serialized key, or null
  size_t key_size;
  const uint8_t* key_hash;  // 16 bytes, or null
  // The state change came with the sample received just before it (a
  // write-dispose, or a change that arrived behind the sample before the
  // recorder took it): it names its instance by that sample.
  bool with_sample;
};

// Creates the table unless it exists. False (logged) when it cannot.
bool rnr_Database_create_instance_events_table(rnr_Database* store);

// Stores one event behind the samples inserted before it: while a bulk
// insert runs, in the batch being filled, so that it is committed in the
// same transaction as the samples around it; otherwise at once. False
// (logged) on failure.
bool rnr_Database_insert_instance_event(rnr_Database* store, const rnr_InstanceEventRow* row);

// The text of a kind as the table holds it: "dispose" or "unregister".
const char* rnr_instance_event_kind_text(rnr_InstanceEventKind kind);

namespace rnr::bag {

// One row of instance_events as read back.
struct InstanceEvent {
  int64_t id = 0;
  int64_t topic_id = 0;
  int64_t after_data_id = 0;
  int64_t timestamp = 0;
  bool timestamp_is_integer = false;
  std::string kind;  // "dispose", "unregister", or what a damaged row holds
  std::string writer;
  std::optional<int64_t> source_timestamp;
  std::vector<uint8_t> key;
  std::vector<uint8_t> key_hash;
  bool with_sample = false;
};

// Reads the events a filter selects (its topics, and its time range on the
// events' reception times) in _id order, a chunk at a time. A bag without
// the table has no events.
class InstanceEventCursor {
 public:
  static constexpr size_t kChunkRows = 256;

  InstanceEventCursor() = default;
  ~InstanceEventCursor();
  InstanceEventCursor(const InstanceEventCursor&) = delete;
  InstanceEventCursor& operator=(const InstanceEventCursor&) = delete;

  // Starts at the first event. `db` stays its owner's and must outlive the
  // cursor's reads.
  bool open(sqlite3* db, const SampleFilter& filter, std::string* error);
  // The next event, or null at the end (also when the bag has no table);
  // false when a read fails.
  bool peek(const InstanceEvent** event, std::string* error);
  void pop() { ++next_; }
  // Back to the first event (a replay's next pass).
  void rewind();
  bool has_table() const { return has_table_; }

 private:
  sqlite3* db_ = nullptr;
  sqlite3_stmt* stmt_ = nullptr;
  SampleFilter filter_;
  bool has_table_ = false;
  bool at_end_ = false;
  int64_t last_id_ = 0;
  std::vector<InstanceEvent> chunk_;
  size_t next_ = 0;
};

// Per topic id: the number of disposes and of unregisters.
struct InstanceEventCounts {
  uint64_t disposes = 0;
  uint64_t unregisters = 0;
};
bool count_instance_events(sqlite3* db, std::vector<std::pair<int64_t, InstanceEventCounts>>* out,
                           std::string* error);

}  // namespace rnr::bag
