// Run control: the run flag with its signal handler, the thread that ends the
// process after a second signal, and the one-second run loop of the drivers.
#pragma once

#include <atomic>

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

// Installs signal_handler for SIGINT, SIGTERM and SIGHUP (making, once, the
// semaphore through which a second signal wakes the thread that ends the
// process) and ignores SIGPIPE.
void app_install_signals();

// Sleeps in one-second steps while is_running is true; returns at once when
// it is already false. Then starts the thread that waits for a second signal.
void app_run_loop();
