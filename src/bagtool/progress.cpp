#include "bagtool/progress.h"

#include <unistd.h>

#include <cinttypes>
#include <cstdio>

namespace rnr::bagtool {

bool Progress::wanted() {
  return isatty(STDERR_FILENO) == 1;
}

Progress::Progress(uint64_t total)
    : enabled_(wanted()), total_(total), start_(std::chrono::steady_clock::now()), shown_(start_) {}

Progress::~Progress() {
  // A run that stopped early still leaves the terminal on a fresh line.
  if (enabled_ && !finished_ && done_ > 0) {
    std::fputc('\n', stderr);
  }
}

void Progress::finish() {
  if (enabled_ && !finished_) {
    show(true);
    std::fputc('\n', stderr);
  }
  finished_ = true;
}

void Progress::show(bool last) {
  const auto now = std::chrono::steady_clock::now();
  if (!last && now - shown_ < std::chrono::milliseconds(250)) {
    return;
  }
  shown_ = now;
  const double seconds = std::chrono::duration<double>(now - start_).count();
  const double rate = seconds > 0 ? static_cast<double>(done_) / seconds : 0.0;
  std::fprintf(stderr, "\r%" PRIu64 " of %" PRIu64 " samples, %.0f samples/s  ", done_, total_,
               rate);
  std::fflush(stderr);
}

}  // namespace rnr::bagtool
