// Keys from a terminal for `play`: standard input in raw mode (no line
// buffering, no echo; Ctrl-C still interrupts) while the object lives, and
// restored on every way out: destruction, exit, and the signals that end the
// process.
#pragma once

#include <optional>

namespace rnr::bagtool {

class RawTerminal {
 public:
  // Switches standard input to raw mode when it is a terminal.
  RawTerminal();
  ~RawTerminal();
  RawTerminal(const RawTerminal&) = delete;
  RawTerminal& operator=(const RawTerminal&) = delete;

  bool active() const { return active_; }
  // The next key typed, waiting at most `timeout_ms`; nothing when none came
  // (or standard input is no terminal, after the same wait).
  std::optional<char> read_key(int timeout_ms);

 private:
  bool active_ = false;
};

// Puts the terminal back as it was found (async-signal-safe). Called by the
// signal handlers of `play` before a signal ends the process.
void restore_terminal();

}  // namespace rnr::bagtool
