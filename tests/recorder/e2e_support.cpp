#include "e2e_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace rnr_test {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "rnr-rec-XXXXXX").string();
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) != nullptr) {
    path_ = buffer.data();
  }
}

TempDir::~TempDir() {
  if (!path_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
}

std::vector<std::string> TempDir::files_matching(const std::string& prefix,
                                                 const std::string& suffix) const {
  std::vector<std::string> out;
  std::error_code ec;
  for (const auto& item : std::filesystem::directory_iterator(path_, ec)) {
    const std::string name = item.path().filename().string();
    if (name.size() >= prefix.size() + suffix.size() &&
        name.compare(0, prefix.size(), prefix) == 0 &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
      out.push_back(item.path().string());
    }
  }
  return out;
}

Child::Child(const std::vector<std::string>& argv, const SpawnOptions& options) {
  // Everything the child needs is prepared before fork: between fork and exec
  // it only makes async-signal-safe calls.
  std::vector<std::string> args = argv;
  std::vector<char*> raw;
  for (auto& a : args) {
    raw.push_back(a.data());
  }
  raw.push_back(nullptr);
  const char* cwd = options.cwd.empty() ? nullptr : options.cwd.c_str();
  const char* out = options.stdout_path.empty() ? "/dev/null" : options.stdout_path.c_str();
  const char* err = options.stderr_path.empty() ? "/dev/null" : options.stderr_path.c_str();
  const bool remove_cwd = options.remove_cwd;

  pid_t pid = fork();
  if (pid == 0) {
    if (cwd != nullptr && chdir(cwd) != 0) {
      _exit(126);
    }
    if (remove_cwd && rmdir(".") != 0 && (cwd == nullptr || rmdir(cwd) != 0)) {
      _exit(126);
    }
    int fd_out = open(out, O_WRONLY | O_CREAT | O_APPEND, 0644);
    int fd_err = open(err, O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd_out < 0 || fd_err < 0 || dup2(fd_out, 1) < 0 || dup2(fd_err, 2) < 0) {
      _exit(126);
    }
    int fd_in = open("/dev/null", O_RDONLY);
    if (fd_in >= 0) {
      dup2(fd_in, 0);
    }
    execv(raw[0], raw.data());
    _exit(127);
  }
  pid_ = pid;
}

Child::~Child() {
  if (pid_ > 0 && !status_) {
    kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
}

void Child::signal(int signal_number) const {
  if (pid_ > 0 && !status_) {
    kill(pid_, signal_number);
  }
}

std::optional<int> Child::wait(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) {
    return std::nullopt;
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!status_) {
    int status = 0;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      status_ = WIFEXITED(status) ? WEXITSTATUS(status)
                                  : 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return status_;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

size_t count_occurrences(const std::string& text, const std::string& needle) {
  size_t count = 0;
  for (size_t pos = text.find(needle); pos != std::string::npos;
       pos = text.find(needle, pos + needle.size())) {
    ++count;
  }
  return count;
}

bool wait_for_text(const std::string& path, const std::string& needle,
                   std::chrono::milliseconds timeout, size_t times) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (count_occurrences(read_file(path), needle) >= times) {
      return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

std::string tool_path() {
  return RNR_TOOL_PATH;
}
std::string ddsperf_path() {
  return RNR_DDSPERF_PATH;
}

Bag read_bag(const std::string& path) {
  Bag bag;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return bag;
  }
  bag.opened = true;
  auto text = [](sqlite3_stmt* s, int col) -> std::optional<std::string> {
    if (sqlite3_column_type(s, col) == SQLITE_NULL) {
      return std::nullopt;
    }
    return std::string(reinterpret_cast<const char*>(sqlite3_column_text(s, col)),
                       static_cast<size_t>(sqlite3_column_bytes(s, col)));
  };
  sqlite3_stmt* s = nullptr;
  if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &s, nullptr) == SQLITE_OK &&
      sqlite3_step(s) == SQLITE_ROW) {
    bag.integrity_ok = text(s, 0).value_or("") == "ok";
  }
  sqlite3_finalize(s);
  if (sqlite3_prepare_v2(db,
                         "SELECT _id, topic_name, type_name, metastring, is_with_key FROM topics "
                         "ORDER BY _id",
                         -1, &s, nullptr) == SQLITE_OK) {
    while (sqlite3_step(s) == SQLITE_ROW) {
      TopicRow row;
      row.id = sqlite3_column_int64(s, 0);
      row.topic_name = text(s, 1).value_or("");
      row.type_name = text(s, 2).value_or("");
      row.metastring = text(s, 3);
      if (sqlite3_column_type(s, 4) != SQLITE_NULL) {
        row.is_with_key = sqlite3_column_int64(s, 4);
      }
      bag.topics.push_back(row);
    }
  }
  sqlite3_finalize(s);
  if (sqlite3_prepare_v2(db, "SELECT guid FROM writers ORDER BY _id", -1, &s, nullptr) ==
      SQLITE_OK) {
    while (sqlite3_step(s) == SQLITE_ROW) {
      bag.writers.push_back(text(s, 0).value_or(""));
    }
  }
  sqlite3_finalize(s);
  if (sqlite3_prepare_v2(db,
                         "SELECT _id, topic_id, timestamp, typeof(timestamp), serialized_data "
                         "FROM data ORDER BY _id",
                         -1, &s, nullptr) == SQLITE_OK) {
    while (sqlite3_step(s) == SQLITE_ROW) {
      DataRow row;
      row.id = sqlite3_column_int64(s, 0);
      row.topic_id = sqlite3_column_int64(s, 1);
      row.timestamp = sqlite3_column_int64(s, 2);
      row.timestamp_is_integer = text(s, 3).value_or("") == "integer";
      const auto* blob = static_cast<const uint8_t*>(sqlite3_column_blob(s, 4));
      const int size = sqlite3_column_bytes(s, 4);
      if (blob != nullptr && size > 0) {
        row.bytes.assign(blob, blob + size);
      }
      bag.data.push_back(std::move(row));
    }
  }
  sqlite3_finalize(s);
  sqlite3_close(db);
  return bag;
}

std::optional<uint32_t> payload_u32(const std::vector<uint8_t>& sample, size_t offset) {
  if (sample.size() < 4 + offset + 4) {
    return std::nullopt;
  }
  // Encapsulation identifier: odd second byte means little-endian.
  const bool little = (sample[1] & 1u) != 0;
  const uint8_t* p = sample.data() + 4 + offset;
  return little
             ? (uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24)
             : (uint32_t{p[3]} | uint32_t{p[2]} << 8 | uint32_t{p[1]} << 16 | uint32_t{p[0]} << 24);
}

}  // namespace rnr_test
