#include "log/logger.h"

#include <climits>

std::atomic<mlog_handle> RNR_LOG{nullptr};
mlog_handle logger_context = nullptr;
// Above every level until the logger exists: nothing is written (and no
// argument computed, no sample printed at level verbose) before that.
int32_t logger_level = INT32_MAX;

namespace {

// One-byte spin lock that serialises creation: 0 free, 1 held.
std::atomic<uint8_t> logger_lock{0};

void lock() {
  while (logger_lock.exchange(1, std::memory_order_acquire) != 0) {
  }
}

void unlock() {
  logger_lock.store(0, std::memory_order_release);
}

}  // namespace

bool rnr_logger_init(int32_t level) {
  if (RNR_LOG.load(std::memory_order_acquire) != nullptr) {
    return true;
  }
  lock();
  if (RNR_LOG.load(std::memory_order_acquire) != nullptr) {
    unlock();
    return true;
  }

  mlog_config config{};
  mlog_copy_default_config_stdout(&config);
  config.level = level;
  config.name = "DOVUvE";

  mlog_handle logger = mlog_create(&config);
  if (logger == nullptr) {
    mlog_handle global = MLOG_GLOBAL_INSTANCE;
    if (global != nullptr && module_logger_get_level(global) <= RNR_LOG_ERROR) {
      mlog_write(global, RNR_LOG_ERROR, 0, 0, 0,
                 "Logger Failed to create Quorvin Record & Replay logger");
    }
    unlock();
    return false;
  }

  logger_level = mlog_get_level(logger);
  logger_context = logger;
  RNR_LOG.store(logger, std::memory_order_release);
  if (module_logger_get_level(logger) <= RNR_LOG_DEBUG) {
    mlog_write(logger, RNR_LOG_DEBUG, 0, 0, 0, "Logger DOVUvE Logger(level=%s) initialized",
               mlog_level_name(level));
  }
  unlock();
  return true;
}

int module_logger_write(mlog_handle logger, int32_t level, int a, int b, int c, const char* format,
                        ...) {
  va_list args;
  va_start(args, format);
  int result = mlog_vwrite(logger, level, a, b, c, format, args);
  va_end(args);
  return result;
}

int32_t module_logger_get_level(const mlog_logger* logger) {
  return logger == nullptr ? INT32_MAX : logger->level;
}

void logger_shutdown() {
  mlog_handle old = RNR_LOG.exchange(nullptr, std::memory_order_acq_rel);
  if (old != nullptr) {
    if (logger_context == old) {
      logger_context = nullptr;
      logger_level = INT32_MAX;
    }
    mlog_destroy(old);
  }
}
