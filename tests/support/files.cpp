#include "files.h"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace rnr::test {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "rnr-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("mkdtemp failed");
  }
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
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

}  // namespace rnr::test
