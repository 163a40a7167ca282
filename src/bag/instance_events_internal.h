// What the bulk insert (bulk_insert.cpp) and the instance events
// (instance_events.cpp) share: an event waiting in a batch, and its write.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "bag/database_internal.h"
#include "bag/instance_events.h"

namespace rnr::bag::internal {

// An event held in a batch behind the batch's first `after_rows` samples.
struct PendingInstanceEvent {
  size_t after_rows = 0;
  uint64_t timestamp = 0;
  uint32_t topic_id = 0;
  rnr_InstanceEventKind kind = RNR_INSTANCE_DISPOSE;
  uint64_t source_timestamp = 0;
  bool has_writer = false;
  std::string writer_guid;
  bool has_key = false;
  std::vector<uint8_t> key;
  bool has_key_hash = false;
  uint8_t key_hash[16] = {};
  bool with_sample = false;
};

// The store's own copy of an event. False when memory runs out.
bool copy_instance_event(const rnr_InstanceEventRow& row, size_t after_rows,
                         PendingInstanceEvent* out);

// Inserts the events of a batch whose `rows` samples were inserted just
// before (its ids the greatest of data): each event follows the data row
// it was received after. Runs inside the caller's transaction.
WriteResult insert_pending_events(rnr_Database* store,
                                  const std::vector<PendingInstanceEvent>& events, size_t rows,
                                  std::string& error);

// Queues the event in the bulk insert's batch being filled; false when no
// bulk insert runs (`queued` false) or the event cannot be held.
bool queue_instance_event(rnr_Database* store, const rnr_InstanceEventRow& row, bool* queued);

}  // namespace rnr::bag::internal
