// Corpus peer: writes one sample on each corpus topic, transient-local, from
// a process of its own, so that the test learns the types through discovery
// and type lookup only.
//   rnr_corpus_peer <domain id>
// Prints per topic "TOPIC <name> <type information> <sample>" (both in hex:
// what idlc generated, and the sample as its own reader received it
// serialized), then "ready"; ends on SIGTERM or SIGINT.
#include <signal.h>

#include <cstdio>
#include <cstdlib>

#include <dds/ddsi/ddsi_serdata.h>

#include <string>
#include <vector>

#include "corpus_samples.h"

namespace {

std::string hex(const unsigned char* bytes, size_t size) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < size; ++i) {
    out += digits[bytes[i] >> 4];
    out += digits[bytes[i] & 0xf];
  }
  return out;
}

// The sample as `reader` received it, serialized; empty when none came.
std::vector<unsigned char> take_serialized(dds_entity_t reader) {
  std::vector<unsigned char> bytes;
  for (int i = 0; i < 500 && bytes.empty(); ++i) {
    struct ddsi_serdata* data = nullptr;
    dds_sample_info_t info;
    if (dds_takecdr(reader, &data, 1, &info, DDS_ANY_STATE) == 1) {
      bytes.resize(ddsi_serdata_size(data));
      ddsi_serdata_to_ser(data, 0, bytes.size(), bytes.data());
      ddsi_serdata_unref(data);
    } else {
      dds_sleepfor(DDS_MSECS(10));
    }
  }
  return bytes;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: rnr_corpus_peer <domain id>\n");
    return 2;
  }
  const auto domain = static_cast<dds_domainid_t>(atoi(argv[1]));
  const dds_entity_t participant = dds_create_participant(domain, nullptr, nullptr);
  if (participant < 0) {
    fprintf(stderr, "cannot create participant: %s\n", dds_strretcode(participant));
    return 1;
  }
  dds_qos_t* qos = dds_create_qos();
  dds_qset_reliability(qos, DDS_RELIABILITY_RELIABLE, DDS_SECS(1));
  dds_qset_durability(qos, DDS_DURABILITY_TRANSIENT_LOCAL);
  int status = 0;
  for (size_t i = 0; i < rnr::test::kCorpusTopicCount; ++i) {
    const auto& t = rnr::test::kCorpusTopics[i];
    const dds_entity_t topic = dds_create_topic(participant, t.descriptor, t.topic, qos, nullptr);
    const dds_entity_t writer =
        topic < 0 ? topic : dds_create_writer(participant, topic, qos, nullptr);
    const dds_entity_t reader =
        writer < 0 ? writer : dds_create_reader(participant, topic, qos, nullptr);
    if (reader >= 0 && t.sample == nullptr) {
      printf("TOPIC %s %s -\n", t.topic,
             hex(t.descriptor->type_information.data, t.descriptor->type_information.sz).c_str());
      continue;
    }
    const dds_return_t rc = reader < 0 ? reader : dds_write(writer, t.sample());
    const auto bytes = rc < 0 ? std::vector<unsigned char>() : take_serialized(reader);
    if (bytes.empty()) {
      fprintf(stderr, "cannot write on %s: %s\n", t.topic, dds_strretcode(rc));
      status = 1;
      continue;
    }
    const auto& info = t.descriptor->type_information;
    printf("TOPIC %s %s %s\n", t.topic, hex(info.data, info.sz).c_str(),
           hex(bytes.data(), bytes.size()).c_str());
    fflush(stdout);
  }
  dds_delete_qos(qos);
  printf(status == 0 ? "ready\n" : "failed\n");
  fflush(stdout);
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  sigprocmask(SIG_BLOCK, &stop, nullptr);
  int signal_number = 0;
  sigwait(&stop, &signal_number);
  dds_delete(participant);
  return status;
}
