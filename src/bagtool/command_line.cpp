#include "bagtool/command_line.h"

#include <cstdio>

#include "bagtool/progress.h"

namespace rnr::bagtool {

const CommandOption kForceOption{"--force", "", false};
const CommandOption kProgressOption{"--progress", "", false};
const CommandOption kQuietOption{"--quiet", "-q", false};

const char* const kExitStatusText =
    "Exit status: 0 done; 1 failed (one line says why); 2 wrong arguments; 128 + the\n"
    "signal when stopped by one (130 SIGINT, 143 SIGTERM, 129 SIGHUP), with one line\n"
    "and no partial output left.";

bool CommandLine::has(const std::string& name) const {
  for (const auto& [option, value] : options) {
    if (option == name) {
      return true;
    }
  }
  return false;
}

std::vector<std::string> CommandLine::values(const std::string& name) const {
  std::vector<std::string> out;
  for (const auto& [option, value] : options) {
    if (option == name) {
      out.push_back(value);
    }
  }
  return out;
}

std::optional<std::string> CommandLine::value(const std::string& name) const {
  std::optional<std::string> out;
  for (const auto& [option, value] : options) {
    if (option == name) {
      out = value;
    }
  }
  return out;
}

int usage_error(const std::string& command, const std::string& text) {
  std::fprintf(stderr, "quorvin-rnr-bag: %s: %s (see quorvin-rnr-bag %s --help)\n", command.c_str(),
               text.c_str(), command.c_str());
  return 2;
}

int read_command_line(const std::string& command, const std::vector<CommandOption>& options,
                      const std::vector<std::string>& args, CommandLine* out) {
  bool options_end = false;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string word = args[i];
    if (options_end || word.size() < 2 || word[0] != '-') {
      out->positional.push_back(word);
      continue;
    }
    if (word == "--") {
      options_end = true;
      continue;
    }
    if (word == "-h" || word == "--help") {
      out->help = true;
      return 0;
    }
    std::optional<std::string> attached;
    const size_t equals = word.find('=');
    if (word.rfind("--", 0) == 0 && equals != std::string::npos) {
      attached = word.substr(equals + 1);
      word.resize(equals);
    }
    const CommandOption* matched = nullptr;
    for (const auto& candidate : options) {
      if (word == candidate.name ||
          (!candidate.short_name.empty() && word == candidate.short_name)) {
        matched = &candidate;
      }
    }
    if (matched == nullptr) {
      return usage_error(command, "unknown option " + word);
    }
    if (!matched->takes_value) {
      if (attached) {
        return usage_error(command, matched->name + " takes no value");
      }
      out->options.emplace_back(matched->name, "");
      continue;
    }
    if (!attached) {
      if (i + 1 == args.size()) {
        return usage_error(command, word + " needs a value");
      }
      attached = args[++i];
    }
    out->options.emplace_back(matched->name, *attached);
  }
  return 0;
}

int apply_progress_options(const std::string& command, const CommandLine& line) {
  const bool on = line.has(kProgressOption.name), off = line.has(kQuietOption.name);
  if (on && off) {
    return usage_error(command, "--progress and --quiet exclude each other");
  }
  Progress::set_mode(on ? ProgressMode::on : off ? ProgressMode::off : ProgressMode::automatic);
  return 0;
}

bool parse_log_level(const std::string& text, int32_t* level) {
  static const std::pair<const char*, int32_t> names[] = {
      {"verbose", 0}, {"debug", 1}, {"info", 2}, {"warn", 3}, {"error", 4}, {"fatal", 6}};
  for (const auto& [name, value] : names) {
    if (text == name) {
      *level = value;
      return true;
    }
  }
  return false;
}

}  // namespace rnr::bagtool
