// The commands of quorvin-rnr-bag. Each opens the bag read-only, writes its
// result, and returns the exit status: 0 on success, 1 after one line on
// standard error naming what failed, 128 + the signal after one line when a
// stop signal ended it (signals.h). A command that writes a file refuses an
// existing one unless `force`. --topic values are patterns (topic_select.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "bagtool/time_arg.h"

namespace rnr::bagtool {

// An aligned summary of the bag on `out`.
int run_info(const std::string& bag, FILE* out);
// The same of a recording split into several bags (several files, or their
// directory), taken as one in time order; of one bag file, run_info above.
int run_info(const std::vector<std::string>& bags, FILE* out);

// How `mcap` stores its chunks: compressed with zstd (the default), lz4, or
// not at all, each chunk holding about `chunk_size` bytes of messages.
struct McapOptions {
  enum class Compression { kZstd, kLz4, kNone };
  Compression compression = Compression::kZstd;
  size_t chunk_size = size_t{1} << 20;
  // --idl: descriptions for the types the bag does not describe
  // (supplied_types.h).
  std::vector<std::string> idl;
};

// How `json` writes octet and uint8 sequences and arrays: the first
// `max_bytes` (SIZE_MAX: all) as numbers or, with `base64`, as base64 text.
struct JsonOptions {
  size_t max_bytes = 64;
  bool base64 = false;
  std::vector<std::string> idl;  // as McapOptions::idl
};

struct ExportOptions {
  McapOptions mcap;
  JsonOptions json;
};

// Takes the option of `command` (mcap or json) at args[*i], with its value
// (args[*i + 1], *i moved past it, or after '='): kTaken, kNotTaken for any
// other argument, kBadValue with `error` set.
enum class OptionTake { kTaken, kNotTaken, kBadValue };
OptionTake take_export_option(const std::string& command, const std::vector<std::string>& args,
                              size_t* i, ExportOptions* options, std::string* error);

// The bag as an MCAP file at `out_path` (default: the bag's name with the
// suffix ".mcap" in place of ".sqlite3").
int run_mcap(const std::string& bag, std::string out_path, bool force,
             const McapOptions& options = {});

// One JSON object per sample on `out`, of the topics that match the
// patterns (all when none).
int run_json(const std::string& bag, const std::vector<std::string>& topics, FILE* out,
             const JsonOptions& options = {});

// A new bag OUT with the samples of BAG within [start, end] (of the topics
// that match the patterns, all when none).
int run_cut(const std::string& bag, const std::string& out, const std::optional<TimeArg>& start,
            const std::optional<TimeArg>& end, const std::vector<std::string>& topics, bool force);
// The same of a recording split into several bags (several files, or their
// directory), read as one in time order, each repeated row once as merge
// holds it; of one bag file, run_cut above. Times count from the
// recording's first sample.
int run_cut(const std::vector<std::string>& bags, const std::string& out,
            const std::optional<TimeArg>& start, const std::optional<TimeArg>& end,
            const std::vector<std::string>& topics, bool force);

// A new bag OUT with the samples of every bag, ordered by reception time. An
// existing OUT that is a bag is named as the output, since the inputs follow
// it.
int run_merge(const std::string& out, const std::vector<std::string>& bags, bool force);

// Stores in BAG the type description of TOPIC's type from the IDL `file`
// (supplied_types.h), in one transaction, after its first samples decode
// with it; refused while another process holds the bag for writing, and,
// unless `force`, when the topic has a description already.
int run_set_type(const std::string& bag, const std::string& topic, const std::string& file,
                 bool force);

// The line on standard error for a failure; returns 1.
int report_failure(const std::string& text);
// A line on standard error about something left out; the run goes on.
void report_warning(const std::string& text);

}  // namespace rnr::bagtool
