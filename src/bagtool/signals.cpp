#include "bagtool/signals.h"

#include <dirent.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "bagtool/terminal.h"

namespace rnr::bagtool {
namespace {

std::atomic<int> first_signal{0};

// A slot holds a path only while `used` is set; the handler reads it without
// locks, so the path is written before the flag and cleared after it.
struct Pending {
  std::atomic<bool> used{false};
  char path[PATH_MAX] = {};
};
std::array<Pending, 8> pending;

extern "C" void on_stop_signal(int signal_number) {
  int expected = 0;
  if (first_signal.compare_exchange_strong(expected, signal_number)) {
    return;
  }
  // The second signal: nothing more is waited for.
  for (auto& slot : pending) {
    if (slot.used.load()) {
      unlink(slot.path);
      const size_t n = std::strlen(slot.path);
      if (n + 9 < sizeof slot.path) {
        std::memcpy(slot.path + n, "-journal", 9);
        unlink(slot.path);
      }
    }
  }
  restore_terminal();
  static const char line[] = "quorvin-rnr-bag: stopped at once by a second signal\n";
  const ssize_t ignored = write(STDERR_FILENO, line, sizeof line - 1);
  (void)ignored;
  _exit(128 + signal_number);
}

const char* signal_name(int signal_number) {
  switch (signal_number) {
    case SIGINT:
      return "SIGINT";
    case SIGTERM:
      return "SIGTERM";
    case SIGHUP:
      return "SIGHUP";
    case SIGPIPE:
      return "SIGPIPE";
    default:
      return "a signal";
  }
}

std::string read_text(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Field 22 of /proc/PID/stat, the start time in clock ticks since boot; empty
// when the process does not exist.
std::string start_time_of(const std::string& pid) {
  const std::string stat = read_text("/proc/" + pid + "/stat");
  const size_t paren = stat.rfind(')');
  if (paren == std::string::npos) {
    return "";
  }
  std::istringstream fields(stat.substr(paren + 1));
  std::string field;
  for (int i = 3; i <= 22 && (fields >> field); ++i) {
    if (i == 22) {
      return field;
    }
  }
  return "";
}

std::string boot_id() {
  std::string id = read_text("/proc/sys/kernel/random/boot_id");
  std::string hex;
  for (char c : id) {
    if (std::isxdigit(static_cast<unsigned char>(c)) != 0 && hex.size() < 8) {
      hex.push_back(c);
    }
  }
  return hex.empty() ? "0" : hex;
}

bool all_of(const std::string& text, int (*is)(int)) {
  if (text.empty()) {
    return false;
  }
  for (char c : text) {
    if (is(static_cast<unsigned char>(c)) == 0) {
      return false;
    }
  }
  return true;
}

// Whether the token "PID-BOOT-START" in a temporary file's name names a
// process that is not running; false when the name is not such a token.
bool owner_is_gone(const std::string& token) {
  const size_t a = token.find('-');
  const size_t b = a == std::string::npos ? a : token.find('-', a + 1);
  if (b == std::string::npos) {
    return false;
  }
  const std::string pid = token.substr(0, a);
  const std::string boot = token.substr(a + 1, b - a - 1);
  const std::string start = token.substr(b + 1);
  if (!all_of(pid, ::isdigit) || !all_of(boot, ::isxdigit) || !all_of(start, ::isdigit)) {
    return false;
  }
  static const std::string this_boot = boot_id();
  if (boot != this_boot) {
    return true;  // written before the machine last started
  }
  return start_time_of(pid) != start;
}

}  // namespace

void install_stop_signals(bool pipe) {
  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    sigaction(signal_number, &action, nullptr);
  }
  if (pipe) {
    sigaction(SIGPIPE, &action, nullptr);
  }
}

int stop_signal() {
  return first_signal.load();
}

int report_stop(const std::string& command, const std::string& not_written) {
  const int signal_number = first_signal.load();
  std::string line = "quorvin-rnr-bag: " + command + ": interrupted by ";
  line.append(signal_name(signal_number));
  if (!not_written.empty()) {
    line.append("; ").append(not_written).append(" not written");
  }
  std::fprintf(stderr, "%s\n", line.c_str());
  return 128 + signal_number;
}

int register_temporary(const std::string& path) {
  if (path.size() + 9 >= PATH_MAX) {
    return -1;
  }
  for (size_t i = 0; i < pending.size(); ++i) {
    if (!pending[i].used.load()) {
      std::memcpy(pending[i].path, path.c_str(), path.size() + 1);
      pending[i].used.store(true);
      return static_cast<int>(i);
    }
  }
  return -1;
}

void release_temporary(int slot) {
  if (slot >= 0 && static_cast<size_t>(slot) < pending.size()) {
    pending[static_cast<size_t>(slot)].used.store(false);
  }
}

const std::string& temporary_token() {
  static const std::string token = [] {
    const std::string pid = std::to_string(getpid());
    return pid + "-" + boot_id() + "-" + start_time_of(pid);
  }();
  return token;
}

void remove_stale_temporaries(const std::string& directory) {
  DIR* dir = opendir(directory.c_str());
  if (dir == nullptr) {
    return;
  }
  const uid_t me = geteuid();
  while (const dirent* entry = readdir(dir)) {
    // ".NAME.tmp-PID-BOOT-START-XXXXXX", and its "-journal"
    std::string name = entry->d_name;
    if (name.empty() || name[0] != '.') {
      continue;
    }
    const size_t at = name.rfind(".tmp-");
    if (at == std::string::npos) {
      continue;
    }
    std::string tail = name.substr(at + 5);
    const std::string journal = "-journal";
    if (tail.size() > journal.size() &&
        tail.compare(tail.size() - journal.size(), journal.size(), journal) == 0) {
      tail.resize(tail.size() - journal.size());
    }
    if (tail.size() < 8 || tail[tail.size() - 7] != '-') {
      continue;
    }
    tail.resize(tail.size() - 7);
    const std::string path = directory + "/" + name;
    struct stat st {};
    if (!owner_is_gone(tail) || lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
        st.st_uid != me) {
      continue;
    }
    unlink(path.c_str());
  }
  closedir(dir);
}

}  // namespace rnr::bagtool
