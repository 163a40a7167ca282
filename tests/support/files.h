// Files of the tests: a temporary directory per test and whole-file reads
// and writes.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace rnr::test {

// A fresh directory under the system's temporary directory, removed with its
// files when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  // The paths of the files whose names begin with `prefix` and end with `suffix`.
  std::vector<std::string> files_matching(const std::string& prefix,
                                          const std::string& suffix) const;

 private:
  std::string path_;
};

bool file_exists(const std::string& path);
std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& contents);

size_t count_occurrences(const std::string& text, const std::string& needle);
// Waits until the file holds `needle` (at least `times` times).
bool wait_for_text(const std::string& path, const std::string& needle,
                   std::chrono::milliseconds timeout, size_t times = 1);

}  // namespace rnr::test
