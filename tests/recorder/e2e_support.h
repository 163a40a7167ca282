// Support for the recorder's end-to-end tests: child processes run in a
// temporary directory, their output read back, and bags inspected.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace rnr_test {

// A fresh directory under the system's temporary directory, removed with its
// files when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::vector<std::string> files_matching(const std::string& prefix,
                                          const std::string& suffix) const;

 private:
  std::string path_;
};

struct SpawnOptions {
  std::string cwd;          // working directory of the child
  bool remove_cwd = false;  // the child removes its (empty) working directory before exec
  std::string stdout_path;  // standard output goes there (appended)
  std::string stderr_path;  // standard error goes there (appended)
};

// A child process, killed and reaped on destruction if still running.
class Child {
 public:
  Child(const std::vector<std::string>& argv, const SpawnOptions& options);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool started() const { return pid_ > 0; }
  void signal(int signal_number) const;
  // The exit status (or 128 + signal number) once the child ended within
  // `timeout`; nothing otherwise.
  std::optional<int> wait(std::chrono::milliseconds timeout);

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
};

std::string read_file(const std::string& path);
size_t count_occurrences(const std::string& text, const std::string& needle);
// Waits until the file holds `needle` (at least `times` times).
bool wait_for_text(const std::string& path, const std::string& needle,
                   std::chrono::milliseconds timeout, size_t times = 1);

// The built tool and the Cyclone tools.
std::string tool_path();
std::string ddsperf_path();

// Rows of a bag, read with plain SQLite.
struct TopicRow {
  int64_t id = 0;
  std::string topic_name;
  std::string type_name;
  std::optional<std::string> metastring;
  std::optional<int64_t> is_with_key;
};
struct DataRow {
  int64_t id = 0;
  int64_t topic_id = 0;
  int64_t timestamp = 0;
  bool timestamp_is_integer = false;
  std::vector<uint8_t> bytes;
};
struct Bag {
  bool opened = false;
  bool integrity_ok = false;
  std::vector<TopicRow> topics;
  std::vector<std::string> writers;
  std::vector<DataRow> data;
};
Bag read_bag(const std::string& path);

// Decodes an unsigned 32-bit field at `offset` of a serialized sample's
// payload (after its 4-byte encapsulation header), in the sample's byte order.
std::optional<uint32_t> payload_u32(const std::vector<uint8_t>& sample, size_t offset);

}  // namespace rnr_test
