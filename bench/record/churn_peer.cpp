// The publisher of the churn benchmark: WRITERS short-lived writers of
// rnr_test::KeylessSample on TOPICS topics "churn/tNN", CONCURRENT of them
// alive at a time. Each writer is created, waits (up to 1 s) for a reader,
// writes SAMPLES samples, waits for their acknowledgement and is deleted, so
// that writers come and go as nodes of a system that restarts for days would,
// compressed in time. Prints "DONE <n>" every 500 writers and at the end.
//
//   churn_peer DOMAIN WRITERS TOPICS CONCURRENT SAMPLES
#include <dds/dds.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <string>
#include <thread>
#include <vector>

#include "rnr_test_types.h"

namespace {

struct Live {
  dds_entity_t writer;
  std::chrono::steady_clock::time_point created;
  bool written;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: %s DOMAIN WRITERS TOPICS CONCURRENT SAMPLES\n", argv[0]);
    return 2;
  }
  const int domain = std::atoi(argv[1]);
  const int writers = std::atoi(argv[2]);
  const int topics = std::atoi(argv[3]);
  const size_t concurrent = static_cast<size_t>(std::atoi(argv[4]));
  const int samples = std::atoi(argv[5]);
  if (writers <= 0 || topics <= 0 || concurrent == 0 || samples < 0) {
    std::fprintf(stderr, "bad arguments\n");
    return 2;
  }
  const dds_entity_t pp =
      dds_create_participant(static_cast<dds_domainid_t>(domain), nullptr, nullptr);
  if (pp < 0) {
    std::fprintf(stderr, "cannot create participant: %s\n", dds_strretcode(pp));
    return 1;
  }
  std::vector<dds_entity_t> topic(static_cast<size_t>(topics));
  for (int i = 0; i < topics; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "churn/t%02d", i);
    topic[static_cast<size_t>(i)] =
        dds_create_topic(pp, &rnr_test_KeylessSample_desc, name, nullptr, nullptr);
    if (topic[static_cast<size_t>(i)] < 0) {
      std::fprintf(stderr, "cannot create topic %s\n", name);
      return 1;
    }
  }
  dds_qos_t* q = dds_create_qos();
  dds_qset_reliability(q, DDS_RELIABILITY_RELIABLE, DDS_SECS(1));
  std::deque<Live> live;
  int created = 0;
  int done = 0;
  char text[] = "churn";
  rnr_test_KeylessSample s{};
  s.text = text;
  while (done < writers) {
    while (live.size() < concurrent && created < writers) {
      const dds_entity_t w =
          dds_create_writer(pp, topic[static_cast<size_t>(created % topics)], q, nullptr);
      if (w < 0) {
        std::fprintf(stderr, "cannot create writer: %s\n", dds_strretcode(w));
        return 1;
      }
      live.push_back({w, std::chrono::steady_clock::now(), false});
      ++created;
    }
    Live& oldest = live.front();
    dds_publication_matched_status_t st{};
    dds_get_publication_matched_status(oldest.writer, &st);
    const bool late = std::chrono::steady_clock::now() - oldest.created > std::chrono::seconds(1);
    if (st.current_count == 0 && !late) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    for (int k = 0; k < samples; ++k) {
      s.seq = static_cast<unsigned long long>(k);
      dds_write(oldest.writer, &s);
    }
    dds_wait_for_acks(oldest.writer, DDS_MSECS(500));
    dds_delete(oldest.writer);
    live.pop_front();
    ++done;
    if (done % 500 == 0 || done == writers) {
      std::printf("DONE %d\n", done);
      std::fflush(stdout);
    }
  }
  dds_delete_qos(q);
  dds_delete(pp);
  return 0;
}
