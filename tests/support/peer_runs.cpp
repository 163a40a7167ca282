#include "peer_runs.h"

#include <sstream>

namespace rnr::test {

std::vector<uint8_t> from_hex(const std::string& hex) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

TalkerReport parse_talker(const std::string& output) {
  TalkerReport report;
  std::istringstream in(output);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string kind, topic;
    words >> kind;
    if (kind == "WRITER") {
      std::string g[4];
      words >> topic >> g[0] >> g[1] >> g[2] >> g[3];
      report.writer_of_topic[topic] = g[0] + " " + g[1] + " " + g[2] + " " + g[3];
    } else if (kind == "SAMPLE") {
      std::string index, g[4], hex;
      words >> topic >> index >> g[0] >> g[1] >> g[2] >> g[3] >> hex;
      report.samples[topic].push_back(from_hex(hex));
    } else if (kind == "DONE") {
      report.done = true;
    }
  }
  return report;
}

std::unique_ptr<Child> start_peer(const std::vector<std::string>& words, int domain,
                                  const std::vector<std::string>& extra, const std::string& out) {
  std::vector<std::string> argv = words;
  argv.push_back("--domain");
  argv.push_back(std::to_string(domain));
  argv.insert(argv.end(), extra.begin(), extra.end());
  return std::make_unique<Child>(argv,
                                 ChildOptions{.stdout_path = out, .stderr_path = out + ".err"});
}

}  // namespace rnr::test
