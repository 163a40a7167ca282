#include "bagtool/output_file.h"

#include <stdio.h>

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bagtool/signals.h"

namespace rnr::bagtool {
namespace {

std::string directory_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    return ".";
  }
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string base_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The absolute form of `path` with its directory resolved; the last part is
// kept as it is (it may not exist yet). Empty when the directory cannot be
// resolved.
std::string resolved(const std::string& path) {
  char dir[PATH_MAX];
  if (realpath(directory_of(path).c_str(), dir) == nullptr) {
    return "";
  }
  const std::string d(dir);
  return (d == "/" ? d : d + "/") + base_of(path);
}

std::string errno_text() {
  return std::strerror(errno);
}

}  // namespace

OutputFile::~OutputFile() {
  discard();
}

bool OutputFile::open(const std::string& path, const std::string& bag, bool force,
                      std::string* error) {
  return open(path, std::vector<std::string>{bag}, force, error);
}

bool OutputFile::open(const std::string& path, const std::vector<std::string>& bags, bool force,
                      std::string* error) {
  discard();
  force_ = force;
  if (path.empty()) {
    *error = "the output path is empty";
    return false;
  }
  // A symbolic link stays a link: what it names is the output.
  std::string target = path;
  struct stat st {};
  if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    char buf[PATH_MAX];
    if (realpath(path.c_str(), buf) == nullptr) {
      *error = path + ": is a link to nothing that can be written (" + errno_text() + ")";
      return false;
    }
    target = buf;
  }
  const bool exists = stat(target.c_str(), &st) == 0;
  if (exists && !S_ISREG(st.st_mode)) {
    *error = path + ": is not a regular file; refused";
    return false;
  }
  if (exists && !force) {
    *error = path + ": exists; give --force to replace it";
    return false;
  }

  // The bags and the files SQLite keeps beside them, by name (they may
  // appear later) and by identity (hard links).
  const std::string out_name = resolved(target);
  if (out_name.empty()) {
    *error = path + ": its directory cannot be found (" + errno_text() + ")";
    return false;
  }
  for (const std::string& bag : bags) {
    // A bag named through a link keeps its journal beside the file itself.
    char real[PATH_MAX];
    const std::string bag_name = resolved(bag);
    const std::string real_name = realpath(bag.c_str(), real) != nullptr ? real : bag_name;
    const std::string which = bags.size() == 1 ? "the bag" : "the bag " + bag;
    for (const char* suffix : {"", "-journal", "-wal", "-shm"}) {
      const std::string companion = bag_name + suffix;
      struct stat cs {};
      const bool same_name =
          !bag_name.empty() && (out_name == companion || out_name == real_name + suffix);
      const bool same_file = exists && stat(companion.c_str(), &cs) == 0 &&
                             cs.st_dev == st.st_dev && cs.st_ino == st.st_ino;
      if (same_name || same_file) {
        *error = path +
                 (*suffix == '\0' ? ": is " + which + " itself"
                                  : ": is " + which + "'s " + std::string(suffix + 1) + " file") +
                 "; refused";
        return false;
      }
    }
  }

  // The temporary file goes beside the output under the shorter of the
  // directory's two names (as given, and resolved): a bag's path must fit
  // the store's 255 bytes.
  std::string directory = directory_of(target);
  if (directory_of(out_name).size() < directory.size()) {
    directory = directory_of(out_name);
  }
  // Files that killed runs left here go first; the name of this run's own
  // says which process it belongs to.
  remove_stale_temporaries(directory);
  std::string pattern =
      directory + "/." + base_of(out_name) + ".tmp-" + temporary_token() + "-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  // A stop signal between the creation and the taking of the slot would
  // leave the file behind: both happen with the signals held back.
  sigset_t stops, before;
  sigemptyset(&stops);
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
    sigaddset(&stops, signal_number);
  }
  sigprocmask(SIG_BLOCK, &stops, &before);
  const int fd = mkstemp(name.data());
  if (fd >= 0) {
    temp_path_ = name.data();
    slot_ = register_temporary(temp_path_);
  }
  const int saved = errno;
  sigprocmask(SIG_SETMASK, &before, nullptr);
  if (fd < 0) {
    errno = saved;
    *error = path + ": cannot create a file beside it (" + errno_text() + ")";
    return false;
  }
  fd_ = fd;
  final_path_ = target;
  // The file gets the mode an existing output has, else the usual one.
  mode_t mode = 0666;
  if (exists) {
    mode = st.st_mode & 07777;
  } else {
    const mode_t mask = umask(0);
    umask(mask);
    mode &= ~mask;
  }
  fchmod(fd_, mode);
  return true;
}

FILE* OutputFile::stream() {
  if (stream_ == nullptr && fd_ >= 0) {
    stream_ = fdopen(fd_, "wb");
  }
  return stream_;
}

bool OutputFile::commit(std::string* error) {
  if (fd_ < 0) {
    *error = "no output file is open";
    return false;
  }
  bool ok = true;
  std::string why;
  if (stream_ != nullptr && fflush(stream_) != 0) {
    ok = false;
    why = errno_text();
  }
  if (ok && fsync(fd_) != 0) {
    ok = false;
    why = errno_text();
  }
  const int closed = stream_ != nullptr ? fclose(stream_) : close(fd_);
  stream_ = nullptr;
  fd_ = -1;
  if (ok && closed != 0) {
    ok = false;
    why = errno_text();
  }
  // Without --force, a file that appeared at the output meanwhile stays.
  if (ok && renameat2(AT_FDCWD, temp_path_.c_str(), AT_FDCWD, final_path_.c_str(),
                      force_ ? 0 : RENAME_NOREPLACE) != 0) {
    ok = false;
    why = errno == EEXIST ? "it appeared meanwhile; give --force to replace it" : errno_text();
  }
  if (!ok) {
    *error = final_path_ + ": cannot write (" + why + ")";
    discard();
    return false;
  }
  release_temporary(slot_);
  slot_ = -1;
  temp_path_.clear();
  const int dir = ::open(directory_of(final_path_).c_str(), O_RDONLY | O_DIRECTORY);
  if (dir >= 0) {
    fsync(dir);
    close(dir);
  }
  return true;
}

void OutputFile::discard() {
  if (stream_ != nullptr) {
    fclose(stream_);
  } else if (fd_ >= 0) {
    close(fd_);
  }
  stream_ = nullptr;
  fd_ = -1;
  if (!temp_path_.empty()) {
    unlink(temp_path_.c_str());
  }
  release_temporary(slot_);
  slot_ = -1;
  temp_path_.clear();
}

}  // namespace rnr::bagtool
