#include "bagtool/latched_state.h"

#include <algorithm>
#include <map>
#include <optional>
#include <unordered_map>

#include "bagtool/commands.h"
#include "types/qos_policies.h"
#include "types/idl_parse.h"
#include "types/instance_key.h"

namespace rnr::bagtool {
namespace {

struct Latest {
  int64_t id = -1;
  int64_t timestamp = 0;

  // Rows come in id order: a row of an equal timestamp is the later one.
  void offer(const bag::SampleRow& row) {
    if (id < 0 || row.timestamp >= timestamp) {
      id = row.id;
      timestamp = row.timestamp;
    }
  }
};

// The key of the samples whose bytes do not fit the type: no instance key
// (JSON text) begins with a NUL.
const std::string kUndecodable(1, '\0');

struct TopicState {
  std::string name;
  std::optional<types::TypeGraph> graph;  // set: split by instance
  Latest latest;                          // of the whole topic
  std::unordered_map<std::string, Latest> instances;
  uint64_t undecodable = 0;
  std::string why;  // why the last of them did not fit
};

}  // namespace

bool latched_topics(bag::BagReader& reader, const std::vector<int32_t>& played,
                    std::vector<int32_t>* out, std::string* error) {
  std::vector<rnr_WriterQosRow> rows;
  if (!reader.writer_qos(&rows, error)) {
    return false;
  }
  out->clear();
  for (const rnr_WriterQosRow& row : rows) {
    const auto qos = qos::from_text(row.qos);
    if (qos && qos->durability != qos::Durability::volatile_ &&
        std::find(played.begin(), played.end(), row.topic_id) != played.end() &&
        std::find(out->begin(), out->end(), row.topic_id) == out->end()) {
      out->push_back(row.topic_id);
    }
  }
  std::sort(out->begin(), out->end());
  return true;
}

bool latched_sample_ids(bag::BagReader& reader, const std::vector<bag::TopicSummary>& all_topics,
                        const std::vector<int32_t>& topics, int64_t start,
                        std::vector<int64_t>* ids, std::string* error, size_t max_instances) {
  ids->clear();
  if (topics.empty() || start == INT64_MIN) {
    return true;
  }
  std::map<int64_t, TopicState> states;
  for (const bag::TopicSummary& t : all_topics) {
    if (std::find(topics.begin(), topics.end(), t.id) == topics.end()) {
      continue;
    }
    TopicState& state = states[t.id];
    state.name = t.name;
    if (t.keyed && t.metastring && !t.metastring->empty()) {
      auto graph = types::type_graph_from_idl(*t.metastring, t.type, &state.why);
      if (graph && types::has_key_members(*graph)) {
        state.graph = std::move(graph);
      }
    }
  }
  bag::SampleFilter filter;
  filter.topic_ids.assign(topics.begin(), topics.end());
  filter.end = start - 1;
  const bool read = reader.for_each_sample(
      filter,
      [&](const bag::SampleRow& row) {
        auto found = states.find(row.topic_id);
        if (found == states.end() || !row.timestamp_is_integer) {
          return true;
        }
        TopicState& state = found->second;
        state.latest.offer(row);
        if (!state.graph) {
          return true;
        }
        auto key = types::instance_key(*state.graph, row.data, row.size, &state.why);
        if (!key) {
          ++state.undecodable;
          key = kUndecodable;
        }
        auto instance = state.instances.find(*key);
        if (instance == state.instances.end()) {
          if (state.instances.size() >= max_instances) {
            report_warning("play: topic " + state.name + " has more than " +
                           std::to_string(max_instances) +
                           " instances before the start; only its latest sample is written "
                           "before the interval");
            state.graph.reset();
            state.instances = {};
            return true;
          }
          instance = state.instances.emplace(std::move(*key), Latest{}).first;
        }
        instance->second.offer(row);
        return true;
      },
      error);
  if (!read) {
    return false;
  }
  for (const auto& [id, state] : states) {
    if (state.undecodable > 0) {
      report_warning("play: topic " + state.name + ": " + std::to_string(state.undecodable) +
                     " samples before the start do not fit its type (" + state.why +
                     "); the latest of them is written as one instance");
    }
    if (!state.graph) {
      if (state.latest.id >= 0) {
        ids->push_back(state.latest.id);
      }
      continue;
    }
    for (const auto& [key, latest] : state.instances) {
      ids->push_back(latest.id);
    }
  }
  std::sort(ids->begin(), ids->end());
  return true;
}

}  // namespace rnr::bagtool
