// The middleware's logging facility: named loggers with a level that write
// one decorated line per message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdarg>

// Configuration record handed to mlog_create. The caller zero-fills it and
// calls mlog_copy_default_config_stdout before setting level and name.
struct mlog_config {
  int32_t version;   // bytes 0..3
  int32_t level;     // bytes 4..7
  const char* name;  // bytes 8..15
  int32_t fd;        // output file descriptor
  int32_t decorate;  // non-zero: prefix time, level and name
  char reserved[64];
};
static_assert(sizeof(mlog_config) == 88, "the configuration record is 88 bytes");
static_assert(offsetof(mlog_config, level) == 4, "level sits at byte 4");
static_assert(offsetof(mlog_config, name) == 8, "name sits at byte 8");

// Receives every message a logger writes, after the level test; used by tests
// to observe log lines. The message carries no decoration and no newline.
using mlog_sink = void (*)(void* context, int32_t level, const char* message);

struct mlog_logger {
  int32_t magic;  // bytes 0..3
  int32_t level;  // bytes 4..7
  char name[64];
  int32_t fd;
  int32_t decorate;
  mlog_sink sink;
  void* sink_context;
};
static_assert(offsetof(mlog_logger, level) == 4, "the logger's level sits at byte 4");

using mlog_handle = mlog_logger*;

// The facility's own global logger (level info, standard error).
extern mlog_handle MLOG_GLOBAL_INSTANCE;

void mlog_copy_default_config_stdout(mlog_config* config);
// A new logger, or null when the configuration is unusable (no name, a name of
// 64 bytes or more, a negative descriptor) or memory runs out.
mlog_handle mlog_create(const mlog_config* config);
int32_t mlog_get_level(const mlog_logger* logger);
// Formats and writes one line; the three middle values are reserved and
// passed as zero. Safe to call from any thread; a null logger writes nothing.
int mlog_write(mlog_logger* logger, int32_t level, int a, int b, int c, const char* format, ...)
    __attribute__((format(printf, 6, 7)));
int mlog_vwrite(mlog_logger* logger, int32_t level, int a, int b, int c, const char* format,
                va_list args) __attribute__((format(printf, 6, 0)));
void mlog_destroy(mlog_logger* logger);

// Routes the messages of a logger to a sink in place of its descriptor (null
// restores the descriptor). Not synchronised with concurrent writes.
void mlog_set_sink(mlog_logger* logger, mlog_sink sink, void* context);

// The name shown for a level: verbose, debug, info, warn, error, fatal, or
// unknown for 5 and anything outside 0..6.
const char* mlog_level_name(int32_t level);
