#include "bag/database_create_new.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "log/logger.h"

namespace {
constexpr int kMaxBagNumber = 9999;
}  // namespace

rnr_Database* rnr_Database_create_new(const char* path) {
  // The store keeps names of at most 255 bytes; a longer one would be cut and
  // name another file than the one created here.
  if (path == nullptr || path[0] == '\0' || strnlen(path, 256) >= 256) {
    rnr_log(RNR_LOG_ERROR, "Database Cannot open database %.255s%s", path != nullptr ? path : "",
            path == nullptr || path[0] == '\0' ? "(no name)" : "...: the name is too long");
    return nullptr;
  }
  // O_EXCL: fails on any existing file, and does not follow a symbolic link
  // planted at the name.
  int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    rnr_log(RNR_LOG_ERROR, "Database Cannot open database %s (%s)", path, std::strerror(errno));
    return nullptr;
  }
  close(fd);
  rnr_Database* store = rnr_Database_create(path);
  if (store == nullptr) {
    // The file is the empty one created just above.
    unlink(path);
  }
  return store;
}

rnr_Database* rnr_Database_create_new_numbered(const char* path) {
  const std::string name = path != nullptr ? path : "";
  const std::string suffix = ".sqlite3";
  const bool has_suffix = name.size() > suffix.size() &&
                          name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
  const std::string stem = has_suffix ? name.substr(0, name.size() - suffix.size()) : name;
  for (int n = 1; n <= kMaxBagNumber; ++n) {
    const std::string candidate =
        n == 1 ? name : stem + "_" + std::to_string(n) + (has_suffix ? suffix : "");
    if (candidate.empty() || candidate.size() >= 256) {
      break;
    }
    // O_EXCL decides between recorders that race for the same name.
    const int fd = open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
      if (errno == EEXIST) {
        continue;
      }
      rnr_log(RNR_LOG_ERROR, "Database Cannot open database %s (%s)", candidate.c_str(),
              std::strerror(errno));
      return nullptr;
    }
    close(fd);
    rnr_Database* store = rnr_Database_create(candidate.c_str());
    if (store == nullptr) {
      unlink(candidate.c_str());
    }
    return store;
  }
  // Every numbered name is taken (or would be too long): the plain call
  // reports why on the last one tried.
  return rnr_Database_create_new(name.c_str());
}
