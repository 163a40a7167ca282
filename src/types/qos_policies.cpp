#include "types/qos_policies.h"

#include <array>
#include <charconv>
#include <string_view>

namespace rnr::qos {
namespace {

template <typename E, size_t N>
struct Names {
  std::array<const char*, N> text;
  const char* of(E value) const {
    const auto i = static_cast<size_t>(value);
    return i < N ? text[i] : text[0];
  }
  bool parse(std::string_view s, E* out) const {
    for (size_t i = 0; i < N; ++i) {
      if (s == text[i]) {
        *out = static_cast<E>(i);
        return true;
      }
    }
    return false;
  }
};

constexpr Names<Reliability, 2> kReliability{{"best_effort", "reliable"}};
constexpr Names<Durability, 4> kDurability{
    {"volatile", "transient_local", "transient", "persistent"}};
constexpr Names<History, 2> kHistory{{"keep_last", "keep_all"}};
constexpr Names<Liveliness, 3> kLiveliness{
    {"automatic", "manual_by_participant", "manual_by_topic"}};
constexpr Names<Ownership, 2> kOwnership{{"shared", "exclusive"}};
constexpr Names<DestinationOrder, 2> kOrder{{"by_reception_timestamp", "by_source_timestamp"}};
constexpr Names<AccessScope, 3> kScope{{"instance", "topic", "group"}};
constexpr Names<HistorySource, 3> kHistorySource{{"unknown", "discovery", "observed"}};

std::string duration(int64_t ns) {
  return ns == kInfinite ? "infinite" : std::to_string(ns);
}

template <typename Int>
bool parse_int(std::string_view s, Int* out) {
  const auto r = std::from_chars(s.data(), s.data() + s.size(), *out);
  return r.ec == std::errc() && r.ptr == s.data() + s.size() && !s.empty();
}

bool parse_duration(std::string_view s, int64_t* out) {
  if (s == "infinite") {
    *out = kInfinite;
    return true;
  }
  return parse_int(s, out);
}

bool parse_bool(std::string_view s, bool* out) {
  if (s == "true" || s == "false") {
    *out = s == "true";
    return true;
  }
  return false;
}

constexpr char kHex[] = "0123456789abcdef";

int hex_value(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  return -1;
}

std::string escape_partition(const std::string& name) {
  std::string out;
  for (const char c : name) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '%' || c == ',' || u < 0x20 || u == 0x7f) {
      out += '%';
      out += kHex[u >> 4];
      out += kHex[u & 0x0f];
    } else {
      out += c;
    }
  }
  return out;
}

bool unescape(std::string_view s, std::string* out) {
  out->clear();
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '%') {
      *out += s[i];
      continue;
    }
    const int hi = i + 1 < s.size() ? hex_value(s[i + 1]) : -1;
    const int lo = i + 2 < s.size() ? hex_value(s[i + 2]) : -1;
    if (hi < 0 || lo < 0) {
      return false;
    }
    *out += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  return true;
}

bool parse_partitions(std::string_view s, std::vector<std::string>* out, TextLimitsHit* hit) {
  out->clear();
  if (s.empty()) {
    return true;
  }
  size_t start = 0;
  for (;;) {
    const size_t comma = s.find(',', start);
    const std::string_view item =
        s.substr(start, comma == std::string_view::npos ? s.npos : comma - start);
    std::string name;
    // An escaped character takes three bytes: a longer item is too long
    // whatever it holds, and is checked for its escapes without being kept.
    if (item.size() > 3 * kMaxPartitionNameBytes) {
      for (size_t i = item.find('%'); i != std::string_view::npos; i = item.find('%', i + 3)) {
        if (i + 2 >= item.size() || hex_value(item[i + 1]) < 0 || hex_value(item[i + 2]) < 0) {
          return false;
        }
      }
      ++hit->partition_names_too_long;
    } else if (!unescape(item, &name)) {
      return false;
    } else if (name.size() > kMaxPartitionNameBytes) {
      ++hit->partition_names_too_long;
    } else if (out->size() >= kMaxPartitions) {
      ++hit->partitions_over_count;
    } else {
      out->push_back(std::move(name));
    }
    if (comma == std::string_view::npos) {
      return true;
    }
    start = comma + 1;
  }
}

bool parse_hex(std::string_view s, std::vector<uint8_t>* out) {
  out->clear();
  if (s.size() % 2 != 0) {
    return false;
  }
  for (size_t i = 0; i < s.size(); i += 2) {
    const int hi = hex_value(s[i]);
    const int lo = hex_value(s[i + 1]);
    if (hi < 0 || lo < 0) {
      return false;
    }
    out->push_back(static_cast<uint8_t>(hi * 16 + lo));
  }
  return true;
}

