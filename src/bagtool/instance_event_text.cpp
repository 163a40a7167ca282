#include "bagtool/instance_event_text.h"

#include <map>

#include "types/json_text.h"

namespace rnr::bagtool {
namespace {

void append_hex_text(std::string* out, const std::vector<uint8_t>& bytes) {
  static const char digits[] = "0123456789abcdef";
  out->push_back('"');
  for (const uint8_t b : bytes) {
    out->push_back(digits[b >> 4]);
    out->push_back(digits[b & 0xf]);
  }
  out->push_back('"');
}

// The topic's type with a root that holds its key members alone, as a
// key-only sample serializes them; nullopt when the root is not a struct
// of its own key members (a base type, or no key).
std::optional<types::TypeGraph> key_only(const types::TypeGraph& graph) {
  const std::optional<types::TypeIndex> root = types::resolve_alias(graph, graph.root);
  if (!root || *root >= graph.types.size()) {
    return std::nullopt;
  }
  const types::Type& type = graph.at(*root);
  if (type.kind != types::Kind::Struct || type.base || (type.flags & types::flag::kMutable) != 0) {
    return std::nullopt;
  }
  types::Type keys = type;
  keys.members.clear();
  for (const types::Member& m : type.members) {
    if ((m.flags & types::flag::kKey) != 0) {
      keys.members.push_back(m);
    }
  }
  if (keys.members.empty()) {
    return std::nullopt;
  }
  types::TypeGraph out = graph;
  out.types.push_back(std::move(keys));
  out.root = static_cast<types::TypeIndex>(out.types.size() - 1);
  return out;
}

}  // namespace

KeyDecoder::KeyDecoder(const types::TypeGraph& graph, const types::JsonOptions& options)
    : graph_(key_only(graph)) {
  if (graph_) {
    decoder_ = std::make_unique<types::JsonDecoder>(*graph_, options);
  }
}

bool KeyDecoder::append(const std::vector<uint8_t>& key, std::string* out) {
  if (!decoder_ || key.empty()) {
    return false;
  }
  const size_t before = out->size();
  std::string why;
  if (!decoder_->append(key.data(), key.size(), out, &why)) {
    out->resize(before);
    return false;
  }
  return true;
}

bool print_instance_event_counts(FILE* out, sqlite3* db,
                                 const std::vector<bag::TopicSummary>& topics, std::string* error) {
  std::vector<std::pair<int64_t, bag::InstanceEventCounts>> counts;
  if (!bag::count_instance_events(db, &counts, error)) {
    return false;
  }
  if (counts.empty()) {
    return true;
  }
  std::map<int64_t, std::string> names;
  for (const auto& t : topics) {
    names[t.id] = t.name;
  }
  fprintf(out, "\ninstance events (disposes and unregisters, replayed; not in MCAP):\n");
  for (const auto& [topic_id, c] : counts) {
    const auto name = names.find(topic_id);
    fprintf(out, "  %s: %llu disposes, %llu unregisters\n",
            name != names.end() ? name->second.c_str()
                                : ("(unknown topic_id " + std::to_string(topic_id) + ")").c_str(),
            static_cast<unsigned long long>(c.disposes),
            static_cast<unsigned long long>(c.unregisters));
  }
  return true;
}

void append_instance_event_json(std::string* line, const bag::InstanceEvent& event,
                                const std::string* topic, KeyDecoder* keys) {
  *line += "{\"event\":";
  types::json::append_text(line, event.kind);
  *line += ",\"topic\":";
  *line += topic != nullptr ? *topic : "null";
  *line += ",\"timestamp\":";
  types::json::append_number(line, event.timestamp);
  *line += ",\"id\":";
  types::json::append_number(line, event.id);
  *line += ",\"after_id\":";
  types::json::append_number(line, event.after_data_id);
  if (event.with_sample) {
    *line += ",\"with_sample\":true";
  }
  if (!event.writer.empty()) {
    *line += ",\"writer\":";
    types::json::append_text(line, event.writer);
  }
  if (event.source_timestamp) {
    *line += ",\"source_timestamp\":";
    types::json::append_number(line, *event.source_timestamp);
  }
  if (!event.key.empty()) {
    const size_t before = line->size();
    *line += ",\"key\":";
    if (keys == nullptr || !keys->append(event.key, line)) {
      line->resize(before);
      *line += ",\"key_hex\":";
      append_hex_text(line, event.key);
    }
  }
  if (!event.key_hash.empty()) {
    *line += ",\"key_hash\":";
    append_hex_text(line, event.key_hash);
  }
  *line += "}\n";
}

}  // namespace rnr::bagtool
