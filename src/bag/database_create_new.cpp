#include "bag/database_create_new.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "log/logger.h"

rnr_Database* rnr_Database_create_new(const char* path) {
  // The store keeps names of at most 255 bytes; a longer one would be cut and
  // name another file than the one created here.
  if (path == nullptr || path[0] == '\0' || strnlen(path, 256) >= 256) {
    rnr_log(RNR_LOG_ERROR, "Database Cannot open database");
    return nullptr;
  }
  // O_EXCL: fails on any existing file, and does not follow a symbolic link
  // planted at the name.
  int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    rnr_log(RNR_LOG_ERROR, "Database Cannot open database");
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