std::string representation_name(int16_t id) {
  if (id == 0)
    return "xcdr1";
  if (id == 2)
    return "xcdr2";
  if (id == 1)
    return "xml";
  return std::to_string(id);
}

bool parse_representations(std::string_view s, std::vector<int16_t>* out) {
  out->clear();
  size_t start = 0;
  while (start <= s.size() && !s.empty()) {
    const size_t comma = s.find(',', start);
    const std::string_view item =
        s.substr(start, comma == std::string_view::npos ? s.npos : comma - start);
    int16_t id = 0;
    if (item == "xcdr1")
      id = 0;
    else if (item == "xml")
      id = 1;
    else if (item == "xcdr2")
      id = 2;
    else if (!parse_int(item, &id))
      return false;
    out->push_back(id);
    if (comma == std::string_view::npos)
      break;
    start = comma + 1;
  }
  return true;
}

// One policy field: its line name, how it is written and how it is read.
bool apply(WriterQos& q, std::string_view name, std::string_view v, TextLimitsHit* hit) {
  DurabilityService& ds = q.durability_service;
  if (name == "reliability")
    return kReliability.parse(v, &q.reliability);
  if (name == "reliability.max_blocking_time")
    return parse_duration(v, &q.max_blocking_time_ns);
  if (name == "durability")
    return kDurability.parse(v, &q.durability);
  if (name == "durability_service.cleanup_delay")
    return parse_duration(v, &ds.cleanup_delay_ns);
  if (name == "durability_service.history")
    return kHistory.parse(v, &ds.history);
  if (name == "durability_service.depth")
    return parse_int(v, &ds.depth);
  if (name == "durability_service.max_samples")
    return parse_int(v, &ds.max_samples);
  if (name == "durability_service.max_instances")
    return parse_int(v, &ds.max_instances);
  if (name == "durability_service.max_samples_per_instance")
    return parse_int(v, &ds.max_samples_per_instance);
  if (name == "deadline")
    return parse_duration(v, &q.deadline_ns);
  if (name == "latency_budget")
    return parse_duration(v, &q.latency_budget_ns);
  if (name == "liveliness")
    return kLiveliness.parse(v, &q.liveliness);
  if (name == "liveliness.lease_duration")
    return parse_duration(v, &q.lease_duration_ns);
  if (name == "ownership")
    return kOwnership.parse(v, &q.ownership);
  if (name == "ownership.strength")
    return parse_int(v, &q.ownership_strength);
  if (name == "destination_order")
    return kOrder.parse(v, &q.destination_order);
  if (name == "presentation")
    return kScope.parse(v, &q.presentation.access_scope);
  if (name == "presentation.coherent_access")
    return parse_bool(v, &q.presentation.coherent_access);
  if (name == "presentation.ordered_access")
    return parse_bool(v, &q.presentation.ordered_access);
  if (name == "partition")
    return parse_partitions(v, &q.partitions, hit);
  if (name == "lifespan")
    return parse_duration(v, &q.lifespan_ns);
  if (name == "data_representation")
    return parse_representations(v, &q.representations);
  if (name == "user_data")
    return parse_hex(v, &q.user_data);
  if (name == "history")
    return kHistory.parse(v, &q.history.kind);
  if (name == "history.depth")
    return parse_int(v, &q.history.depth);
  if (name == "history.source")
    return kHistorySource.parse(v, &q.history.source);
  return true;  // a policy this version does not know
}

}  // namespace

std::string to_text(const WriterQos& q) {
  const DurabilityService& ds = q.durability_service;
  std::string t;
  auto line = [&t](const char* name, const std::string& value) {
    t += name;
    t += '=';
    t += value;
    t += '\n';
  };
  line("reliability", kReliability.of(q.reliability));
  line("reliability.max_blocking_time", duration(q.max_blocking_time_ns));
  line("durability", kDurability.of(q.durability));
  line("durability_service.cleanup_delay", duration(ds.cleanup_delay_ns));
  line("durability_service.history", kHistory.of(ds.history));
  line("durability_service.depth", std::to_string(ds.depth));
  line("durability_service.max_samples", std::to_string(ds.max_samples));
  line("durability_service.max_instances", std::to_string(ds.max_instances));
  line("durability_service.max_samples_per_instance", std::to_string(ds.max_samples_per_instance));
  line("deadline", duration(q.deadline_ns));
  line("latency_budget", duration(q.latency_budget_ns));
  line("liveliness", kLiveliness.of(q.liveliness));
  line("liveliness.lease_duration", duration(q.lease_duration_ns));
  line("ownership", kOwnership.of(q.ownership));
  line("ownership.strength", std::to_string(q.ownership_strength));
  line("destination_order", kOrder.of(q.destination_order));
  line("presentation", kScope.of(q.presentation.access_scope));
  line("presentation.coherent_access", q.presentation.coherent_access ? "true" : "false");
  line("presentation.ordered_access", q.presentation.ordered_access ? "true" : "false");
  std::string partitions;
  for (size_t i = 0; i < q.partitions.size(); ++i) {
    if (i > 0)
      partitions += ',';
    partitions += escape_partition(q.partitions[i]);
  }
  line("partition", partitions);
  line("lifespan", duration(q.lifespan_ns));
  std::string reps;
  for (size_t i = 0; i < q.representations.size(); ++i) {
    if (i > 0)
      reps += ',';
    reps += representation_name(q.representations[i]);
  }
  line("data_representation", reps);
  std::string user_data;
  for (const uint8_t b : q.user_data) {
    user_data += kHex[b >> 4];
    user_data += kHex[b & 0x0f];
  }
  line("user_data", user_data);
  if (q.history.source != HistorySource::unknown) {
    line("history", kHistory.of(q.history.kind));
    line("history.depth", std::to_string(q.history.depth));
    line("history.source", kHistorySource.of(q.history.source));
  }
  return t;
}

