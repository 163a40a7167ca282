// quorvin-rnr-bag: looks into a bag that quorvin-rnr recorded, plays it,
// and writes new bags from parts of bags, without changing any input.
#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bagtool/command_line.h"
#include "bagtool/commands.h"
#include "bagtool/progress.h"
#include "bagtool/signals.h"

namespace {

using rnr::bagtool::CommandLine;
using rnr::bagtool::CommandOption;
using rnr::bagtool::kForceOption;
using rnr::bagtool::kProgressOption;
using rnr::bagtool::kQuietOption;

constexpr const char* kUsage =
    "usage: quorvin-rnr-bag [-h] [--version] <command> [...]\n"
    "\n"
    "Looks into, plays, cuts and merges bags recorded by quorvin-rnr (input bags\n"
    "are only read, but by set-type), and records and controls long runs.\n"
    "\n"
    "Commands (each has its own --help):\n"
    "  info BAG|DIR|BAG...         topics, types, sample counts, rates, sizes, time span\n"
    "                              and writers of the bag (or of a split recording)\n"
    "  mcap BAG [OUT.mcap]         writes the bag as an MCAP file (default: the bag's\n"
    "                              name ending in .mcap), chunks compressed with zstd\n"
    "  json BAG [--topic PATTERN]...\n"
    "                              prints every sample (of the matching topics) decoded,\n"
    "                              one JSON object per line (byte runs cut at 64)\n"
    "  set-type BAG TOPIC FILE     stores the type description of TOPIC's type from the\n"
    "                              IDL FILE in the bag (for writers that announced none)\n"
    "  play BAG|DIR|BAG... [OPTIONS]\n"
    "                              plays the bag (or a split recording) onto a DDS domain\n"
    "  record [OPTIONS] TYPE TOPIC...\n"
    "                              records for long runs: split bags, retention, a\n"
    "                              snapshot window, remote control\n"
    "  control NAME|all COMMAND    sends pause, resume, split, snapshot or stop to\n"
    "                              recorders run with --control\n"
    "  status                      lists the recorders run with --control\n"
    "  cut BAG|DIR|BAG... OUT [--start T] [--end T] [--topic PATTERN]...\n"
    "                              writes the samples of BAG (or of a split recording)\n"
    "                              between the times (of the matching topics) into the\n"
    "                              new bag OUT\n"
    "  merge OUT BAG...            writes the samples of all bags into the new bag OUT,\n"
    "                              ordered by reception time\n"
    "\n"
    "Times T: seconds from the bag's first sample (12.5), @ and seconds since the\n"
    "Unix epoch (@1700000000.25), or a date and time as info prints it, local unless\n"
    "an offset follows (2024-05-01 12:00:00.250, 2024-05-01 12:00:00.250 +0200).\n"
    "Patterns: * ? [...] against the whole topic name, as in record.\n"
    "No command replaces an existing output unless given --force.\n"
    "\n"
    "Options:\n"
    "  -h, --help                  show this help (or a command's) and exit\n"
    "  --version                   show the version and exit\n"
    "\n"
    "Exit status: 0 done; 1 failed; 2 wrong arguments; 130 on SIGINT, 143 on SIGTERM.";

constexpr const char* kCommonOptions =
    "  --progress            show progress also when standard error is no terminal\n"
    "                        (one line a second)\n"
    "  -q, --quiet           show no progress (default: a line on a terminal)\n"
    "  -h, --help            show this help and exit\n";

constexpr const char* kForceText =
    "  --force               replace OUT if it exists (default: refused)\n";

constexpr const char* kTimeText =
    "  --start T, --end T    only the samples from T and up to T: seconds from the\n"
    "                        bag's first sample (12.5), @ and seconds since the Unix\n"
    "                        epoch, or a date and time as info prints it\n"
    "                        (2024-05-01 12:00:00.250 [+0200])\n";

constexpr const char* kMcapText =
    "  --compression zstd|lz4|none\n"
    "                        how chunks are compressed (default zstd)\n"
    "  --chunk-size SIZE     bytes of messages a chunk holds, K or M (default 1M)\n";

constexpr const char* kJsonText =
    "  --max-bytes N|all     octet and uint8 runs: only the first N bytes, with the\n"
    "                        full length (default 64; 0 or all: every byte)\n"
    "  --bytes decimal|base64\n"
    "                        octet runs as numbers (default) or as base64 text\n";

constexpr const char* kIdlText =
    "  --idl FILE            IDL of the types the bag does not describe (repeatable;\n"
    "                        files in order, #include lines left out), by type name\n"
    "                        or as ROS 2 names them (pkg::msg::dds_::Name_ is\n"
    "                        pkg::msg::Name); a stored description wins\n";

constexpr const char* kTopicText =
    "  --topic PATTERN       only the topics that match (repeatable; * ? [...] as in\n"
    "                        record); a pattern that matches nothing is an error\n";

struct Command {
  const char* name;
  const char* synopsis;
  const char* purpose;
  std::vector<CommandOption> options;
  std::vector<const char*> option_texts;
};

const std::vector<Command>& commands() {
  static const CommandOption kStart{"--start", "", true}, kEnd{"--end", "", true},
      kTopic{"--topic", "", true}, kCompression{"--compression", "", true},
      kChunkSize{"--chunk-size", "", true}, kMaxBytes{"--max-bytes", "", true},
      kBytes{"--bytes", "", true}, kIdl{"--idl", "", true};
  static const std::vector<Command> list = {
      {"info",
       "info BAG|DIR|BAG... [--progress | --quiet]",
       "Prints what the bag holds: topics, types, sample counts, rates, sizes, time\n"
       "span, writers and their QoS. The samples' bytes are never read. A directory or\n"
       "several bags are the bags of a split recording: one summary of them all, in\n"
       "time order, each repeated row (the latched state a bag starts with) once.",
       {kProgressOption, kQuietOption},
       {kCommonOptions}},
      {"mcap",
       "mcap BAG [OUT.mcap] [--compression zstd|lz4|none] [--chunk-size SIZE]\n"
       "                           [--idl FILE]... [--force] [--progress | --quiet]",
       "Writes the bag as an MCAP file, by default beside the bag with the ending\n"
       ".mcap in place of .sqlite3. A topic described by --idl gets a schema when\n"
       "every one of its samples decodes with it.",
       {kCompression, kChunkSize, kIdl, kForceOption, kProgressOption, kQuietOption},
       {kMcapText, kIdlText, kForceText, kCommonOptions}},
      {"json",
       "json BAG [--topic PATTERN]... [--max-bytes N|all] [--bytes decimal|base64]\n"
       "                           [--idl FILE]... [--progress | --quiet]",
       "Prints every sample (of the matching topics) decoded with its stored type\n"
       "description (or the one --idl gives), one JSON object per line; a sample\n"
       "that cannot be decoded is given as hex.",
       {kTopic, kMaxBytes, kBytes, kIdl, kProgressOption, kQuietOption},
       {kTopicText, kJsonText, kIdlText, kCommonOptions}},
      {"set-type",
       "set-type BAG TOPIC FILE [--force]",
       "Stores in BAG the type description of TOPIC's type that the IDL FILE\n"
       "declares (under the type's name or its ROS 2 name), in one transaction.\n"
       "Refused while another process has the bag open for writing (a recorder),\n"
       "when the description does not decode the topic's first samples, and when\n"
       "the topic has a description already (unless --force). The only command\n"
       "that changes its input.",
       {kForceOption},
       {"  --force               replace a description the bag holds already\n",
        "  -h, --help            show this help and exit\n"}},
      {"cut",
       "cut BAG|DIR|BAG... OUT [--start T] [--end T] [--topic PATTERN]... [--force]\n"
       "                           [--progress | --quiet]",
       "Writes the samples of BAG between the times (of the matching topics) into\n"
       "the new bag OUT. A directory or several bags before OUT are the bags of a\n"
       "split recording, read as one in time order (times from its first sample),\n"
       "each repeated row once as merge holds it.",
       {kStart, kEnd, kTopic, kForceOption, kProgressOption, kQuietOption},
       {kTimeText, kTopicText, kForceText, kCommonOptions}},
      {"merge",
       "merge OUT BAG... [--force] [--progress | --quiet]",
       "Writes the samples of all bags into the new bag OUT (the first argument),\n"
       "ordered by reception time.",
       {kForceOption, kProgressOption, kQuietOption},
       {kForceText, kCommonOptions}},
  };
  return list;
}

void print_usage(const Command& command) {
  std::printf("usage: quorvin-rnr-bag %s\n\n%s\n\nOptions:\n", command.synopsis, command.purpose);
  for (const char* text : command.option_texts) {
    std::fputs(text, stdout);
  }
  std::printf("\n%s\n", rnr::bagtool::kExitStatusText);
}

int global_usage_error(const std::string& text) {
  std::fprintf(stderr, "quorvin-rnr-bag: %s\n%s\n", text.c_str(), kUsage);
  return 2;
}

// The commands that are programs of their own beside this one
// (quorvin-rnr-bag-COMMAND): play is the only part of the tool that links
// the DDS binding.
bool is_program_command(const std::string& name) {
  return name == "play" || name == "record" || name == "control" || name == "status";
}

int run_program_command(const std::string& name, char** argv) {
  std::string program = "quorvin-rnr-bag-" + name;
  char self[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n > 0) {
    self[n] = '\0';
    const std::string dir(self);
    program = dir.substr(0, dir.rfind('/') + 1) + program;
  }
  argv[0] = const_cast<char*>(program.c_str());
  execv(program.c_str(), argv);
  std::fprintf(stderr, "quorvin-rnr-bag: %s: cannot run %s (%s)\n", name.c_str(), program.c_str(),
               std::strerror(errno));
  return 1;
}

int bad_time(const std::string& option, const std::string& value) {
  std::fprintf(stderr,
               "quorvin-rnr-bag: cut: %s %s: not a time (seconds from the start, @unix seconds, "
               "or YYYY-MM-DD HH:MM:SS[.fff] [+HHMM])\n",
               option.c_str(), value.c_str());
  return 2;
}

int run_command(const Command& command, const CommandLine& line) {
  using namespace rnr::bagtool;
  const std::string name = command.name;
  const auto& files = line.positional;
  if (files.empty() || files[0].empty()) {
    return usage_error(name,
                       name == "merge" ? "the output bag is required" : "the bag file is required");
  }
  const bool force = line.has(kForceOption.name);
  if (name == "set-type") {
    if (files.size() != 3 || files[1].empty() || files[2].empty()) {
      return usage_error(
          name, files.size() > 3 ? "unexpected argument " + files[3] : "give BAG TOPIC FILE");
    }
    return run_set_type(files[0], files[1], files[2], force);
  }
  ExportOptions exports;
  for (const auto& [option, value] : line.options) {
    const std::vector<std::string> word = {option + "=" + value};
    size_t at = 0;
    std::string why;
    if (take_export_option(name, word, &at, &exports, &why) == OptionTake::kBadValue) {
      return usage_error(name, why);
    }
  }
  if (name == "info") {
    return run_info(files, stdout);
  }
  if (name == "json") {
    if (files.size() > 1) {
      return usage_error(name, "unexpected argument " + files[1]);
    }
    return run_json(files[0], line.values("--topic"), stdout, exports.json);
  }
  if (name == "mcap") {
    if (files.size() > 2) {
      return usage_error(name, "unexpected argument " + files[2]);
    }
    return run_mcap(files[0], files.size() == 2 ? files[1] : std::string(), force, exports.mcap);
  }
  if (name == "merge") {
    if (files.size() < 2) {
      return usage_error(name, "at least one input bag is required");
    }
    return run_merge(files[0], {files.begin() + 1, files.end()}, force);
  }
  // cut
  if (files.size() < 2 || files[1].empty()) {
    return usage_error(name, "the output bag is required");
  }
  std::optional<TimeArg> start, end;
  for (const char* option : {"--start", "--end"}) {
    if (auto text = line.value(option)) {
      auto time = parse_time_arg(*text);
      if (!time) {
        return bad_time(option, *text);
      }
      (std::strcmp(option, "--start") == 0 ? start : end) = time;
    }
  }
  // cut BAG... OUT: the last file is the output, the ones before it the
  // bags of the recording.
  const std::vector<std::string> bags(files.begin(), files.end() - 1);
  return run_cut(bags, files.back(), start, end, line.values("--topic"), force);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) {
    return global_usage_error("a command is required");
  }
  const std::string& first = args[0];
  if (first == "-h" || first == "--help") {
    std::puts(kUsage);
    return 0;
  }
  if (first == "--version") {
    std::puts("quorvin-rnr-bag " RNR_VERSION);
    return 0;
  }
  if (is_program_command(first)) {
    return run_program_command(first, argv + 1);
  }
  for (const Command& command : commands()) {
    if (first != command.name) {
      continue;
    }
    CommandLine line;
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    if (int status = rnr::bagtool::read_command_line(first, command.options, rest, &line);
        status != 0) {
      return status;
    }
    if (line.help) {
      print_usage(command);
      return std::fflush(stdout) == 0 ? 0 : 1;
    }
    if (int status = rnr::bagtool::apply_progress_options(first, line); status != 0) {
      return status;
    }
    // A closed pipe ends info and json silently, as it ends other readers;
    // the commands that write a file remove it first.
    rnr::bagtool::install_stop_signals(first == "mcap" || first == "cut" || first == "merge");
    rnr::bagtool::remove_stale_temporaries(".");
    return run_command(command, line);
  }
  if (first.size() > 1 && first[0] == '-') {
    return global_usage_error("unknown option " + first);
  }
  return global_usage_error("unknown command " + first);
}
