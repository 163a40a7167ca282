#include "listener_output.h"

#include <sstream>

namespace rnr::test {

std::vector<Heard> heard_samples(const std::string& output) {
  std::vector<Heard> result;
  std::istringstream lines(output);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string word;
    Heard heard;
    fields >> word >> heard.topic >> heard.recv_ns >> heard.key >> heard.hex;
    if (word != "SAMPLE" || !fields) {
      continue;
    }
    std::getline(fields, heard.description);
    if (!heard.description.empty() && heard.description[0] == ' ') {
      heard.description.erase(0, 1);
    }
    result.push_back(heard);
  }
  return result;
}

}  // namespace rnr::test
