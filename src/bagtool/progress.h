// Progress of a long run on standard error ("12000 of 50000 samples,
// 8000 samples/s"), refreshed a few times a second, only when standard error
// is a terminal.
#pragma once

#include <chrono>
#include <cstdint>

namespace rnr::bagtool {

class Progress {
 public:
  explicit Progress(uint64_t total);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // Whether anything is shown; callers may skip work done only for it.
  static bool wanted();

  void step() {
    if (enabled_ && (++done_ & 0x3ffu) == 0) {
      show(false);
    }
  }
  // Shows the final figures and ends the line.
  void finish();

 private:
  void show(bool last);

  bool enabled_;
  uint64_t total_;
  uint64_t done_ = 0;
  bool finished_ = false;
  std::chrono::steady_clock::time_point start_, shown_;
};

}  // namespace rnr::bagtool
