// quorvin-rnr-bag: looks into a bag that quorvin-rnr recorded, plays it,
// and writes new bags from parts of bags, without changing any input.
#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bagtool/commands.h"

namespace {

constexpr const char* kUsage =
    "usage: quorvin-rnr-bag [-h] <command> BAG [...]\n"
    "\n"
    "Looks into, plays, cuts and merges bags recorded by quorvin-rnr; input bags\n"
    "are only read.\n"
    "\n"
    "Commands:\n"
    "  info BAG                    topics, types, sample counts, rates, sizes, time span\n"
    "                              and writers of the bag\n"
    "  mcap BAG [OUT.mcap]         writes the bag as an MCAP file (default: the bag's\n"
    "                              name ending in .mcap)\n"
    "      [--compression zstd|lz4|none] [--chunk-size SIZE]\n"
    "                              chunks compressed with zstd (default) of 1M each\n"
    "  json BAG [--topic NAME]...  prints every sample (of the named topics) decoded,\n"
    "                              one JSON object per line\n"
    "      [--max-bytes N|all] [--bytes decimal|base64]\n"
    "                              octet sequences: the first 64 (default) as numbers\n"
    "  play BAG [OPTIONS]          plays the bag onto a DDS domain (see play --help)\n"
    "  cut BAG OUT [--start T] [--end T] [--topic NAME]...\n"
    "                              writes the samples of BAG between the times (of the\n"
    "                              named topics) into the new bag OUT\n"
    "  merge OUT BAG...            writes the samples of all bags into the new bag OUT,\n"
    "                              ordered by reception time\n"
    "\n"
    "Times T: seconds from the bag's first sample (12.5), @ and seconds since the\n"
    "Unix epoch (@1700000000.25), or a local date and time (2024-05-01 12:00:00.250).\n"
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

// A value that an option does not take: status 2.
int bad_value(const std::string& text) {
  std::fprintf(stderr, "quorvin-rnr-bag: %s\n", text.c_str());
  return 2;
}

// `play` runs in a program of its own beside this one, the only part of the
// tool that links the DDS binding.
int run_play(char** argv) {
  char self[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  std::string program = "quorvin-rnr-bag-play";
  if (n > 0) {
    self[n] = '\0';
    std::string dir(self);
    program = dir.substr(0, dir.rfind('/') + 1) + program;
  }
  argv[0] = const_cast<char*>(program.c_str());
  execv(program.c_str(), argv);
  std::fprintf(stderr, "quorvin-rnr-bag: play: cannot run %s (%s)\n", program.c_str(),
               std::strerror(errno));
  return 1;
}

int cut_command(const std::vector<std::string>& args) {
  if (args.size() < 3 || args[2].empty() || args[2][0] == '-') {
    return usage_error("cut: the output bag is required");
  }
  std::optional<rnr::bagtool::TimeArg> start, end;
  std::vector<std::string> topics;
  for (size_t i = 3; i < args.size(); ++i) {
    std::string option = args[i], value;
    const size_t equals = option.find('=');
    if (option.rfind("--", 0) == 0 && equals != std::string::npos) {
      value = option.substr(equals + 1);
      option.resize(equals);
    } else if (i + 1 < args.size()) {
      value = args[++i];
    } else {
      return usage_error("cut: " + option + " needs a value");
    }
    if (option == "--topic") {
      topics.push_back(value);
    } else if (option == "--start" || option == "--end") {
      auto time = rnr::bagtool::parse_time_arg(value);
      if (!time) {
        return bad_value("cut: " + option + " " + value +
                         ": not a time (seconds from the start, @unix seconds, or "
                         "YYYY-MM-DD HH:MM:SS[.fff])");
      }
      (option == "--start" ? start : end) = time;
    } else {
      return usage_error("cut: unexpected argument " + args[i]);
    }
  }
  return rnr::bagtool::run_cut(args[1], args[2], start, end, topics);
}

int merge_command(const std::vector<std::string>& args) {
  if (args.size() < 3) {
    return usage_error("merge: at least one input bag is required");
  }
  for (size_t i = 2; i < args.size(); ++i) {
    if (args[i].empty() || args[i][0] == '-') {
      return usage_error("merge: unexpected argument " + args[i]);
    }
  }
  return rnr::bagtool::run_merge(args[1], {args.begin() + 2, args.end()});
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  // play has options of its own, -h among them.
  if (!args.empty() && args[0] == "play") {
    return run_play(argv + 1);
  }
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
  if (command != "info" && command != "mcap" && command != "json" && command != "cut" &&
      command != "merge") {
    return usage_error("unknown command " + command);
  }
  if (command == "cut" || command == "merge") {
    if (args.size() < 2 || args[1].empty() || args[1][0] == '-') {
      return usage_error(command + (command == "merge" ? ": the output bag is required"
                                                       : ": the bag file is required"));
    }
    return command == "cut" ? cut_command(args) : merge_command(args);
  }
  // Options are options wherever they stand; after "--" every argument is a
  // file name.
  std::vector<std::string> files;
  std::vector<std::string> topics;
  rnr::bagtool::ExportOptions exports;
  std::string why;
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
    } else if (const auto taken =
                   rnr::bagtool::take_export_option(command, args, &i, &exports, &why);
               taken != rnr::bagtool::OptionTake::kNotTaken) {
      if (taken == rnr::bagtool::OptionTake::kBadValue) {
        return usage_error(command + ": " + why);
      }
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
    return rnr::bagtool::run_mcap(bag, files.size() == 2 ? files[1] : std::string(), exports.mcap);
  }
  return rnr::bagtool::run_json(bag, topics, stdout, exports.json);
}
