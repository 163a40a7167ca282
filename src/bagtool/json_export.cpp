// `json`: every sample as one line of JSON, decoded with the type
// description stored for its topic; a sample that cannot be decoded is given
// as its bytes in hexadecimal.
#include <algorithm>
#include <cinttypes>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

#include "bag/bag_reader.h"
#include "bag/sample_sources.h"
#include "bagtool/commands.h"
#include "bagtool/instance_event_text.h"
#include "bagtool/progress.h"
#include "bagtool/signals.h"
#include "bagtool/supplied_types.h"
#include "bagtool/topic_select.h"
#include "types/idl_parse.h"
#include "types/json_text.h"
#include "types/type_model.h"

namespace rnr::bagtool {

using bag::BagReader;
using bag::SampleFilter;
using bag::SampleRow;
using bag::TopicSummary;

namespace {

void append_hex(std::string* out, const uint8_t* data, size_t size) {
  static const char digits[] = "0123456789abcdef";
  const size_t at = out->size();
  out->resize(at + 2 * size + 2);
  char* p = out->data() + at;
  *p++ = '"';
  for (size_t i = 0; i < size; ++i) {
    *p++ = digits[data[i] >> 4];
    *p++ = digits[data[i] & 0xf];
  }
  *p = '"';
}

// ,"writer":"<GUID>","source_timestamp":N,"sequence":N; null for what is
// not known.
void append_source(std::string* line, const bag::SampleSourceRow& source,
                   const std::unordered_map<int64_t, std::string>& guids) {
  *line += ",\"writer\":";
  const auto guid = source.has_writer ? guids.find(source.writer_id) : guids.end();
  if (guid != guids.end()) {
    types::json::append_text(line, guid->second);
  } else {
    *line += "null";
  }
  *line += ",\"source_timestamp\":";
  if (source.has_source_timestamp) {
    types::json::append_number(line, source.source_timestamp);
  } else {
    *line += "null";
  }
  *line += ",\"sequence\":";
  if (source.has_sequence) {
    types::json::append_number(line, source.sequence);
  } else {
    *line += "null";
  }
}

struct Topic {
  std::string name;
  std::string prefix;  // {"topic":"...","timestamp":
  std::optional<types::TypeGraph> graph;
  std::unique_ptr<types::JsonDecoder> decoder;  // of graph, when there is one
  bool supplied = false;                        // graph from --idl
  bool misfit_told = false;                     // a sample that does not fit was named
  std::string quoted_name;
  std::unique_ptr<KeyDecoder> keys;  // of graph's key members
};

// One line per topic, at its first sample that its description does not fit.
void report_misfit(const Topic& topic, int64_t id, const std::string& why,
                   const SuppliedTypes& supplied) {
  report_warning("topic " + topic.name + ": sample " + std::to_string(id) +
                 " does not fit the type description " +
                 (topic.supplied ? "from --idl " + supplied.names() : "stored in the bag") + " (" +
                 why + "); the samples it does not fit are given as hex");
}

}  // namespace

int run_json(const std::string& bag, const std::vector<std::string>& names, FILE* out,
             const JsonOptions& options) {
  types::JsonOptions decoding;
  decoding.max_bytes = options.max_bytes;
  decoding.base64 = options.base64;
  BagReader reader;
  std::string error;
  std::vector<TopicSummary> topics;
  SuppliedTypes supplied;
  if (!supplied.load(options.idl, &error)) {
    return report_failure(error);
  }
  if (!reader.open(bag, &error) || !reader.topics(&topics, false, &error)) {
    return report_failure(bag + ": " + error);
  }
  std::vector<int64_t> selected;
  if (!select_topics(topics, names, &selected, &error)) {
    return report_failure(bag + ": " + error);
  }
  std::map<int64_t, Topic> chosen;
  std::vector<int64_t> ids;
  for (auto& t : topics) {
    if (!names.empty() && !matches_any(names, t.name)) {
      continue;
    }
    Topic& topic = chosen[t.id];
    topic.name = t.name;
    topic.prefix = "{\"topic\":";
    types::json::append_text(&topic.prefix, t.name);
    topic.prefix += ",\"timestamp\":";
    types::json::append_text(&topic.quoted_name, t.name);
    ids.push_back(t.id);
    std::string why;
    topic.supplied = supplied.fill(&t, &why);
    if (!why.empty()) {
      report_warning("topic " + t.name + ": " + why + "; its samples are given as hex");
    }
    if (!t.metastring || t.metastring->empty()) {
      continue;  // no type description: hex
    }
    topic.graph = types::type_graph_from_idl(*t.metastring, t.type, &why);
    if (topic.graph) {
      // A supplied description must account for every byte: a sample it
      // reads only in part is one it does not describe.
      types::JsonOptions own = decoding;
      own.whole = topic.supplied || is_supplied_description(*t.metastring);
      topic.decoder = std::make_unique<types::JsonDecoder>(*topic.graph, own);
      topic.keys = std::make_unique<KeyDecoder>(*topic.graph, decoding);
    } else {
      report_warning("topic " + t.name + ": its type description cannot be read (" + why +
                     "); its samples are given as hex");
    }
  }

  SampleFilter filter;
  if (!names.empty()) {
    filter.topic_ids = ids;
  }
  uint64_t total = 0;
  if (Progress::wanted() && !reader.count(filter, &total, &error)) {
    return report_failure(bag + ": " + error);
  }
  // Who wrote each sample and when, for a bag that kept it.
  bag::SampleSourceCursor sources;
  std::unordered_map<int64_t, std::string> guids;
  if (!sources.open(reader.connection(), &error) ||
      (sources.present() && !bag::writer_guids(reader.connection(), &guids, &error))) {
    return report_failure(bag + ": " + error);
  }
  std::string source_error;
  Progress progress(total);
  uint64_t undecoded = 0;
  bool output_ok = true;
  // One line buffer for every sample, written out in blocks: once grown, a
  // sample costs no allocation.
  constexpr size_t kFlushAt = size_t{64} << 10;
  std::string line;
  std::string why;
  auto flush = [&] {
    output_ok = output_ok && fwrite(line.data(), 1, line.size(), out) == line.size();
    line.clear();
    return output_ok;
  };
  // Disposes and unregisters, each as a line of its own where it was
  // received among the samples.
  bag::InstanceEventCursor events;
  if (!events.open(reader.connection(), filter, &error)) {
    return report_failure(bag + ": " + error);
  }
  bool events_ok = true;
  auto events_before = [&](int64_t before_id) {
    const bag::InstanceEvent* event = nullptr;
    while ((events_ok = events.peek(&event, &error)) && event != nullptr &&
           event->after_data_id < before_id) {
      auto topic = chosen.find(event->topic_id);
      const bool known = topic != chosen.end();
      append_instance_event_json(&line, *event, known ? &topic->second.quoted_name : nullptr,
                                 known ? topic->second.keys.get() : nullptr);
      events.pop();
    }
    return events_ok;
  };
  const bool read = reader.for_each_sample(
      filter,
      [&](const SampleRow& row) {
        progress.step();
        if (!events_before(row.id)) {
          return false;
        }
        auto topic = chosen.find(row.topic_id);
        if (topic == chosen.end()) {
          line += "{\"topic\":null,\"timestamp\":";
        } else {
          line += topic->second.prefix;
        }
        types::json::append_number(&line, row.timestamp);
        line += ",\"id\":";
        types::json::append_number(&line, row.id);
        const size_t before_data = line.size();
        line += ",\"data\":";
        if (topic == chosen.end() || !topic->second.decoder ||
            !topic->second.decoder->append(row.data, row.size, &line, &why)) {
          if (topic != chosen.end() && topic->second.decoder && !topic->second.misfit_told) {
            topic->second.misfit_told = true;
            report_misfit(topic->second, row.id, why, supplied);
          }
          ++undecoded;
          line.resize(before_data);
          line += ",\"hex\":";
          append_hex(&line, row.data, row.size);
        }
        const bag::SampleSourceRow* source = nullptr;
        if (!sources.find(row.id, &source, &source_error)) {
          return false;
        }
        if (source != nullptr) {
          append_source(&line, *source, guids);
        }
        line += "}\n";
        return (line.size() < kFlushAt || flush()) && stop_signal() == 0;
      },
      &error);
  if (read && events_ok && stop_signal() == 0) {
    events_before(INT64_MAX);
  }
  if (!line.empty()) {
    flush();
  }
  progress.finish();
  if (stop_signal() != 0) {
    return report_stop("json");
  }
  if (!read || !events_ok || !source_error.empty()) {
    return report_failure(bag + ": " + (read && events_ok ? source_error : error));
  }
  if (!output_ok || fflush(out) != 0) {
    return report_failure("cannot write the samples");
  }
  if (undecoded > 0) {
    report_warning(std::to_string(undecoded) +
                   " samples could not be decoded and are given as hex");
  }
  return 0;
}

}  // namespace rnr::bagtool
