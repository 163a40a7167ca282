#include "test_support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "middleware/dds_api.h"
#include "log/logger.h"

namespace rnr_test {

ScratchDir::ScratchDir() {
  char pattern[] = "/tmp/rnr-replayer-XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    throw std::runtime_error("mkdtemp failed");
  }
  path_ = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

BagWriter::BagWriter(const std::string& path) {
  if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK) {
    throw std::runtime_error("cannot create test bag " + path);
  }
  exec(
      "CREATE TABLE IF NOT EXISTS topics (  _id INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL,  "
      "topic_name VARCHAR(255),  type_name VARCHAR(255),  metastring TEXT,  is_with_key INTEGER,  "
      "UNIQUE (topic_name, type_name));");
  exec(
      "CREATE TABLE IF NOT EXISTS writers (  _id INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL,  "
      "guid VARCHAR(36),  UNIQUE (guid));");
  exec(
      "CREATE TABLE IF NOT EXISTS data (  _id INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL,  "
      "topic_id INTEGER,  timestamp TIMESTAMP DEFAULT CURRENT_TIMESTAMP NOT NULL,  "
      "serialized_data BLOB,  FOREIGN KEY (topic_id) REFERENCES topics(_id))");
}

BagWriter::~BagWriter() {
  sqlite3_close(db_);
}

void BagWriter::exec(const std::string& sql) {
  if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
    throw std::runtime_error("test bag statement failed: " + std::string(sqlite3_errmsg(db_)));
  }
}

int BagWriter::add_topic(const std::string& topic_name, const std::string& type_name,
                         int is_with_key, const char* metastring) {
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(
      db_, "INSERT INTO topics(topic_name, type_name, metastring, is_with_key) VALUES(?, ?, ?, ?)",
      -1, &stmt, nullptr);
  sqlite3_bind_text(stmt, 1, topic_name.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(stmt, 2, type_name.c_str(), -1, SQLITE_TRANSIENT);
  if (metastring != nullptr) {
    sqlite3_bind_text(stmt, 3, metastring, -1, SQLITE_TRANSIENT);
  }
  sqlite3_bind_int(stmt, 4, is_with_key);
  int step = sqlite3_step(stmt);
  sqlite3_finalize(stmt);
  if (step != SQLITE_DONE) {
    throw std::runtime_error("cannot add test topic");
  }
  return static_cast<int>(sqlite3_last_insert_rowid(db_));
}

void BagWriter::add_sample(int topic_id, uint64_t timestamp, const std::vector<uint8_t>& bytes) {
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(db_, "INSERT INTO data(topic_id, timestamp, serialized_data) VALUES(?, ?, ?)",
                     -1, &stmt, nullptr);
  sqlite3_bind_int(stmt, 1, topic_id);
  sqlite3_bind_int64(stmt, 2, static_cast<sqlite3_int64>(timestamp));
  sqlite3_bind_blob(stmt, 3, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
  int step = sqlite3_step(stmt);
  sqlite3_finalize(stmt);
  if (step != SQLITE_DONE) {
    throw std::runtime_error("cannot add test sample");
  }
}

std::vector<uint8_t> xcdr1_sample(uint32_t value) {
  return {0x00,
          0x01,
          0x00,
          0x00,
          static_cast<uint8_t>(value),
          static_cast<uint8_t>(value >> 8),
          static_cast<uint8_t>(value >> 16),
          static_cast<uint8_t>(value >> 24)};
}

bool file_exists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

void write_file(const std::string& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << contents;
}

LogCapture::LogCapture() {
  rnr_logger_init(RNR_LOG_DEBUG);
  mlog_set_sink(RNR_LOG.load(), &LogCapture::sink, this);
}

LogCapture::~LogCapture() {
  mlog_set_sink(RNR_LOG.load(), nullptr, nullptr);
}

void LogCapture::sink(void* context, int32_t level, const char* message) {
  uint64_t now = arch_time();
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

std::vector<LogLine> LogCapture::matching(const std::string& prefix) const {
  std::vector<LogLine> result;
  for (const LogLine& line : lines()) {
    if (line.text.rfind(prefix, 0) == 0) {
      result.push_back(line);
    }
  }
  return result;
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

Child::Child(const std::vector<std::string>& argv, const std::string& out_path,
             const std::string& err_path, const std::string& working_dir) {
  std::vector<char*> args;
  for (const std::string& arg : argv) {
    args.push_back(const_cast<char*>(arg.c_str()));
  }
  args.push_back(nullptr);
  pid_ = fork();
  if (pid_ == 0) {
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    if (!working_dir.empty() && chdir(working_dir.c_str()) != 0) {
      _exit(126);
    }
    execv(args[0], args.data());
    _exit(127);
  }
  if (pid_ < 0) {
    throw std::runtime_error("fork failed");
  }
}

Child::~Child() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

void Child::signal(int signal_number) const {
  if (pid_ > 0) {
    kill(pid_, signal_number);
  }
}

int Child::wait(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (pid_ > 0) {
    int status = 0;
    pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      pid_ = -1;
      if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
      }
      return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return -1;
}

}  // namespace rnr_test
