// Runs code in forked children and programs in child processes, and collects
// what they write on standard output and standard error, with their status.
#pragma once

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <optional>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace rnr_test {

// A temporary file, removed again when it goes out of scope.
class temp_file {
 public:
  temp_file() {
    char name[] = "/tmp/rnr-test-XXXXXX";
    fd_ = mkstemp(name);
    path_ = name;
  }
  ~temp_file() {
    if (fd_ >= 0) {
      close(fd_);
      unlink(path_.c_str());
    }
  }
  temp_file(const temp_file&) = delete;
  temp_file& operator=(const temp_file&) = delete;

  int fd() const { return fd_; }
  const std::string& path() const { return path_; }
  std::string contents() const {
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

 private:
  int fd_ = -1;
  std::string path_;
};

struct child_result {
  std::string out;
  std::string err;
  int status = -1;  // as waitpid reports it; -1 when the child had to be killed

  bool exited_with(int code) const {
    return status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == code;
  }
  bool killed_by(int signal_number) const {
    return status >= 0 && WIFSIGNALED(status) && WTERMSIG(status) == signal_number;
  }
};

// Waits for pid until `timeout`; kills it when it has not ended by then.
inline std::optional<int> wait_for(pid_t pid, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      return status;
    }
    if (done < 0 || std::chrono::steady_clock::now() >= deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return std::nullopt;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

// Runs `body` in a forked child with standard output and standard error sent
// to files; the child's exit status is what `body` returns.
inline child_result run_in_child(const std::function<int()>& body,
                                 std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
  temp_file out;
  temp_file err;
  std::fflush(stdout);
  std::fflush(stderr);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out.fd(), STDOUT_FILENO);
    dup2(err.fd(), STDERR_FILENO);
    int code = body();
    std::fflush(stdout);
    std::fflush(stderr);
    _exit(code);
  }
  child_result result;
  result.status = wait_for(pid, timeout).value_or(-1);
  result.out = out.contents();
  result.err = err.contents();
  return result;
}

// A program started in a child process, its output going to files.
class running_program {
 public:
  struct options {
    std::string cwd;            // working directory; empty: inherited
    bool close_stdout = false;  // start it with standard output closed
  };

  running_program(const std::vector<std::string>& args, const options& opts) {
    std::vector<char*> argv;
    for (const std::string& arg : args) {
      argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    std::fflush(stdout);
    std::fflush(stderr);
    pid_ = fork();
    if (pid_ == 0) {
      if (!opts.cwd.empty() && chdir(opts.cwd.c_str()) != 0) {
        _exit(126);
      }
      if (opts.close_stdout) {
        close(STDOUT_FILENO);
      } else {
        dup2(out_.fd(), STDOUT_FILENO);
      }
      dup2(err_.fd(), STDERR_FILENO);
      execv(argv[0], argv.data());
      _exit(127);
    }
  }
  ~running_program() {
    if (pid_ > 0 && !status_) {
      kill(pid_, SIGKILL);
      int status;
      waitpid(pid_, &status, 0);
    }
  }
  running_program(const running_program&) = delete;
  running_program& operator=(const running_program&) = delete;

  // True once standard output holds `text`, false when `timeout` passed first.
  bool wait_for_output(const std::string& text, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (out_.contents().find(text) == std::string::npos) {
      if (std::chrono::steady_clock::now() >= deadline) {
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }

  void send(int signal_number) { kill(pid_, signal_number); }

  // Waits for the end; the status is -1 when the program had to be killed.
  child_result wait(std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    child_result result;
    status_ = wait_for(pid_, timeout).value_or(-1);
    result.status = *status_;
    result.out = out_.contents();
    result.err = err_.contents();
    return result;
  }

 private:
  temp_file out_;
  temp_file err_;
  pid_t pid_ = -1;
  std::optional<int> status_;
};

inline child_result run_program(const std::vector<std::string>& args,
                                const running_program::options& opts = {}) {
  running_program program(args, opts);
  return program.wait();
}

}  // namespace rnr_test
