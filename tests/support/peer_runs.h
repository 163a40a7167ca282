// Test peers (rnr_test_talker, rnr_test_fastdds_peer talk) as child
// processes, and what a talker reports of its writers and samples.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "child_process.h"

namespace rnr::test {

// What a test talker reported: its writers and every sample it wrote.
struct TalkerReport {
  std::map<std::string, std::string> writer_of_topic;                // topic -> GUID text
  std::map<std::string, std::vector<std::vector<uint8_t>>> samples;  // topic -> bytes, in order
  bool done = false;
};

std::vector<uint8_t> from_hex(const std::string& hex);
// Reads "WRITER <topic> <guid>", "SAMPLE <topic> <i> <guid> <hex>" and "DONE n".
TalkerReport parse_talker(const std::string& output);

// A peer program (`words` before the domain option, `extra` after it), its
// standard output to `out` (standard error to `out` + ".err").
std::unique_ptr<Child> start_peer(const std::vector<std::string>& words, int domain,
                                  const std::vector<std::string>& extra, const std::string& out);

}  // namespace rnr::test
