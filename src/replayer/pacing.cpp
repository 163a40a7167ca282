#include "replayer/pacing.h"

#include "replayer/replayer_internal.h"
#include "types/spin_pause.h"

namespace rnr::replayer::internal {
namespace {

constexpr uint64_t kPauseSliceNs = 1000000000u;

// Takes one single step asked for while paused, if there is one.
bool take_step(rnr_replayer* replayer) {
  uint32_t pending = replayer->steps_pending.load();
  while (pending > 0 && !replayer->steps_pending.compare_exchange_weak(pending, pending - 1)) {
  }
  return pending > 0;
}

}  // namespace

void Pacer::observe_wakeup(uint64_t late_ns) {
  lateness_[next_] = late_ns;
  next_ = (next_ + 1) % kWakeupsTracked;
  seen_ = std::min(seen_ + 1, kWakeupsTracked);
  uint64_t latest = 0;
  for (size_t i = 0; i < seen_; ++i) {
    latest = std::max(latest, lateness_[i]);
  }
  window_ns_ = std::min(kMaxSpinWindowNs, latest + latest / 4 + kSpinMarginNs);
}

// The state is tested again under `mutex`, so a resume that lands just before
// the wait is not missed.
void wait_paused(rnr_replayer* replayer, Playback& playback, bool may_step) {
  auto stepping = [&] {
    return may_step ? take_step(replayer) : replayer->steps_pending.load() > 0;
  };
  if (stepping()) {
    return;
  }
  flush_unsent(playback);
  std::unique_lock<std::mutex> lock(replayer->mutex);
  while (is_paused(replayer)) {
    if (stepping()) {
      return;
    }
    uint64_t serial = replayer->control_serial;
    replayer->cond.wait_until(lock, deadline_of(saturating_add(arch_time(), kPauseSliceNs)),
                              [&] { return replayer->control_serial != serial; });
  }
}

// The wait sleeps until the pacer's spin window before the deadline and spins
// on the clock from there.
bool wait_for_gap(rnr_replayer* replayer, Playback& playback, uint64_t deadline_ns) {
  if (arch_time() >= deadline_ns) {
    return false;
  }
  flush_unsent(playback);
  const uint64_t serial = replayer->control_serial.load();
  if (is_paused(replayer) || is_stopped(replayer)) {
    return true;
  }
  const uint64_t window = playback.pacer.window_ns();
  const uint64_t wake_ns = deadline_ns > window ? deadline_ns - window : 0;
  if (arch_time() < wake_ns) {
    std::unique_lock<std::mutex> lock(replayer->mutex);
    if (replayer->cond.wait_until(lock, deadline_of(wake_ns),
                                  [&] { return replayer->control_serial.load() != serial; })) {
      return true;
    }
    lock.unlock();
    const uint64_t woke = arch_time();
    playback.pacer.observe_wakeup(woke > wake_ns ? woke - wake_ns : 0);
  }
  while (arch_time() < deadline_ns) {
    if (replayer->control_serial.load(std::memory_order_relaxed) != serial) {
      return true;
    }
    rnr::spin_pause();
  }
  return true;
}

}  // namespace rnr::replayer::internal
