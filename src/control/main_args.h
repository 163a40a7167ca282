// The command line shared by quorvin-rnr-bag-control and -status: -h, and
// -d/--domain; the words that are not options are handed back in order.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace rnr::control {

struct MainArgs {
  int32_t domain = 0;
  bool help = false;
  std::vector<std::string> words;
};

// 0 when the command line is good (or asks for help), else 2 after a line
// on standard error beginning with `prefix`.
inline int parse_main_args(int argc, char** argv, const char* prefix, MainArgs* args) {
  bool options_end = false;
  for (int i = 1; i < argc; ++i) {
    std::string word = argv[i];
    if (options_end || word.empty() || word[0] != '-') {
      args->words.push_back(word);
      continue;
    }
    if (word == "--") {
      options_end = true;
    } else if (word == "-h" || word == "--help") {
      args->help = true;
      return 0;
    } else if (word == "-d" || word == "--domain" || word.rfind("--domain=", 0) == 0) {
      std::string value;
      if (word.size() > 8 && word[8] == '=') {
        value = word.substr(9);
      } else if (i + 1 < argc) {
        value = argv[++i];
      } else {
        std::fprintf(stderr, "%s: %s needs a value\n", prefix, word.c_str());
        return 2;
      }
      char* end = nullptr;
      const long domain = std::strtol(value.c_str(), &end, 10);
      if (value.empty() || *end != '\0' || domain < 0 || domain > 232) {
        std::fprintf(stderr, "%s: -d %s: the domain id is a whole number from 0 to 232\n", prefix,
                     value.c_str());
        return 2;
      }
      args->domain = static_cast<int32_t>(domain);
    } else {
      std::fprintf(stderr, "%s: unknown option %s\n", prefix, word.c_str());
      return 2;
    }
  }
  return 0;
}

}  // namespace rnr::control