std::optional<WriterQos> from_text(const std::string& text, TextLimitsHit* hit) {
  TextLimitsHit ignored;
  if (hit == nullptr) {
    hit = &ignored;
  }
  *hit = {};
  WriterQos q;
  std::string_view rest(text);
  while (!rest.empty()) {
    const size_t nl = rest.find('\n');
    const std::string_view line = rest.substr(0, nl);
    rest = nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
    if (line.empty()) {
      continue;
    }
    const size_t eq = line.find('=');
    if (eq == std::string_view::npos || !apply(q, line.substr(0, eq), line.substr(eq + 1), hit)) {
      return std::nullopt;
    }
  }
  return q;
}

namespace {

bool is_wildcard(const std::string& name) {
  return name.find_first_of("*?[") != std::string::npos;
}

// One name that the glob expression matches: '*' stands for nothing, '?'
// for 'x', a bracket set for its first member (or, negated, for the first
// of a few letters it leaves out), a backslash for the character behind it.
std::string name_matched_by(const std::string& pattern) {
  std::string out;
  for (size_t i = 0; i < pattern.size(); ++i) {
    const char c = pattern[i];
    if (c == '*') {
      continue;
    }
    if (c == '?') {
      out += 'x';
    } else if (c == '\\' && i + 1 < pattern.size()) {
      out += pattern[++i];
    } else if (c == '[') {
      const size_t close = pattern.find(']', i + 2);
      if (close == std::string::npos) {
        out += c;
        continue;
      }
      std::string set = pattern.substr(i + 1, close - i - 1);
      const bool negated = !set.empty() && (set[0] == '!' || set[0] == '^');
      if (!negated) {
        out += set[0];
      } else {
        for (const char candidate : std::string("xyzqXYZQ0_")) {
          if (set.find(candidate, 1) == std::string::npos) {
            out += candidate;
            break;
          }
        }
      }
      i = close;
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

std::vector<std::string> partitions_matching(const std::vector<std::string>& writer_partitions) {
  std::vector<std::string> out;
  for (const std::string& p : writer_partitions) {
    out.push_back(is_wildcard(p) ? name_matched_by(p) : p);
  }
  return out;
}

std::string policy_name(int32_t id) {
  static constexpr const char* kNames[] = {"INVALID",
                                           "USER_DATA",
                                           "DURABILITY",
                                           "PRESENTATION",
                                           "DEADLINE",
                                           "LATENCY_BUDGET",
                                           "OWNERSHIP",
                                           "OWNERSHIP_STRENGTH",
                                           "LIVELINESS",
                                           "TIME_BASED_FILTER",
                                           "PARTITION",
                                           "RELIABILITY",
                                           "DESTINATION_ORDER",
                                           "HISTORY",
                                           "RESOURCE_LIMITS",
                                           "ENTITY_FACTORY",
                                           "WRITER_DATA_LIFECYCLE",
                                           "READER_DATA_LIFECYCLE",
                                           "TOPIC_DATA",
                                           "GROUP_DATA",
                                           "TRANSPORT_PRIORITY",
                                           "LIFESPAN",
                                           "DURABILITY_SERVICE",
                                           "PROPERTY",
                                           "TYPE_CONSISTENCY_ENFORCEMENT",
                                           "DATA_REPRESENTATION"};
  if (id > 0 && static_cast<size_t>(id) < sizeof kNames / sizeof kNames[0]) {
    return kNames[id];
  }
  return "policy " + std::to_string(id);
}

}  // namespace rnr::qos
