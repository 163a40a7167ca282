#include "app/frontend.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/drivers.h"
#include "app/run_control.h"
#include "app/xgetopt.h"
#include "log/logger.h"

namespace {

constexpr const char* kGeneralUsage =
    "usage: quorvin-rnr [-h] <command> [...]\n"
    "\n"
    "optional arguments:\n"
    "  -h, --help   Display this help message and exit.\n"
    "\n"
    "Commands:\n"
    "  record       Record DDS data to a bag\n"
    "  replay       Play back DDS data from a bag\n"
    "\n"
    "  Call `quorvin-rnr <command> -h` for more detailed usage";

constexpr const char* kInfoUsage =
    "usage: quorvin-rnr info [-h] [-s STORAGE] bag_file\n"
    "\n"
    "Print information about a bag to the screen\n"
    "\n"
    "positional arguments:\n"
    "  bag_file                bag file to introspect\n"
    "\n"
    "optional arguments:\n"
    "  -h, --help              show this help message and exit\n"
    "  -l, --log-level         set log level\n"
    "                          (verbose | debug | info | warn | error | fatal)\n"
    "  -s, --storage STORAGE   storage identifier to be used to open storage. Defaults to "
    "\"sqlite3\"";

constexpr const char* kRecordUsage =
    "usage: quorvin-rnr record [-h] type_name topic_name [type_name topic_name ...]\n"
    "\n"
    "Record DDS data to a bag\n"
    "\n"
    "positional arguments:\n"
    "  topic_name              topic name to be recorded\n"
    "  type_name               type name to be recorded\n"
    "\n"
    "optional arguments:\n"
    "  -d, --domain            set DDS domain id\n"
    "  -h, --help              show this help message and exit\n"
    "  -l, --log-level         set log level\n"
    "                          (verbose | debug | info | warn | error | fatal)";

constexpr const char* kReplayUsage =
    "usage: quorvin-rnr replay [-h] bag_file\n"
    "\n"
    "Replay DDS data from a bag\n"
    "\n"
    "positional arguments:\n"
    "  bag_file                bag file to replay\n"
    "\n"
    "optional arguments:\n"
    "  -d, --domain            set DDS domain id\n"
    "  -h, --help              show this help message and exit\n"
    "  -l, --log-level         set log level\n"
    "                          (verbose | debug | info | warn | error | fatal)";

// Returns false after printing the command's usage, for the callers' one-line
// "return usage(command);".
bool usage(uint8_t command) {
  switch (command) {
    case APP_COMMAND_INFO:
      std::puts(kInfoUsage);
      break;
    case APP_COMMAND_RECORD:
      std::puts(kRecordUsage);
      break;
    case APP_COMMAND_REPLAY:
      std::puts(kReplayUsage);
      break;
    default:
      std::puts(kGeneralUsage);
      break;
  }
  return false;
}

struct level_name {
  const char* name;
  int32_t level;
};

constexpr level_name kLevelNames[] = {
    {"verbose", 0}, {"debug", 1}, {"info", 2}, {"warn", 3}, {"error", 4}, {"fatal", 6},
};

bool parse_level(const char* text, int32_t* level) {
  for (const level_name& entry : kLevelNames) {
    if (std::strcmp(text, entry.name) == 0) {
      *level = entry.level;
      return true;
    }
  }
  return false;
}

// A name that does not fit its field with the terminator is refused rather
// than cut: a cut bag path would read another file, a cut topic or type name
// would record another topic.
bool fits_field(const char* what, const char* text) {
  if (rnr_name_fits(text)) {
    return true;
  }
  std::fprintf(stderr, "%s is too long: at most %zu characters are allowed\n", what,
               RNR_NAME_MAX_LENGTH);
  return false;
}

// What is wrong with the text of -d, for a line before the run's own.
std::string domain_problem;

void note_domain_text(const char* text, int32_t domain) {
  errno = 0;
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  const std::string given(text);
  if (end == text || *end != '\0') {
    domain_problem = "Main Domain id \"" + given + "\" is not a whole number; domain " +
                     std::to_string(domain) + " is used";
  } else if (errno == ERANGE || value < 0 || value > 232) {
    domain_problem = "Main Domain id " + given + " is out of range (0 to 232)";
  } else {
    domain_problem.clear();
  }
}

}  // namespace

