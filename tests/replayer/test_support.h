// Helpers of the replayer tests: bags written directly with SQLite, scratch
// directories, file snapshots and a thread-safe capture of log lines.
#pragma once

#include <sqlite3.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace rnr_test {

// A directory under /tmp removed with its files at destruction.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// A bag with the recorder's schema, filled row by row.
class BagWriter {
 public:
  explicit BagWriter(const std::string& path);
  ~BagWriter();
  BagWriter(const BagWriter&) = delete;
  BagWriter& operator=(const BagWriter&) = delete;

  int add_topic(const std::string& topic_name, const std::string& type_name, int is_with_key,
                const char* metastring = "struct T { long x; };");
  void add_sample(int topic_id, uint64_t timestamp, const std::vector<uint8_t>& bytes);
  // Groups the rows added in between into one transaction (one disk sync).
  void begin() { exec("BEGIN"); }
  void commit() { exec("COMMIT"); }

 private:
  void exec(const std::string& sql);
  sqlite3* db_ = nullptr;
};

// Serialized bytes of a keyless sample: an XCDR1 little-endian header and a
// 4-byte payload carrying `value`.
std::vector<uint8_t> xcdr1_sample(uint32_t value);

bool file_exists(const std::string& path);
std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& contents);

// Collects the module logger's lines, each with the arch_time of its arrival.
struct LogLine {
  uint64_t time;
  int32_t level;
  std::string text;
};

class LogCapture {
 public:
  // Creates the module logger at debug level if needed and routes it here.
  LogCapture();
  ~LogCapture();
  std::vector<LogLine> lines() const;
  std::vector<LogLine> matching(const std::string& prefix) const;
  bool contains(const std::string& text) const;
  // Waits until `count` lines begin with `prefix`; false on timeout.
  bool wait_for(const std::string& prefix, size_t count, std::chrono::milliseconds timeout) const;

 private:
  static void sink(void* context, int32_t level, const char* message);
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<LogLine> lines_;
};

// A child process whose standard output and error go to files.
class Child {
 public:
  // Runs in `working_dir` when it is not empty.
  Child(const std::vector<std::string>& argv, const std::string& out_path,
        const std::string& err_path, const std::string& working_dir = "");
  ~Child();  // kills the child if it still runs
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  int pid() const { return pid_; }
  void signal(int signal_number) const;
  // The exit status, 128 + the signal that ended it, or -1 after the timeout
  // (the child is then killed).
  int wait(std::chrono::milliseconds timeout);

 private:
  int pid_ = -1;
};

}  // namespace rnr_test
