#include "log/mlog.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <new>
#include <string>
#include <sys/time.h>
#include <unistd.h>

namespace {

constexpr int32_t kMagic = 0x4d4c4f47;  // "MLOG"

mlog_logger global_logger = {kMagic, 2, "quorvin", STDERR_FILENO, 1, nullptr, nullptr};

// A descriptor whose reader went away (EPIPE, with SIGPIPE ignored): nothing
// more is written to it. -1 while there is none.
std::atomic<int> closed_fd{-1};

// Writes the whole buffer with as few write calls as the descriptor allows;
// lines up to PIPE_BUF bytes go out in one call and so never interleave.
void write_all(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      if (errno == EPIPE) {
        closed_fd.store(fd);
      }
      return;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
}

}  // namespace

mlog_handle MLOG_GLOBAL_INSTANCE = &global_logger;

const char* mlog_level_name(int32_t level) {
  switch (level) {
    case 0:
      return "verbose";
    case 1:
      return "debug";
    case 2:
      return "info";
    case 3:
      return "warn";
    case 4:
      return "error";
    case 6:
      return "fatal";
    default:
      return "unknown";
  }
}

void mlog_copy_default_config_stdout(mlog_config* config) {
  if (config == nullptr) {
    return;
  }
  config->version = 1;
  config->level = 2;
  config->name = "default";
  // With standard output closed, descriptor 1 would later belong to whatever
  // file the process opens next (a bag, say), and log lines would land in it:
  // such a configuration is left unusable, so mlog_create refuses it.
  config->fd = fcntl(STDOUT_FILENO, F_GETFD) == -1 ? -1 : STDOUT_FILENO;
  config->decorate = 1;
}

mlog_handle mlog_create(const mlog_config* config) {
  if (config == nullptr || config->name == nullptr || config->fd < 0) {
    return nullptr;
  }
  size_t name_length = strnlen(config->name, sizeof(mlog_logger::name));
  if (name_length >= sizeof(mlog_logger::name)) {
    return nullptr;
  }
  auto* logger = new (std::nothrow) mlog_logger{};
  if (logger == nullptr) {
    return nullptr;
  }
  logger->magic = kMagic;
  logger->level = config->level;
  memcpy(logger->name, config->name, name_length);
  logger->fd = config->fd;
  logger->decorate = config->decorate;
  return logger;
}

int32_t mlog_get_level(const mlog_logger* logger) {
  return logger == nullptr ? 0 : logger->level;
}

int mlog_vwrite(mlog_logger* logger, int32_t level, int, int, int, const char* format,
                va_list args) {
  if (logger == nullptr || format == nullptr) {
    return -1;
  }
  if (logger->sink == nullptr && logger->fd == closed_fd.load(std::memory_order_relaxed)) {
    return 0;
  }
  va_list copy;
  va_copy(copy, args);
  char stack_buffer[512];
  int length = vsnprintf(stack_buffer, sizeof stack_buffer, format, copy);
  va_end(copy);
  if (length < 0) {
    return -1;
  }
  std::string message;
  if (static_cast<size_t>(length) < sizeof stack_buffer) {
    message.assign(stack_buffer, static_cast<size_t>(length));
  } else {
    message.resize(static_cast<size_t>(length) + 1);
    vsnprintf(message.data(), message.size(), format, args);
    message.resize(static_cast<size_t>(length));
  }

  if (logger->sink != nullptr) {
    logger->sink(logger->sink_context, level, message.c_str());
    return length;
  }

  std::string line;
  line.reserve(message.size() + 96);
  if (logger->decorate) {
    timeval now{};
    gettimeofday(&now, nullptr);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    char stamp[64];
    size_t used = strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    snprintf(stamp + used, sizeof stamp - used, ".%06ld", static_cast<long>(now.tv_usec));
    line += stamp;
    line += " [";
    line += mlog_level_name(level);
    line += "] ";
    line += logger->name;
    line += ": ";
  }
  line += message;
  line += '\n';
  write_all(logger->fd, line.data(), line.size());
  return length;
}

int mlog_write(mlog_logger* logger, int32_t level, int a, int b, int c, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int result = mlog_vwrite(logger, level, a, b, c, format, args);
  va_end(args);
  return result;
}

void mlog_destroy(mlog_logger* logger) {
  if (logger == nullptr || logger == &global_logger) {
    return;
  }
  delete logger;
}

void mlog_set_sink(mlog_logger* logger, mlog_sink sink, void* context) {
  if (logger == nullptr) {
    return;
  }
  logger->sink = sink;
  logger->sink_context = context;
}
