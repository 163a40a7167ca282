#include "log_capture.h"

#include <ctime>

namespace rnr::test {

namespace {

// The clock of the binding's arch_time (realtime, in ns), without linking the
// binding into every test that captures log lines.
uint64_t now_ns() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

}  // namespace

LogCapture::LogCapture(int32_t level) {
  rnr_logger_init(level);
  mlog_set_sink(RNR_LOG.load(), &LogCapture::sink, this);
}

LogCapture::~LogCapture() {
  mlog_set_sink(RNR_LOG.load(), nullptr, nullptr);
}

void LogCapture::sink(void* context, int32_t level, const char* message) {
  const uint64_t now = now_ns();
  auto* self = static_cast<LogCapture*>(context);
  {
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->lines_.push_back({now, level, message});
  }
  self->changed_.notify_all();
}

std::vector<LogLine> LogCapture::lines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

std::vector<std::string> LogCapture::texts() const {
  std::vector<std::string> result;
  for (const LogLine& line : lines()) {
    result.push_back(line.text);
  }
  return result;
}

std::vector<std::string> LogCapture::leveled() const {
  std::vector<std::string> result;
  for (const LogLine& line : lines()) {
    result.push_back(std::to_string(line.level) + " " + line.text);
  }
  return result;
}

void LogCapture::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.clear();
}

std::vector<LogLine> LogCapture::matching(const std::string& prefix) const {
  std::vector<LogLine> result;
  for (const LogLine& line : lines()) {
    if (line.text.rfind(prefix, 0) == 0) {
      result.push_back(line);
    }
  }
  return result;
}

size_t LogCapture::count(int32_t level, const std::string& prefix) const {
  size_t n = 0;
  for (const LogLine& line : matching(prefix)) {
    n += line.level == level ? 1 : 0;
  }
  return n;
}

bool LogCapture::contains(const std::string& text) const {
  for (const LogLine& line : lines()) {
    if (line.text == text) {
      return true;
    }
  }
  return false;
}

bool LogCapture::wait_for(const std::string& prefix, size_t count,
                          std::chrono::milliseconds timeout) const {
  auto count_matching = [&] {
    size_t n = 0;
    for (const LogLine& line : lines_) {
      n += line.text.rfind(prefix, 0) == 0 ? 1 : 0;
    }
    return n;
  };
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return count_matching() >= count; });
}

}  // namespace rnr::test
