// Progress of a long run on standard error: "  45%  12000 of 50000 samples
// 8000 samples/s  0:06 left". On a terminal it is one line rewritten in
// place a few times a second and cleared at the end; with --progress and no
// terminal, one line a second for logs; with --quiet, nothing.
#pragma once

#include <chrono>
#include <cstdint>

namespace rnr::bagtool {

enum class ProgressMode : uint8_t { automatic, on, off };

class Progress {
 public:
  // The mode of every Progress of the process (--progress, --quiet).
  static void set_mode(ProgressMode mode);
  // Whether anything is shown; callers may skip work done only for it (the
  // total's count).
  static bool wanted();

  explicit Progress(uint64_t total);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  void step(uint64_t n = 1) {
    done_ += n;
    if (enabled_ && ++calls_ % 64 == 0) {
      show(false);
    }
  }
  // Shows the final figures (100% when all was done) and clears the line.
  void finish();

 private:
  void show(bool last);

  bool enabled_;
  bool terminal_;
  uint64_t total_;
  uint64_t done_ = 0;
  uint64_t calls_ = 0;
  bool finished_ = false;
  bool shown_any_ = false;
  std::chrono::steady_clock::time_point start_, shown_;
};

}  // namespace rnr::bagtool
