// The replay's clock arithmetic and the pacer that decides how long before a
// sample's time the replay thread stops sleeping and starts spinning. The
// waits themselves, which also watch the control operations, are declared in
// replayer_internal.h (defined in pacing.cpp).
#pragma once

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace rnr::replayer::internal {

constexpr double kMinRate = 0.01;
constexpr double kMaxRate = 100.0;

// The most the replay thread spins on the clock before a sample's time: a
// longer gap is slept through up to this much before its end.
constexpr uint64_t kMaxSpinWindowNs = 2000000u;
// Added to the latest wake-ups seen, so that a slightly later one is covered.
constexpr uint64_t kSpinMarginNs = 20000u;
// How many recent wake-ups size the spin window.
constexpr size_t kWakeupsTracked = 64;

// A wait deadline on system_clock (CLOCK_REALTIME, the clock of arch_time),
// clamped so that far-off deadlines stay representable.
inline std::chrono::system_clock::time_point deadline_of(uint64_t time_ns) {
  constexpr uint64_t max_ns = static_cast<uint64_t>(std::numeric_limits<int64_t>::max() / 2);
  if (time_ns > max_ns) {
    time_ns = max_ns;
  }
  return std::chrono::system_clock::time_point(
      std::chrono::duration_cast<std::chrono::system_clock::duration>(
          std::chrono::nanoseconds(static_cast<int64_t>(time_ns))));
}

// Sum that saturates instead of wrapping.
inline uint64_t saturating_add(uint64_t a, uint64_t b) {
  return b > std::numeric_limits<uint64_t>::max() - a ? std::numeric_limits<uint64_t>::max()
                                                      : a + b;
}

// A recorded gap at the given rate. At rate 1 the gap is kept to the
// nanosecond.
inline uint64_t scaled_gap(uint64_t gap_ns, double rate) {
  if (rate == 1.0) {
    return gap_ns;
  }
  const double scaled = static_cast<double>(gap_ns) / rate;
  return scaled >= 1.8e19 ? std::numeric_limits<uint64_t>::max() : static_cast<uint64_t>(scaled);
}

inline double clamp_rate(double rate) {
  return rate >= kMinRate ? std::min(rate, kMaxRate) : kMinRate;
}

// Paces writes to the clock: a timed wait until a spin window before the
// deadline, then a spin on the clock until the deadline itself. A thread
// woken from a timed wait is late by tens of microseconds typically and by
// milliseconds at times, while a spinning thread meets its deadline to a
// fraction of a microsecond. The window is sized from how late this replay's
// own wake-ups were: the latest of the recent ones plus a margin, at most
// kMaxSpinWindowNs. Until wake-ups have been seen it is the largest window.
class Pacer {
 public:
  uint64_t window_ns() const { return window_ns_; }
  void observe_wakeup(uint64_t late_ns);

 private:
  std::array<uint64_t, kWakeupsTracked> lateness_{};
  size_t next_ = 0;
  size_t seen_ = 0;
  uint64_t window_ns_ = kMaxSpinWindowNs;
};

}  // namespace rnr::replayer::internal
