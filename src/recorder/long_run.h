// The recorder on a long run: a recording that goes on in a sequence of bags
// (each split bag starts with the latched state as of its start), or that
// holds only its last seconds in memory and writes them as a bag on demand
// (snapshots); pausing and resuming; and the figures a status line or a
// remote supervisor shows. The record program decides the names and when
// to split; these are the operations it, or a remote control, calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "recorder/recorder.h"

enum rnr_recorder_mode : uint8_t {
  RNR_RECORDER_MODE_RECORDING = 0,  // samples go into the current bag
  RNR_RECORDER_MODE_PAUSED = 1,     // samples are discarded
  RNR_RECORDER_MODE_SNAPSHOT = 2,   // samples go into the in-memory window
};

struct rnr_long_run_options {
  // Keep the latest sample of each instance of every transient-local (or
  // more durable) topic, to start each new bag or snapshot with.
  bool keep_latched = true;
  // Snapshots: > 0 holds the last `snapshot_ns` of samples in memory and
  // writes no bag until rnr_recorder_snapshot_now.
  uint64_t snapshot_ns = 0;
  // The type description to store for a topic whose writers announce no
  // type: true with the IDL text (declaring `type_name`) in `*description`,
  // false when there is none. Called on discovery threads. A writer that
  // announces its type later replaces it.
  std::function<bool(const char* type_name, std::string* description)> supplied_type;
};

// Creates the recorder on `domain_id` for a long run. With a snapshot
// window `bag_path` is ignored and the catalogue is kept in memory;
// otherwise the first bag is `bag_path`, a new file. Null (logged) on
// failure.
rnr_recorder* rnr_recorder_create_long_run(int32_t domain_id, const char* bag_path,
                                           const rnr_long_run_options* options);

// Stops storing samples (each one taken is discarded, as a sample taken on
// purpose and not a lost one) and resumes. False when the recorder is not
// recording into a bag (or, for resume, not paused).
bool rnr_recorder_pause(rnr_recorder* recorder);
bool rnr_recorder_resume(rnr_recorder* recorder);

// Goes on in the new bag `next_path`: the bag is created with the catalogue
// of the current one and started before the switch; from the switch on
// every sample goes to it, after the latched state as of the switch (its
// rows listed in `repeated_rows`). The previous bag is then finished; false
// with `error` set when a bag cannot be made or the previous one lost
// samples (the recording goes on where it can).
bool rnr_recorder_split_now(rnr_recorder* recorder, const char* next_path, std::string* error);

// Creates the bag `next_path` with its tables ahead of the split into it,
// so that the split itself only copies the catalogue and switches; a split
// into another name drops it (the file is removed), as does the end of the
// run. False with `error` set when it cannot be created.
bool rnr_recorder_prepare_split(rnr_recorder* recorder, const char* next_path, std::string* error);

// Writes the snapshot window (the latched state as of its start, then its
// samples) as a complete bag: through `path` + ".partial", renamed to `path`,
// which must not exist, once complete. Recording into the window goes on
// meanwhile. False with `error` set on failure (nothing is left behind).
bool rnr_recorder_snapshot_now(rnr_recorder* recorder, const char* path, std::string* error);

struct rnr_recorder_status {
  uint8_t mode = RNR_RECORDER_MODE_RECORDING;
  std::string current_file;    // the bag written to; empty with a snapshot window
  uint64_t samples = 0;        // stored in bags (or held by the window) so far
  uint64_t bytes = 0;          // their serialized bytes
  uint64_t lost = 0;           // samples lost: never arrived, or not stored
  uint64_t never_arrived = 0;  // of those, samples that never reached the recorder
  uint64_t discarded = 0;      // samples discarded while paused
  uint64_t topics = 0;         // topics recorded
  uint64_t bag_samples = 0;    // in the current bag
  uint64_t bag_bytes = 0;      // serialized bytes handed to the current bag
  uint64_t bag_held = 0;       // of them, still held in memory
  uint64_t bag_base = 0;       // the current bag's file size before its first sample (0: unknown)
  double finished_ratio = 0;   // file bytes per sample byte of the last finished bag (0: none)
  uint64_t window_samples = 0;
  uint64_t window_ns = 0;  // span of the samples the window holds
};
rnr_recorder_status rnr_recorder_get_status(rnr_recorder* recorder);

// Finishes a long run after rnr_recorder_stop_record: the current bag (not
// with a snapshot window) is written to the end. False when any bag of the
// run lost samples.
bool rnr_recorder_finish_long_run(rnr_recorder* recorder);
