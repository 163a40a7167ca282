#include "bagtool/qos_view.h"

#include <set>
#include <sstream>

#include "types/qos_policies.h"

namespace rnr::bagtool {

std::string qos_summary(const std::string& qos_text) {
  const auto qos = rnr::qos::from_text(qos_text);
  if (!qos) {
    return qos_text;
  }
  // Lines of the defaults, to leave out; reliability and durability stay.
  std::set<std::string> defaults;
  {
    std::istringstream in(rnr::qos::to_text(rnr::qos::WriterQos{}));
    for (std::string line; std::getline(in, line);) {
      defaults.insert(line);
    }
  }
  std::istringstream in(rnr::qos::to_text(*qos));
  std::string summary;
  for (std::string line; std::getline(in, line);) {
    const bool always = line.rfind("reliability=", 0) == 0 || line.rfind("durability=", 0) == 0;
    // The durability service only matters for durable writers.
    const bool service = line.rfind("durability_service.", 0) == 0;
    if (!always && (defaults.count(line) != 0 ||
                    (service && qos->durability == rnr::qos::Durability::volatile_))) {
      continue;
    }
    summary += summary.empty() ? line : " " + line;
  }
  return summary;
}

std::vector<std::pair<std::string, std::string>> channel_qos_metadata(
    int64_t topic_id, const std::vector<rnr_WriterQosRow>& rows) {
  std::vector<std::pair<std::string, std::string>> out;
  for (const auto& row : rows) {
    if (row.topic_id == topic_id) {
      out.emplace_back(
          "dds_writer_qos " + (row.guid.empty() ? std::to_string(row.writer_id) : row.guid),
          row.qos);
    }
  }
  return out;
}

void print_writer_qos(FILE* out, const std::vector<rnr::bag::TopicSummary>& topics,
                      const std::vector<rnr_WriterQosRow>& rows) {
  if (rows.empty()) {
    return;
  }
  fprintf(out, "\nwriters' QoS per topic (policies at their defaults left out):\n");
  for (const auto& t : topics) {
    bool named = false;
    for (const auto& row : rows) {
      if (row.topic_id != t.id) {
        continue;
      }
      if (!named) {
        fprintf(out, "  topic %s:\n", t.name.c_str());
        named = true;
      }
      fprintf(out, "    %s  %s\n", row.guid.empty() ? "-" : row.guid.c_str(),
              qos_summary(row.qos).c_str());
    }
  }
}

}  // namespace rnr::bagtool
