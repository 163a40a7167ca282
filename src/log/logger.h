// The tool's one module logger "DOVUvE" and the write rule every module uses.
#pragma once

#include <atomic>
#include <cstdint>

#include "log/mlog.h"

enum rnr_log_level : int32_t {
  RNR_LOG_VERBOSE = 0,
  RNR_LOG_DEBUG = 1,
  RNR_LOG_INFO = 2,
  RNR_LOG_WARN = 3,
  RNR_LOG_ERROR = 4,
  RNR_LOG_FATAL = 6,
};

// The module logger; null until rnr_logger_init created it.
extern std::atomic<mlog_handle> RNR_LOG;
// The handle the modules write through, and its level read once at creation
// (above every message level until then).
extern mlog_handle logger_context;
extern int32_t logger_level;

// Creates the module logger at `level` unless it exists. True when it exists
// afterwards. Safe against concurrent calls.
bool rnr_logger_init(int32_t level);
// Pass-through to mlog_write.
int module_logger_write(mlog_handle logger, int32_t level, int a, int b, int c, const char* format,
                        ...) __attribute__((format(printf, 6, 7)));
int32_t module_logger_get_level(const mlog_logger* logger);
// Destroys the module logger, if any. Later writes through logger_context are
// dropped: the context is cleared and the level raised above every message.
void logger_shutdown();

// The write rule: a message of level L is written only when the module
// logger's level is at most L, and its arguments are evaluated only then.
#define rnr_log(level, ...)                                               \
  do {                                                                    \
    if (logger_level <= (level)) {                                        \
      module_logger_write(logger_context, (level), 0, 0, 0, __VA_ARGS__); \
    }                                                                     \
  } while (0)
