// The SAMPLE lines the test listener prints:
// "SAMPLE <topic> <receive time ns> <key> <hex bytes> <description>".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace rnr::test {

struct Heard {
  std::string topic;
  int64_t recv_ns = 0;
  std::string key;
  std::string hex;
  std::string description;
};

// The complete SAMPLE lines of `output`, in order.
std::vector<Heard> heard_samples(const std::string& output);

}  // namespace rnr::test
