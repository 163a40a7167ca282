#include "bagtool/terminal.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>

namespace rnr::bagtool {
namespace {

// The settings found, kept where a signal handler can reach them.
struct termios saved {};
volatile bool saved_valid = false;

}  // namespace

void restore_terminal() {
  if (saved_valid) {
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
  }
}

RawTerminal::RawTerminal() {
  if (isatty(STDIN_FILENO) == 0 || tcgetattr(STDIN_FILENO, &saved) != 0) {
    return;
  }
  saved_valid = true;
  std::atexit(restore_terminal);
  struct termios raw = saved;
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  raw.c_cc[VMIN] = 0;
  raw.c_cc[VTIME] = 0;
  active_ = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
}

RawTerminal::~RawTerminal() {
  restore_terminal();
  saved_valid = false;
}

std::optional<char> RawTerminal::read_key(int timeout_ms) {
  if (!active_) {
    poll(nullptr, 0, timeout_ms);
    return std::nullopt;
  }
  struct pollfd in {
    STDIN_FILENO, POLLIN, 0
  };
  char key = 0;
  if (poll(&in, 1, timeout_ms) <= 0) {
    return std::nullopt;
  }
  if ((in.revents & POLLIN) != 0 && read(STDIN_FILENO, &key, 1) == 1) {
    return key;
  }
  // A terminal that hung up: no more keys, and no busy loop on its poll.
  if ((in.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
    active_ = false;
  }
  return std::nullopt;
}

}  // namespace rnr::bagtool
