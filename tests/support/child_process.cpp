#include "child_process.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <cstdio>
#include <thread>

#include "files.h"

namespace rnr::test {

namespace {

std::optional<int> exit_code(const std::optional<int>& raw) {
  if (!raw) {
    return std::nullopt;
  }
  if (WIFEXITED(*raw)) {
    return WEXITSTATUS(*raw);
  }
  return 128 + (WIFSIGNALED(*raw) ? WTERMSIG(*raw) : 0);
}

// Waits for pid until `timeout`; nothing when it still runs then.
std::optional<int> reap(pid_t pid, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      return status;
    }
    if (done < 0 || std::chrono::steady_clock::now() >= deadline) {
      return std::nullopt;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void kill_and_reap(pid_t pid) {
  kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
}

}  // namespace

TempFile::TempFile() {
  char name[] = "/tmp/rnr-test-XXXXXX";
  fd_ = mkstemp(name);
  path_ = name;
}

TempFile::~TempFile() {
  if (fd_ >= 0) {
    close(fd_);
    unlink(path_.c_str());
  }
}

std::string TempFile::contents() const {
  std::string text;
  char buffer[4096];
  ssize_t n;
  off_t offset = 0;
  while ((n = pread(fd_, buffer, sizeof buffer, offset)) > 0) {
    text.append(buffer, static_cast<size_t>(n));
    offset += n;
  }
  return text;
}

bool ChildResult::exited_with(int code) const {
  return status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == code;
}

bool ChildResult::killed_by(int signal_number) const {
  return status >= 0 && WIFSIGNALED(status) && WTERMSIG(status) == signal_number;
}

Child::Child(const std::vector<std::string>& argv, const ChildOptions& options)
    : out_path_(options.stdout_path), err_path_(options.stderr_path) {
  if (out_path_.empty()) {
    own_out_ = std::make_unique<TempFile>();
    out_path_ = own_out_->path();
  }
  if (err_path_.empty()) {
    own_err_ = std::make_unique<TempFile>();
    err_path_ = own_err_->path();
  }
  // Everything the child needs is prepared before fork: between fork and exec
  // it only makes async-signal-safe calls.
  std::vector<std::string> args = argv;
  std::vector<char*> raw;
  for (auto& a : args) {
    raw.push_back(a.data());
  }
  raw.push_back(nullptr);
  const char* cwd = options.cwd.empty() ? nullptr : options.cwd.c_str();
  const char* out = out_path_.c_str();
  const char* err = err_path_.c_str();
  const bool remove_cwd = options.remove_cwd;
  const bool close_stdout = options.close_stdout;

  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t pid = fork();
  if (pid == 0) {
    if (cwd != nullptr && chdir(cwd) != 0) {
      _exit(126);
    }
    if (remove_cwd && rmdir(".") != 0 && (cwd == nullptr || rmdir(cwd) != 0)) {
      _exit(126);
    }
    const int fd_in = open("/dev/null", O_RDONLY);
    if (fd_in >= 0) {
      dup2(fd_in, STDIN_FILENO);
    }
    const int fd_out = open(out, O_WRONLY | O_CREAT | O_APPEND, 0644);
    const int fd_err = open(err, O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd_out < 0 || fd_err < 0 || dup2(fd_err, STDERR_FILENO) < 0) {
      _exit(126);
    }
    if (close_stdout) {
      close(STDOUT_FILENO);
    } else if (dup2(fd_out, STDOUT_FILENO) < 0) {
      _exit(126);
    }
    execv(raw[0], raw.data());
    _exit(127);
  }
  pid_ = pid;
}

Child::~Child() {
  if (pid_ > 0 && !raw_status_) {
    kill_and_reap(pid_);
  }
}

void Child::signal(int signal_number) const {
  if (pid_ > 0 && !raw_status_) {
    kill(pid_, signal_number);
  }
}

std::optional<int> Child::wait(std::chrono::milliseconds timeout) {
  if (pid_ > 0 && !raw_status_) {
    raw_status_ = reap(pid_, timeout);
  }
  return exit_code(raw_status_);
}

ChildResult Child::finish(std::chrono::milliseconds timeout) {
  ChildResult result;
  if (pid_ > 0 && !raw_status_) {
    raw_status_ = reap(pid_, timeout);
    if (!raw_status_) {
      kill_and_reap(pid_);
      raw_status_ = -1;
    }
  }
  result.status = raw_status_.value_or(-1);
  result.out = out();
  result.err = err();
  return result;
}

std::string Child::out() const {
  return read_file(out_path_);
}

std::string Child::err() const {
  return read_file(err_path_);
}

std::vector<std::string> Child::out_lines() const {
  std::vector<std::string> lines;
  const std::string text = out();
  size_t start = 0;
  for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

bool Child::has_line_starting(const std::string& prefix) const {
  for (const std::string& line : out_lines()) {
    if (line.rfind(prefix, 0) == 0) {
      return true;
    }
  }
  return false;
}

bool Child::wait_for_output(const std::string& text, std::chrono::milliseconds timeout) const {
  return wait_until([&] { return out().find(text) != std::string::npos; }, timeout);
}

ChildResult run_program(const std::vector<std::string>& args, const ChildOptions& options) {
  Child program(args, options);
  return program.finish();
}

ChildResult run_in_child(const std::function<int()>& body, std::chrono::milliseconds timeout) {
  TempFile out;
  TempFile err;
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out.fd(), STDOUT_FILENO);
    dup2(err.fd(), STDERR_FILENO);
    const int code = body();
    std::fflush(stdout);
    std::fflush(stderr);
    _exit(code);
  }
  ChildResult result;
  const std::optional<int> status = reap(pid, timeout);
  if (!status) {
    kill_and_reap(pid);
  }
  result.status = status.value_or(-1);
  result.out = out.contents();
  result.err = err.contents();
  return result;
}

bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return done();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

size_t thread_count(int pid) {
  const std::string dir =
      pid == 0 ? std::string("/proc/self/task") : "/proc/" + std::to_string(pid) + "/task";
  std::error_code ec;
  size_t n = 0;
  for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    ++n;
  }
  return n;
}

}  // namespace rnr::test