bool app_read_command_line(int argc, char** argv, app_config* config) {
  *config = app_config{};
  domain_problem.clear();
  if (argc < 2 || argv == nullptr || argv[1] == nullptr) {
    return usage(APP_COMMAND_NONE);
  }
  const char* word = argv[1];
  if (std::strcmp(word, "info") == 0) {
    config->command = APP_COMMAND_INFO;
  } else if (std::strcmp(word, "record") == 0) {
    config->command = APP_COMMAND_RECORD;
  } else if (std::strcmp(word, "replay") == 0) {
    config->command = APP_COMMAND_REPLAY;
  } else {
    return usage(APP_COMMAND_NONE);
  }

  static const x_option kOptions[] = {
      {"domain", 1, nullptr, 'd'},
      {"help", 0, nullptr, 'h'},
      {"log-level", 1, nullptr, 'l'},
      {nullptr, 0, nullptr, 0},
  };

  // The parser works on the vector without the program name: the command
  // word is its element 0 and the name its messages print. Parsing starts
  // at element 1 of this vector; 0 makes it a fresh parse.
  const int32_t n = argc - 1;
  char** v = argv + 1;
  x_optind = 0;
  bool help = false;
  for (;;) {
    const int32_t option = x_getopt_long(n, v, "d:hl:", kOptions, nullptr);
    if (option == -1) {
      break;
    }
    if (option == 'h') {
      help = true;
    } else if (option == 'l' && x_optarg != nullptr) {
      if (!parse_level(x_optarg, &config->log_level)) {
        std::fputs("Unknown log level\n", stderr);
        help = true;
      }
    } else if (option == 'd' && x_optarg != nullptr) {
      // No check, by design: text that is not a number gives 0. What is
      // wrong with it is said once the logger runs.
      config->domain_id = static_cast<int32_t>(std::strtol(x_optarg, nullptr, 10));
      note_domain_text(x_optarg, config->domain_id);
    } else {
      return usage(config->command);
    }
  }

  const int32_t first = x_optind;
  const int32_t count = first < n ? n - first : 0;
  char** positional = v + first;

  switch (config->command) {
    case APP_COMMAND_INFO:
      if (help) {
        return usage(config->command);
      }
      return true;
    case APP_COMMAND_RECORD: {
      if (help) {
        return usage(config->command);
      }
      if (count % 2 != 0) {
        std::fputs("Invalid arguments\n", stderr);
        return usage(config->command);
      }
      if (count == 0) {
        std::fputs("No topic to record\n", stderr);
        return usage(config->command);
      }
      for (int32_t k = 0; k < count; k += 2) {
        if (!fits_field("Type name", positional[k]) ||
            !fits_field("Topic name", positional[k + 1])) {
          return usage(config->command);
        }
      }
      config->topic_pairs.reserve(static_cast<size_t>(count / 2));
      for (int32_t k = 0; k < count; k += 2) {
        topic_pair pair;
        rnr_name_copy(pair.type_name, positional[k]);
        rnr_name_copy(pair.topic_name, positional[k + 1]);
        config->topic_pairs.push_back(pair);
      }
      return true;
    }
    case APP_COMMAND_REPLAY:
      if (help || count == 0) {
        return usage(config->command);
      }
      if (!fits_field("Bag file path", positional[0])) {
        return usage(config->command);
      }
      rnr_name_copy(config->bag_file, positional[0]);
      return true;
    default:
      return usage(APP_COMMAND_NONE);
  }
}

int app_main(int argc, char** argv) {
  app_install_signals();

  app_config config;
  if (!app_read_command_line(argc, argv, &config)) {
    return 0;
  }

  if (!rnr_logger_init(config.log_level)) {
    mlog_handle global = MLOG_GLOBAL_INSTANCE;
    if (global != nullptr && module_logger_get_level(global) <= RNR_LOG_ERROR) {
      mlog_write(global, RNR_LOG_ERROR, 0, 0, 0, "Main Cannot initialize logger");
    }
    if (config.command == APP_COMMAND_RECORD) {
      app_config_finalize(&config);
    }
    return 1;
  }

  if (!domain_problem.empty() && config.command != APP_COMMAND_INFO) {
    rnr_log(RNR_LOG_ERROR, "%s", domain_problem.c_str());
  }
  switch (config.command) {
    case APP_COMMAND_RECORD:
      return record_driver(&config);
    case APP_COMMAND_REPLAY:
      return replay_driver(&config);
    default:
      return 0;
  }
}
