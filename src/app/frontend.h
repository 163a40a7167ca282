// The command line and run control: commands, options, usage texts, the run
// flag with its signal handler, and the one-second run loop of the drivers.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "types/name_field.h"

enum app_command : uint8_t {
  APP_COMMAND_NONE = 0,
  APP_COMMAND_INFO = 1,
  APP_COMMAND_RECORD = 2,
  APP_COMMAND_REPLAY = 3,
};

// One topic that `record` is asked to capture. Both fields always end with a
// terminator.
struct topic_pair {
  char type_name[RNR_NAME_FIELD_SIZE] = {};
  char topic_name[RNR_NAME_FIELD_SIZE] = {};
};

// The result of the command line.
struct app_config {
  uint8_t command = APP_COMMAND_NONE;
  int32_t domain_id = 0;
  int32_t log_level = 2;
  // record: the requested pairs in command-line order.
  std::vector<topic_pair> topic_pairs;
  // replay: the bag file path, always terminated.
  char bag_file[RNR_NAME_FIELD_SIZE] = {};
};

// True from process start; cleared once by the first SIGINT or SIGTERM or by
// the end of a replay, never set again.
extern std::atomic<bool> is_running;
static_assert(std::atomic<bool>::is_always_lock_free, "is_running is cleared in a signal handler");

// True while the recorder holds samples in memory that are not yet written
// to the bag (from its creation to the end of its save).
extern std::atomic<bool> app_samples_held;

// For SIGINT, SIGTERM and SIGHUP. The first one clears is_running; a
// delivery of the same stop within 100 ms of it (timeout(1), a terminal's
// signal to the process group) is ignored. A second one later ends the
// process by its default action: at once when no samples are held,
// otherwise once they are written or after 1 s at most. A third one ends it
// at once. Other numbers are ignored.
void signal_handler(int signal_number);

// Installs signal_handler for SIGINT, SIGTERM and SIGHUP (starting, once, the
// thread that ends the process after a second signal) and ignores SIGPIPE.
void app_install_signals();

// Sleeps in one-second steps while is_running is true; returns at once when
// it is already false.
void app_run_loop();

// Releases the topic pairs of a record configuration.
void app_config_finalize(app_config* config);

// Reads the command word, the options and the positional arguments into
// `config`. True when the command is to be run; false when a usage text or an
// argument error has been printed, in which case the process exits with 0.
bool app_read_command_line(int argc, char** argv, app_config* config);

// Everything `main` does: installs the signal handler, reads the command line,
// creates the module logger and runs the command. Returns the exit status.
int app_main(int argc, char** argv);
