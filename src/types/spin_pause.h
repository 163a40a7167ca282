// One pause of a thread that spins on a condition: it tells the CPU so
// (cheaper for the other hyperthread, no memory-order speculation to undo).
#pragma once

namespace rnr {

inline void spin_pause() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

}  // namespace rnr
