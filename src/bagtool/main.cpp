// quorvin-rnr-bag: looks into a bag that quorvin-rnr recorded, without
// changing it.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bagtool/commands.h"

namespace {

constexpr const char* kUsage =
    "usage: quorvin-rnr-bag [-h] <command> BAG [...]\n"
    "\n"
    "Looks into a bag recorded by quorvin-rnr; the bag is only read.\n"
    "\n"
    "Commands:\n"
    "  info BAG                    topics, types, sample counts, rates, sizes, time span\n"
    "                              and writers of the bag\n"
    "  mcap BAG [OUT.mcap]         writes the bag as an MCAP file (default: the bag's\n"
    "                              name ending in .mcap)\n"
    "  json BAG [--topic NAME]...  prints every sample (of the named topics) decoded,\n"
    "                              one JSON object per line\n"
    "\n"
    "Options:\n"
    "  -h, --help                  show this help and exit";

bool is_help(const char* arg) {
  return std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "--help") == 0;
}

int usage_error(const std::string& text) {
  std::fprintf(stderr, "quorvin-rnr-bag: %s\n%s\n", text.c_str(), kUsage);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  for (const auto& a : args) {
    if (is_help(a.c_str())) {
      std::puts(kUsage);
      return 0;
    }
  }
  if (args.empty()) {
    return usage_error("a command is required");
  }
  const std::string command = args[0];
  if (command != "info" && command != "mcap" && command != "json") {
    return usage_error("unknown command " + command);
  }
  if (args.size() < 2 || args[1].empty() || args[1][0] == '-') {
    return usage_error(command + ": the bag file is required");
  }
  const std::string bag = args[1];
  if (command == "info") {
    if (args.size() != 2) {
      return usage_error("info: unexpected argument " + args[2]);
    }
    return rnr::bagtool::run_info(bag, stdout);
  }
  if (command == "mcap") {
    if (args.size() > 3) {
      return usage_error("mcap: unexpected argument " + args[3]);
    }
    return rnr::bagtool::run_mcap(bag, args.size() == 3 ? args[2] : std::string());
  }
  std::vector<std::string> topics;
  for (size_t i = 2; i < args.size(); ++i) {
    if (args[i] == "--topic" && i + 1 < args.size()) {
      topics.push_back(args[++i]);
    } else if (args[i].rfind("--topic=", 0) == 0) {
      topics.push_back(args[i].substr(8));
    } else {
      return usage_error("json: unexpected argument " + args[i]);
    }
  }
  return rnr::bagtool::run_json(bag, topics, stdout);
}
