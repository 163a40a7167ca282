#include "app/run_control.h"

#include <pthread.h>
#include <semaphore.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <system_error>
#include <thread>

#include "log/logger.h"

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
