// The command line of a bag-tool command, read one way by every command:
// options wherever they stand (until "--"), a value after the option or
// attached with "=", -h/--help, and the options every command shares
// (--force for those that write, --progress and --quiet for those that read
// a whole bag). Wrong arguments give one line and status 2.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace rnr::bagtool {

struct CommandOption {
  std::string name;        // "--topic"
  std::string short_name;  // "-d", or empty
  bool takes_value = false;
};

// The shared options.
extern const CommandOption kForceOption;
extern const CommandOption kProgressOption;
extern const CommandOption kQuietOption;

struct CommandLine {
  std::vector<std::string> positional;
  std::vector<std::pair<std::string, std::string>> options;  // long name, value
  bool help = false;

  bool has(const std::string& name) const;
  // Every value of a repeatable option, in order.
  std::vector<std::string> values(const std::string& name) const;
  // The last value given.
  std::optional<std::string> value(const std::string& name) const;
};

// Reads `args` (the words after the command) against the command's options.
// 0 when they are good (also for --help, with `help` set), else 2 after one
// line on standard error.
int read_command_line(const std::string& command, const std::vector<CommandOption>& options,
                      const std::vector<std::string>& args, CommandLine* out);

// "quorvin-rnr-bag: COMMAND: TEXT" and a hint at the command's help on
// standard error; returns 2.
int usage_error(const std::string& command, const std::string& text);

// Sets the progress mode from --progress and --quiet (2 when both are given,
// after a line).
int apply_progress_options(const std::string& command, const CommandLine& line);

// A log level by name (verbose, debug, info, warn, error, fatal), as the
// recorder and the replayer take it with -l; false for any other text.
bool parse_log_level(const std::string& text, int32_t* level);

// Exit statuses, as every command's help lists them.
extern const char* const kExitStatusText;

}  // namespace rnr::bagtool
