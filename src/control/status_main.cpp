// quorvin-rnr-bag-status: `quorvin-rnr-bag status`, the recorders that run
// with --control on a domain, as their status says.
#include <cstdio>

#include "control/main_args.h"
#include "control/operator.h"
#include "log/logger.h"

namespace {

constexpr const char* kUsage =
    "usage: quorvin-rnr-bag status [-d DOMAIN]\n"
    "\n"
    "Lists the recorders recording with --control on the domain, as heard within\n"
    "1.5 s: name, host, pid, state, samples, bytes and samples lost so far, topics,\n"
    "bytes free on the bags' disk, and the bag being written.\n"
    "\n"
    "Options:\n"
    "  -d, --domain DOMAIN   DDS domain id (default 0)\n"
    "  -h, --help            show this help and exit\n"
    "\n"
    "Exit status: 0 when a recorder was heard, 1 when none was, 2 on wrong arguments.";

constexpr const char* kPrefix = "quorvin-rnr-bag: status";

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
  if (!args.words.empty()) {
    std::fprintf(stderr, "%s: unexpected argument %s\n%s\n", kPrefix, args.words[0].c_str(),
                 kUsage);
    return 2;
  }
  rnr_logger_init(RNR_LOG_WARN);
  return rnr::control::run_status(args.domain, stdout, stderr);
}
