// A recording made of several bags (the split bags of one `record` run): the
// bags named on a command line, each a bag file or a directory of them,
// taken as one recording in time order, and which rows of each bag repeat a
// sample already held by an earlier one (the latched state a split bag
// starts with, listed in its `repeated_rows`), so that a command reading the
// set holds and plays each sample once.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace rnr::bagtool {

// The bags of `args` in recording order: each argument is a bag or a
// directory, whose files ending in ".sqlite3" are taken. Ordered by their
// first sample's timestamp, then by name (bags without samples by name,
// after those with samples of the same name order). False with `error` set
// when an argument is neither, a directory holds no bag, a bag cannot be
// read, or a bag is named twice.
bool expand_recording(const std::vector<std::string>& args, std::vector<std::string>* bags,
                      std::string* error);

// The ids of the rows of `bags[k]` to leave out when the bags are read in
// order: the rows its `repeated_rows` lists whose original (a row of the
// same topic and type, with the original's timestamp and the same bytes) is
// in one of bags[0..k-1]. Ascending; empty for a bag without the table.
// False with `error` set when a bag cannot be read.
bool repeated_rows_to_skip(const std::vector<std::string>& bags, size_t k,
                           std::vector<int64_t>* ids, std::string* error);

}  // namespace rnr::bagtool

namespace rnr::bagtool {

// One bag of a recording as a command reads it: its span and the rows it
// leaves out (ascending ids) because an earlier bag holds their originals.
struct RecordingBag {
  std::string path;
  bool any = false;  // holds a sample with an integer timestamp
  int64_t first = 0;
  int64_t last = 0;
  std::vector<int64_t> skipped;
};

// Whether the arguments name a recording rather than one bag file: several
// arguments, or a directory.
bool names_recording(const std::vector<std::string>& args);

// The bags of `args` in recording order (expand_recording) with their spans
// and the rows of each to leave out. With `compare_bytes` a repeated row is
// left out where an earlier bag holds a row of its topic with the
// original's timestamp and the same bytes (repeated_rows_to_skip); without,
// the same size is enough, so that no sample's bytes are read.
bool open_recording(const std::vector<std::string>& args, std::vector<RecordingBag>* bags,
                    std::string* error, bool compare_bytes = true);

}  // namespace rnr::bagtool
