// Child processes of the tests: programs started with their output in files,
// code run in a forked child, and waiting with a deadline.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace rnr::test {

// A temporary file, removed again when it goes out of scope.
class TempFile {
 public:
  TempFile();
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  int fd() const { return fd_; }
  const std::string& path() const { return path_; }
  std::string contents() const;

 private:
  int fd_ = -1;
  std::string path_;
};

// What a child wrote and how it ended.
struct ChildResult {
  std::string out;
  std::string err;
  int status = -1;  // as waitpid reports it; -1 when the child had to be killed

  bool exited_with(int code) const;
  bool killed_by(int signal_number) const;
};

struct ChildOptions {
  std::string cwd{};          // working directory; empty: inherited
  bool remove_cwd = false;    // the child removes its (empty) working directory before exec
  bool close_stdout = false;  // start it with standard output closed
  std::string stdout_path{};  // standard output is appended there; empty: a file of the child's
  std::string stderr_path{};  // standard error likewise
};

// A program started in a child process (standard input from /dev/null), killed
// and reaped on destruction if it still runs.
class Child {
 public:
  explicit Child(const std::vector<std::string>& argv, const ChildOptions& options = {});
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  void signal(int signal_number) const;
  // The exit status, or 128 + the signal that ended it, once the child ended
  // within `timeout`; nothing while it still runs.
  std::optional<int> wait(std::chrono::milliseconds timeout = std::chrono::seconds(60));
  // Waits like wait(); the child is killed when it has not ended by then
  // (status -1).
  ChildResult finish(std::chrono::milliseconds timeout = std::chrono::seconds(20));

  std::string out() const;
  std::string err() const;
  // The complete lines of standard output so far.
  std::vector<std::string> out_lines() const;
  bool has_line_starting(const std::string& prefix) const;
  // True once standard output holds `text`, false when `timeout` passed first.
  bool wait_for_output(const std::string& text, std::chrono::milliseconds timeout) const;

 private:
  pid_t pid_ = -1;
  std::optional<int> raw_status_;  // as waitpid reports it
  std::unique_ptr<TempFile> own_out_;
  std::unique_ptr<TempFile> own_err_;
  std::string out_path_;
  std::string err_path_;
};

// Runs a program to its end (killed after 20 s).
ChildResult run_program(const std::vector<std::string>& args, const ChildOptions& options = {});

// Runs `body` in a forked child with standard output and standard error sent
// to files; the child's exit status is what `body` returns.
ChildResult run_in_child(const std::function<int()>& body,
                         std::chrono::milliseconds timeout = std::chrono::seconds(20));

// Polls `done` until it holds; false when `timeout` passed first.
bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds timeout);

// The number of threads of process `pid` (0: this process), from /proc.
size_t thread_count(int pid = 0);

}  // namespace rnr::test
