#include <cerrno>

#include "middleware/dds_api.h"

uint64_t arch_time() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

timespec arch_time_to_timespec(uint64_t time_ns) {
  timespec result{};
  result.tv_sec = static_cast<time_t>(time_ns / 1000000000u);
  result.tv_nsec = static_cast<long>(time_ns % 1000000000u);
  return result;
}

void arch_sleep(uint64_t duration_ns) {
  timespec remaining = arch_time_to_timespec(duration_ns);
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}
