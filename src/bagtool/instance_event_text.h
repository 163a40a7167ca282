// The bag tool's views of the instance events (bag/instance_events.h): the
// counts per topic that `info` prints, and the JSON line `json` writes for
// each event among the samples' lines.
#pragma once

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bag/instance_events.h"
#include "types/type_model.h"

namespace rnr::bagtool {

// Prints the disposes and unregisters per topic when the bag holds any.
bool print_instance_event_counts(FILE* out, sqlite3* db,
                                 const std::vector<bag::TopicSummary>& topics, std::string* error);

// Decodes the serialized keys of one topic's events: the key members of the
// topic's type, in order, as a key-only sample carries them.
class KeyDecoder {
 public:
  explicit KeyDecoder(const types::TypeGraph& graph, const types::JsonOptions& options);
  // Appends the key as a JSON object; false (nothing appended) when the
  // bytes do not fit.
  bool append(const std::vector<uint8_t>& key, std::string* out);

 private:
  std::optional<types::TypeGraph> graph_;
  std::unique_ptr<types::JsonDecoder> decoder_;
};

// Appends one event as a line of JSON (with its newline):
// {"event":"dispose","topic":T,"timestamp":N,"id":E,"after_id":R, then
// "with_sample":true when the change came with sample R, "writer",
// "source_timestamp", "key" (decoded) or "key_hex", "key_hash" when known}. `topic` is the quoted
// topic name or null; `keys` may be null.
void append_instance_event_json(std::string* line, const bag::InstanceEvent& event,
                                const std::string* topic, KeyDecoder* keys);

}  // namespace rnr::bagtool
