// The bag's `writer_qos` table: for each catalogued writer, the topic it
// wrote and the QoS it offered, as the text of rnr::qos::to_text. Bags
// recorded without it stay valid; readers find no rows then.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <vector>

#include "bag/database.h"

// Creates the table unless it exists. False (logged) when it cannot.
bool rnr_Database_create_writer_qos_table(rnr_Database* store);

// Records the offered QoS of the writer in row `writer_id` of `writers`, who
// writes the topic in row `topic_id` of `topics`. False (logged) on failure.
bool rnr_Database_insert_writer_qos(rnr_Database* store, int32_t writer_id, int32_t topic_id,
                                    const std::string& qos_text);

// One row of `writer_qos` with its writer's GUID text.
struct rnr_WriterQosRow {
  int32_t writer_id = 0;
  std::string guid;
  int32_t topic_id = 0;
  std::string qos;
};

// Every row, by topic id then writer id; empty when the bag has no such
// table. `ok` (optional) is false when the table exists but cannot be read.
// Logs nothing (the bag tool uses it without the logger).
std::vector<rnr_WriterQosRow> rnr_bag_read_writer_qos(sqlite3* db, bool* ok = nullptr);
