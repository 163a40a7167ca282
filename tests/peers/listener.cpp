// rnr_test_listener: receives samples of the test types with typed readers
// and reports each one, so that tests can compare what a raw writer sent with
// what a typed application decodes.
//
// Usage:
//   rnr_test_listener --domain N --topic keyed:NAME|keyless:NAME [--topic ...]
//                     [--count N] [--timeout-ms MS] [--best-effort]
//                     [--transient-local]
//
//   --domain N         DDS domain id (required)
//   --topic KIND:NAME  a topic to read (see rnr_test_talker); repeatable
//   --count N          stop after N samples over all topics (default 0: run
//                      until the timeout)
//   --timeout-ms MS    give up after MS milliseconds (default 10000)
//   --best-effort      best-effort readers (default reliable)
//   --transient-local  transient-local readers (default volatile)
//   QoS options of both peers (see rnr::peers::EndpointOptions):
//   --partition NAME          in this partition (repeatable)
//   --exclusive STRENGTH      exclusive ownership with this strength
//   --latency-budget-ms MS, --deadline-ms MS
//   --manual-liveliness-ms MS manual-by-topic liveliness with this lease
//   --group-ordered           group presentation with ordered access,
//                             by-source destination order
//   --durability-depth N      transient-local: late joiners get the last N
//
// Output, one line each, flushed at once:
//   READY                                       once every reader exists
//   MATCHED <topic>                             once a reader matched a writer
//   SAMPLE <topic> <recv_ns> <key> <hex bytes> <decoded values...>
//     recv_ns: reception time, ns since the Unix epoch; key: the key value of
//     a keyed sample, "-" for keyless; the decoded values fill the rest of
//     the line (see rnr::peers::expected_description)
//   END <samples received>
// Exit status: 0 when --count samples arrived (or no count was given), 1 on
// timeout with fewer, 2 bad arguments, 4 DDS failure.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "peer_common.h"

using rnr::peers::EndpointOptions;
using rnr::peers::TopicArg;
using rnr::peers::TypedReader;

namespace {

bool to_long(const char* text, long* value) {
  if (text == nullptr) {
    return false;
  }
  char* end = nullptr;
  *value = std::strtol(text, &end, 10);
  return end != text && *end == '\0' && *value >= 0;
}

int usage() {
  std::fprintf(stderr,
               "usage: rnr_test_listener --domain N --topic keyed:NAME|keyless:NAME [...] "
               "[--count N] [--timeout-ms MS] [--best-effort] [--transient-local]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  long domain = -1, count = 0, timeout_ms = 10000;
  std::vector<TopicArg> topics;
  EndpointOptions options;
  for (int k = 1; k < argc; k++) {
    const std::string a = argv[k];
    const char* next = k + 1 < argc ? argv[k + 1] : nullptr;
    long* target = nullptr;
    if (a == "--domain")
      target = &domain;
    else if (a == "--count")
      target = &count;
    else if (a == "--timeout-ms")
      target = &timeout_ms;
    if (target != nullptr) {
      if (!to_long(next, target))
        return usage();
      k++;
    } else if (a == "--topic") {
      TopicArg topic_arg;
      if (next == nullptr || !rnr::peers::parse_topic_arg(next, &topic_arg))
        return usage();
      topics.push_back(topic_arg);
      k++;
    } else if (a == "--best-effort") {
      options.reliable = false;
    } else if (a == "--transient-local") {
      options.transient_local = true;
    } else {
      const int used = rnr::peers::parse_endpoint_option(a, next, &options);
      if (used <= 0)
        return usage();
      k += used - 1;
    }
  }
  if (domain < 0 || topics.empty()) {
    return usage();
  }
  std::vector<std::unique_ptr<TypedReader>> readers;
  for (const TopicArg& t : topics) {
    readers.push_back(std::make_unique<TypedReader>(static_cast<int>(domain), t, options));
    if (!readers.back()->ok()) {
      std::fprintf(stderr, "rnr_test_listener: cannot create the reader of %s\n", t.name.c_str());
      return 4;
    }
  }
  std::printf("READY\n");
  std::fflush(stdout);

  std::vector<bool> matched(topics.size(), false);
  long received = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < deadline && (count == 0 || received < count)) {
    bool any = false;
    for (size_t t = 0; t < topics.size(); t++) {
      if (!matched[t] && readers[t]->matched_writers() > 0) {
        matched[t] = true;
        std::printf("MATCHED %s\n", topics[t].name.c_str());
      }
      for (const auto& r : readers[t]->take()) {
        any = true;
        received++;
        std::printf("SAMPLE %s %lld %s %s %s\n", topics[t].name.c_str(),
                    static_cast<long long>(r.reception_ns), r.key.c_str(),
                    rnr::peers::hex(r.bytes.data(), r.bytes.size()).c_str(), r.description.c_str());
      }
    }
    std::fflush(stdout);
    if (!any) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  std::printf("END %ld\n", received);
  std::fflush(stdout);
  return count == 0 || received >= count ? 0 : 1;
}
