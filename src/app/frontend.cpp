#include "app/frontend.h"

#include <pthread.h>
#include <semaphore.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <chrono>
#include <cstring>
#include <system_error>
#include <thread>

#include "app/drivers.h"
#include "log/logger.h"
#include "app/xgetopt.h"

std::atomic<bool> is_running{true};
std::atomic<bool> app_samples_held{false};

namespace {

// Two deliveries of a stop signal closer together than this are one stop
// (timeout(1) and a terminal signal the process and its group).
constexpr int64_t kDuplicateNs = 100000000;
// After a second, deliberate signal: how long the samples still held in
// memory may take to be written before the process ends.
constexpr int64_t kHurryNs = 1000000000;

// Monotonic times of the first and the second stop signal; 0 until then.
std::atomic<int64_t> first_signal_ns{0};
std::atomic<int64_t> second_signal_ns{0};
static_assert(std::atomic<int64_t>::is_always_lock_free, "used in a signal handler");
std::atomic<int> hurry_signal{0};
std::atomic<bool> hurry_ready{false};  // `hurry` is made
sem_t hurry;

int64_t monotonic_ns() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Ends the process by the signal's default action.
void end_by(int signal_number) {
  std::signal(signal_number, SIG_DFL);
  raise(signal_number);
}

// Waits for a second stop signal; then gives the samples still held up to
// kHurryNs from that signal to be written and ends the process by it.
void watchdog_run() {
  while (sem_wait(&hurry) != 0 && errno == EINTR) {
  }
  const int signal_number = hurry_signal.load();
  rnr_log(RNR_LOG_WARN,
          "Main Second signal: ending once the samples held are written (at most %d ms)",
          static_cast<int>(kHurryNs / 1000000));
  const int64_t deadline = second_signal_ns.load() + kHurryNs;
  while (app_samples_held.load() && monotonic_ns() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (app_samples_held.load()) {
    rnr_log(RNR_LOG_ERROR, "Main Ending before every sample held was written");
  }
  end_by(signal_number);
}

// The watchdog is needed only once the first stop signal came, so it starts
// then, not while recording: a second signal that comes before it waits in
// the semaphore. Without the thread a third signal ends the process.
void start_watchdog() {
  static bool started = false;
  if (started || !hurry_ready.load()) {
    return;
  }
  started = true;
  try {
    std::thread watchdog(watchdog_run);
    pthread_setname_np(watchdog.native_handle(), "rnr.watchdog");
    watchdog.detach();
  } catch (const std::system_error&) {
    rnr_log(RNR_LOG_WARN, "Main Cannot start the thread that waits for a second signal");
  }
}

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

}  // namespace

void signal_handler(int signal_number) {
  if (signal_number != SIGINT && signal_number != SIGTERM && signal_number != SIGHUP) {
    return;
  }
  const int64_t now = monotonic_ns();
  int64_t first = 0;
  if (first_signal_ns.compare_exchange_strong(first, now)) {
    is_running.store(false);
    return;
  }
  if (now - first < kDuplicateNs) {
    return;  // the first stop, delivered twice
  }
  int64_t second = 0;
  if (second_signal_ns.compare_exchange_strong(second, now)) {
    if (!app_samples_held.load() || !hurry_ready.load()) {
      end_by(signal_number);
      return;
    }
    hurry_signal.store(signal_number);
    sem_post(&hurry);
    return;
  }
  if (now - second >= kDuplicateNs) {
    end_by(signal_number);
  }
}

void app_install_signals() {
  static bool semaphore_made = false;
  if (!semaphore_made) {
    semaphore_made = true;
    hurry_ready.store(sem_init(&hurry, 0, 0) == 0);
  }
  std::signal(SIGINT, signal_handler);
  std::signal(SIGTERM, signal_handler);
  std::signal(SIGHUP, signal_handler);
  // A closed standard output (a pipe whose reader went away) ends the log
  // and the sample dump, not the recording.
  std::signal(SIGPIPE, SIG_IGN);
}

void app_run_loop() {
  while (is_running.load()) {
    sleep(1);
  }
  start_watchdog();
}

void app_config_finalize(app_config* config) {
  if (config == nullptr) {
    return;
  }
  std::vector<topic_pair>().swap(config->topic_pairs);
}

bool app_read_command_line(int argc, char** argv, app_config* config) {
  *config = app_config{};
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
      // No check, by design: text that is not a number gives 0.
      config->domain_id = static_cast<int32_t>(std::strtol(x_optarg, nullptr, 10));
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

  switch (config.command) {
    case APP_COMMAND_RECORD:
      return record_driver(&config);
    case APP_COMMAND_REPLAY:
      return replay_driver(&config);
    default:
      return 0;
  }
}
