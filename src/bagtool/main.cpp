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
    "  -h, --help                  show this help and exit\n"
    "\n"
    "Exit status: 0 on success, 1 when the command failed, 2 on wrong arguments.";

bool is_help(const char* arg) {
  return std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "--help") == 0;
}

// Wrong arguments: the reason and the usage on standard error, status 2.
int usage_error(const std::string& text) {
  std::fprintf(stderr, "quorvin-rnr-bag: %s\n%s\n", text.c_str(), kUsage);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  for (const auto& a : args) {
    if (a == "--") {
      break;
    }
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
  // Options are options wherever they stand; after "--" every argument is a
  // file name.
  std::vector<std::string> files;
  std::vector<std::string> topics;
  bool options_end = false;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (options_end || a.size() < 2 || a[0] != '-') {
      files.push_back(a);
    } else if (a == "--") {
      options_end = true;
    } else if (command == "json" && a == "--topic") {
      if (i + 1 == args.size()) {
        return usage_error("json: --topic needs a topic name");
      }
      topics.push_back(args[++i]);
    } else if (command == "json" && a.rfind("--topic=", 0) == 0) {
      topics.push_back(a.substr(8));
    } else {
      return usage_error(command + ": unknown option " + a);
    }
  }
  if (files.empty() || files[0].empty()) {
    return usage_error(command + ": the bag file is required");
  }
  const size_t most = command == "mcap" ? 2 : 1;
  if (files.size() > most) {
    return usage_error(command + ": unexpected argument " + files[most]);
  }
  const std::string& bag = files[0];
  if (command == "info") {
    return rnr::bagtool::run_info(bag, stdout);
  }
  if (command == "mcap") {
    return rnr::bagtool::run_mcap(bag, files.size() == 2 ? files[1] : std::string());
  }
  return rnr::bagtool::run_json(bag, topics, stdout);
}
