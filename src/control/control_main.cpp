// quorvin-rnr-bag-control: `quorvin-rnr-bag control`, one command sent to the
// recorders that run with --control on a domain, and their answers.
#include <cstdio>

#include "control/main_args.h"
#include "control/operator.h"
#include "log/logger.h"

namespace {

constexpr const char* kUsage =
    "usage: quorvin-rnr-bag control [-d DOMAIN] NAME|all COMMAND\n"
    "\n"
    "Sends COMMAND to the recorder named NAME, or to every recorder (all), among\n"
    "those recording with --control on the domain, and prints each one's answer.\n"
    "\n"
    "Commands:\n"
    "  pause      stop writing samples until resumed\n"
    "  resume     write samples again\n"
    "  split      go on in a new bag\n"
    "  snapshot   write the window held in memory (recorders with --snapshot)\n"
    "  stop       end the recording\n"
    "\n"
    "Options:\n"
    "  -d, --domain DOMAIN   DDS domain id (default 0)\n"
    "  -h, --help            show this help and exit\n"
    "\n"
    "A recorder that has not answered within 3 s is named on standard error. With\n"
    "all, the recorders whose status is heard within the first second are the\n"
    "ones expected to answer.\n"
    "\n"
    "Exit status: 0 when every addressed recorder carried the command out, 1 when\n"
    "one refused it or did not answer, 2 on wrong arguments.";

constexpr const char* kPrefix = "quorvin-rnr-bag: control";

}  // namespace

int main(int argc, char** argv) {
  rnr::control::MainArgs args;
  if (const int status = rnr::control::parse_main_args(argc, argv, kPrefix, &args); status != 0) {
    std::fprintf(stderr, "%s\n", kUsage);
    return status;
  }
  if (args.help) {
    std::puts(kUsage);
    return 0;
  }
  if (args.words.size() != 2 || args.words[0].empty()) {
    std::fprintf(stderr, "%s: a recorder's name (or all) and a command are required\n%s\n", kPrefix,
                 kUsage);
    return 2;
  }
  const auto command = rnr::control::parse_command(args.words[1]);
  if (!command) {
    std::fprintf(stderr, "%s: %s: not a command (pause, resume, split, snapshot or stop)\n%s\n",
                 kPrefix, args.words[1].c_str(), kUsage);
    return 2;
  }
  rnr_logger_init(RNR_LOG_WARN);
  return rnr::control::run_control(args.domain, args.words[0], *command, stdout, stderr);
}
