#include "bagtool/progress.h"

#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <string>

namespace rnr::bagtool {
namespace {

ProgressMode mode = ProgressMode::automatic;

// "0:06", "12:30", "2:05:00".
std::string duration_text(double seconds) {
  const auto s = static_cast<uint64_t>(seconds + 0.5);
  char buf[32];
  if (s >= 3600) {
    snprintf(buf, sizeof buf, "%" PRIu64 ":%02" PRIu64 ":%02" PRIu64, s / 3600, s / 60 % 60,
             s % 60);
  } else {
    snprintf(buf, sizeof buf, "%" PRIu64 ":%02" PRIu64, s / 60, s % 60);
  }
  return buf;
}

}  // namespace

void Progress::set_mode(ProgressMode m) {
  mode = m;
}

bool Progress::wanted() {
  return mode == ProgressMode::on ||
         (mode == ProgressMode::automatic && isatty(STDERR_FILENO) == 1);
}

Progress::Progress(uint64_t total)
    : enabled_(wanted()),
      terminal_(isatty(STDERR_FILENO) == 1),
      total_(total),
      start_(std::chrono::steady_clock::now()),
      shown_(start_) {}

Progress::~Progress() {
  // A run that stopped early leaves no line behind either.
  finish();
}

void Progress::finish() {
  if (enabled_ && !finished_) {
    const auto now = std::chrono::steady_clock::now();
    // For logs, a last line unless one came within the second.
    if (terminal_ || !shown_any_ || now - shown_ >= std::chrono::seconds(1)) {
      show(true);
    }
    if (terminal_ && shown_any_) {
      std::fputs("\r\x1b[K", stderr);
      std::fflush(stderr);
    }
  }
  finished_ = true;
}

void Progress::show(bool last) {
  const auto now = std::chrono::steady_clock::now();
  const auto every = terminal_ ? std::chrono::milliseconds(250) : std::chrono::milliseconds(1000);
  if (!last && now - shown_ < every) {
    return;
  }
  shown_ = now;
  shown_any_ = true;
  const double seconds = std::chrono::duration<double>(now - start_).count();
  const double rate = seconds > 0 ? static_cast<double>(done_) / seconds : 0.0;
  const uint64_t total = total_ < done_ ? done_ : total_;
  // Whole percents, rounded down: 100% only when all is done.
  const auto percent =
      total == 0 ? 100u
                 : static_cast<unsigned>(static_cast<unsigned __int128>(done_) * 100 / total);
  std::string left = "-";
  if (rate > 0) {
    left = duration_text(static_cast<double>(total - done_) / rate);
  }
  std::fprintf(stderr, "%s%3u%%  %" PRIu64 " of %" PRIu64 " samples  %.0f samples/s  %s left%s",
               terminal_ ? "\r" : "", percent, done_, total, rate, left.c_str(),
               terminal_ ? "\x1b[K" : "\n");
  std::fflush(stderr);
}

}  // namespace rnr::bagtool
