// Captures the module logger's lines, from any thread, while it lives.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "log/logger.h"

namespace rnr::test {

struct LogLine {
  uint64_t time;  // arrival, on the clock of arch_time
  int32_t level;
  std::string text;
};

class LogCapture {
 public:
  // Creates the module logger at `level` if there is none yet, and routes it
  // here until destruction.
  explicit LogCapture(int32_t level = RNR_LOG_DEBUG);
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<LogLine> lines() const;
  std::vector<std::string> texts() const;
  // Each line as "<level> <text>".
  std::vector<std::string> leveled() const;
  void clear();
  std::vector<LogLine> matching(const std::string& prefix) const;
  // Number of lines at `level` whose text starts with `prefix`.
  size_t count(int32_t level, const std::string& prefix) const;
  bool contains(const std::string& text) const;
  // Waits until `count` lines begin with `prefix`; false on timeout.
  bool wait_for(const std::string& prefix, size_t count, std::chrono::milliseconds timeout) const;

 private:
  static void sink(void* context, int32_t level, const char* message);
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<LogLine> lines_;
};

}  // namespace rnr::test
