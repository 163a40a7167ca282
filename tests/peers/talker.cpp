// rnr_test_talker: publishes samples of the test types so that tests can
// record them and compare what arrives with what was sent.
//
// Usage:
//   rnr_test_talker --domain N --topic keyed:NAME|keyless:NAME [--topic ...]
//                   [--count N] [--rate HZ] [--payload BYTES]
//                   [--wait-readers N] [--wait-timeout-ms MS]
//                   [--transient-local] [--best-effort] [--xcdr2] [--linger-ms MS]
//
//   --domain N           DDS domain id (required)
//   --topic KIND:NAME    a topic to publish on: keyed (rnr_test::KeyedSample,
//                        XCDR1 unless --xcdr2) or keyless
//                        (rnr_test::KeylessSample, appendable, XCDR2); repeatable
//   --count N            samples per topic (default 10); sample i of every
//                        topic is written in turn, i = F .. F+N-1
//   --first F            the first sample's index (default 0)
//   --settle-ms MS       once the readers matched, wait this long before the
//                        first sample (default 0): a reader side may match a
//                        moment after the writer side, too late for a
//                        best-effort sample
//   --rate HZ            rounds of samples per second (default 10; 0: no pause)
//   --payload BYTES      size of each sample's octet payload (default 16; above
//                        65536 the samples are fragmented)
//   --wait-readers N     before publishing, wait until every writer matched at
//                        least N readers (default 0)
//   --wait-timeout-ms MS how long to wait for readers (default 10000); exit 3
//                        when they do not come
//   --transient-local    writers keep their samples for late joiners
//   --best-effort        best-effort writers (default reliable)
//   --xcdr2              write every topic in XCDR2
//   --linger-ms MS       after the last sample, wait for acknowledgements and
//                        then this long before leaving (default 500)
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
//   WRITER <topic> <guid>                 per writer, before any sample
//   SAMPLE <topic> <i> <guid> <hex bytes> per written sample: the serialized
//                                         bytes, encapsulation header first
//   DONE <samples written>
// The GUID is in the 35-character form "xxxxxxxx xxxxxxxx xxxxxxxx xxxxxxxx".
// Exit status: 0 success, 2 bad arguments, 3 readers missing, 4 DDS failure.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "peer_common.h"

using rnr::peers::EndpointOptions;
using rnr::peers::TopicArg;
using rnr::peers::TypedWriter;

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
               "usage: rnr_test_talker --domain N --topic keyed:NAME|keyless:NAME [...] "
               "[--count N] [--rate HZ] [--payload BYTES] [--wait-readers N] "
               "[--wait-timeout-ms MS] [--transient-local] [--best-effort] [--xcdr2] "
               "[--linger-ms MS]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  long domain = -1, count = 10, rate = 10, payload = 16, wait_readers = 0, wait_ms = 10000,
       linger_ms = 500, first = 0, settle_ms = 0;
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
    else if (a == "--rate")
      target = &rate;
    else if (a == "--payload")
      target = &payload;
    else if (a == "--first")
      target = &first;
    else if (a == "--settle-ms")
      target = &settle_ms;
    else if (a == "--wait-readers")
      target = &wait_readers;
    else if (a == "--wait-timeout-ms")
      target = &wait_ms;
    else if (a == "--linger-ms")
      target = &linger_ms;
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
    } else if (a == "--transient-local") {
      options.transient_local = true;
    } else if (a == "--best-effort") {
      options.reliable = false;
    } else if (a == "--xcdr2") {
      options.xcdr2 = true;
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

  std::vector<std::unique_ptr<TypedWriter>> writers;
  for (const TopicArg& t : topics) {
    writers.push_back(std::make_unique<TypedWriter>(static_cast<int>(domain), t, options));
    if (!writers.back()->ok()) {
      std::fprintf(stderr, "rnr_test_talker: cannot create the writer of %s\n", t.name.c_str());
      return 4;
    }
    std::printf("WRITER %s %s\n", t.name.c_str(), writers.back()->guid_text().c_str());
  }
  std::fflush(stdout);
  for (auto& w : writers) {
    if (!w->wait_for_readers(static_cast<uint32_t>(wait_readers), static_cast<int>(wait_ms))) {
      std::fprintf(stderr, "rnr_test_talker: readers did not match in time\n");
      return 3;
    }
  }

  std::this_thread::sleep_for(std::chrono::milliseconds(settle_ms));
  long written = 0;
  const auto period =
      rate > 0 ? std::chrono::nanoseconds(1000000000L / rate) : std::chrono::nanoseconds(0);
  auto next_round = std::chrono::steady_clock::now();
  for (long i = first; i < first + count; i++) {
    for (size_t t = 0; t < topics.size(); t++) {
      const bool xcdr2 = options.xcdr2 || rnr::peers::default_xcdr2(topics[t].kind);
      const std::vector<uint8_t> bytes = rnr::peers::expected_bytes(
          topics[t].kind, static_cast<uint64_t>(i), static_cast<size_t>(payload), xcdr2);
      if (!writers[t]->write(static_cast<uint64_t>(i), static_cast<size_t>(payload))) {
        std::fprintf(stderr, "rnr_test_talker: write %ld on %s failed\n", i,
                     topics[t].name.c_str());
        return 4;
      }
      written++;
      std::printf("SAMPLE %s %ld %s %s\n", topics[t].name.c_str(), i,
                  writers[t]->guid_text().c_str(),
                  rnr::peers::hex(bytes.data(), bytes.size()).c_str());
      std::fflush(stdout);
    }
    if (rate > 0) {
      next_round += period;
      std::this_thread::sleep_until(next_round);
    }
  }
  for (auto& w : writers) {
    (void)w->wait_for_acks(5000);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(linger_ms));
  std::printf("DONE %ld\n", written);
  std::fflush(stdout);
  return 0;
}
