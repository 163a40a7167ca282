// The recorder behind the `record` command: one participant and subscriber on
// the chosen domain, the requested topics, and the bag they are recorded into.
// Discovery of remote writers creates raw readers for each requested topic; each
// received sample is stored as its serialized bytes with its reception time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bag/database.h"

// The recorder; its parts are private to the recorder (recorder_internal.h).
struct rnr_recorder;

// Creates the recorder on `domain_id`. A null `bag_path` means the generated
// name "dovuve_%Y_%m_%d-%H_%M_%S.sqlite3" in the working directory. The bag is
// always a new file: an existing file of that name is never written to.
rnr_recorder* rnr_recorder_create(int32_t domain_id, const char* bag_path);
// Adds a pair to record. A literal pair gets its `topics` row at once; a
// pattern or exclusion pair (topic_patterns.h) is kept, and each topic it
// brings in gets its row when its first writer is discovered after start.
bool rnr_recorder_add_topic(rnr_recorder* recorder, const char* topic_name, const char* type_name);
bool rnr_recorder_start_record(rnr_recorder* recorder);
// Stops recording: the samples each reader has received are stored, then the
// readers are deleted.
void rnr_recorder_stop_record(rnr_recorder* recorder);
// Writes what the store still holds. False when samples were lost because
// the bag could not store them (their number is logged).
bool rnr_recorder_save_record(rnr_recorder* recorder);
// Bounds the sample bytes held in memory and not yet written to the bag
// (default RNR_DATABASE_DEFAULT_HELD_BYTES_LIMIT); call before start.
void rnr_recorder_set_held_bytes_limit(rnr_recorder* recorder, size_t bytes);
void rnr_recorder_destroy(rnr_recorder* recorder);
