#include <cstdio>

#include "bagtool/commands.h"

namespace rnr::bagtool {

int report_failure(const std::string& text) {
  std::fprintf(stderr, "quorvin-rnr-bag: %s\n", text.c_str());
  return 1;
}

void report_warning(const std::string& text) {
  std::fprintf(stderr, "quorvin-rnr-bag: %s\n", text.c_str());
}

}  // namespace rnr::bagtool
