// The two Cyclone DDS sides of the scale benchmark, each one process:
//
//   scale_peer pub DOMAIN TOPICS SAMPLES
//     creates TOPICS reliable keep-all writers of rnr_test::KeylessSample on
//     "scale/tNNNNN" and writes SAMPLES samples on each as soon as the writer
//     matched a reader; prints "START <ns>" (wall clock, just before the first
//     writer is announced), then "WRITTEN <samples>" once every sample was
//     acknowledged (exit 0), or exits 1 after TIMEOUT_S (default 600).
//   scale_peer sub DOMAIN TOPICS SAMPLES
//     the bare subscriber: one reliable keep-all reader per topic that takes
//     in Cyclone's listener; once every sample arrived (or after the timeout)
//     prints "LAST_FIRST_NS <ns>" (wall clock of the last topic's first
//     sample), "SAMPLES <n>", "THREADS <n>", "RSS_KB <n>" and "HWM_KB <n>"
//     (peak RSS).
// A Cyclone DDS 0.10 participant refuses the 8192nd reader or writer created
// directly on it, each on a topic of its own (Bad Parameter), so each side
// puts 8000 topics on one participant and takes another one for more.
#include <dds/dds.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "rnr_test_types.h"

namespace {

int64_t wall_ns() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

constexpr int kTopicsPerParticipant = 8000;

// The participant of topic i: a new one for every kTopicsPerParticipant.
dds_entity_t participant_for(int domain, int i, std::vector<dds_entity_t>& participants) {
  if (i % kTopicsPerParticipant == 0) {
    participants.push_back(
        dds_create_participant(static_cast<dds_domainid_t>(domain), nullptr, nullptr));
  }
  return participants.back();
}

std::string topic_name(int i) {
  char name[32];
  std::snprintf(name, sizeof name, "scale/t%05d", i);
  return name;
}

long status_kb(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const size_t n = std::strlen(field);
  while (std::getline(in, line)) {
    if (line.compare(0, n, field) == 0 && line.size() > n && line[n] == ':') {
      return std::strtol(line.c_str() + n + 1, nullptr, 10);
    }
  }
  return -1;
}

size_t threads() {
  size_t n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/task")) {
    ++n;
  }
  return n;
}

dds_qos_t* reliable_keep_all() {
  dds_qos_t* q = dds_create_qos();
  dds_qset_reliability(q, DDS_RELIABILITY_RELIABLE, DDS_SECS(10));
  dds_qset_history(q, DDS_HISTORY_KEEP_ALL, 0);
  return q;
}

// --- pub ---

std::mutex matched_mutex;
std::deque<int> matched;  // writers that matched a reader, by index

void on_matched(dds_entity_t, const dds_publication_matched_status_t status, void* arg) {
  if (status.current_count_change > 0 && status.current_count == 1) {
    std::lock_guard<std::mutex> lock(matched_mutex);
    matched.push_back(static_cast<int>(reinterpret_cast<intptr_t>(arg)));
  }
}

int run_pub(int domain, std::vector<dds_entity_t>& pps, int topics, int samples, int timeout_s) {
  dds_qos_t* q = reliable_keep_all();
  std::vector<dds_entity_t> writers(topics);
  std::printf("START %lld\n", static_cast<long long>(wall_ns()));
  std::fflush(stdout);
  for (int i = 0; i < topics; ++i) {
    const dds_entity_t pp = participant_for(domain, i, pps);
    if (pp < 0) {
      std::fprintf(stderr, "cannot create participant: %s\n", dds_strretcode(pp));
      return 1;
    }
    const dds_entity_t t =
        dds_create_topic(pp, &rnr_test_KeylessSample_desc, topic_name(i).c_str(), nullptr, nullptr);
    if (t < 0) {
      std::fprintf(stderr, "cannot create topic %d: %s\n", i, dds_strretcode(t));
      return 1;
    }
    dds_listener_t* l = dds_create_listener(reinterpret_cast<void*>(static_cast<intptr_t>(i)));
    dds_lset_publication_matched(l, on_matched);
    writers[i] = dds_create_writer(pp, t, q, l);
    dds_delete_listener(l);
    if (writers[i] < 0) {
      std::fprintf(stderr, "cannot create writer %d: %s\n", i, dds_strretcode(writers[i]));
      return 1;
    }
  }
  dds_delete_qos(q);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
  std::vector<bool> done(topics, false);
  int written_topics = 0;
  long written = 0;
  rnr_test_KeylessSample s{};
  char text[] = "scale";
  s.text = text;
  while (written_topics < topics) {
    std::vector<int> ready;
    {
      std::lock_guard<std::mutex> lock(matched_mutex);
      ready.assign(matched.begin(), matched.end());
      matched.clear();
    }
    for (int i : ready) {
      if (done[i]) {
        continue;
      }
      done[i] = true;
      ++written_topics;
      for (int k = 0; k < samples; ++k) {
        s.seq = static_cast<uint64_t>(k);
        if (dds_write(writers[i], &s) == DDS_RETCODE_OK) {
          ++written;
        }
      }
    }
    if (ready.empty()) {
      if (std::chrono::steady_clock::now() > deadline) {
        std::fprintf(stderr, "only %d of %d writers matched a reader\n", written_topics, topics);
        return 1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  for (dds_entity_t w : writers) {
    dds_wait_for_acks(w, DDS_SECS(60));
  }
  std::printf("WRITTEN %ld\n", written);
  std::fflush(stdout);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  return 0;
}

// --- sub ---

struct TopicState {
  std::atomic<int64_t> first_ns{0};
};
std::vector<TopicState>* topic_states = nullptr;
std::atomic<long> received{0};

void on_data(dds_entity_t reader, void* arg) {
  auto& state = (*topic_states)[static_cast<size_t>(reinterpret_cast<intptr_t>(arg))];
  void* buf[16] = {};
  dds_sample_info_t info[16];
  int n;
  while ((n = dds_take(reader, buf, info, 16, 16)) > 0) {
    int valid = 0;
    for (int k = 0; k < n; ++k) {
      valid += info[k].valid_data ? 1 : 0;
    }
    if (valid > 0) {
      int64_t expected = 0;
      state.first_ns.compare_exchange_strong(expected, wall_ns());
      received += valid;
    }
    dds_return_loan(reader, buf, n);
  }
}

int run_sub(int domain, std::vector<dds_entity_t>& pps, int topics, int samples, int timeout_s) {
  std::vector<TopicState> states(topics);
  topic_states = &states;
  dds_qos_t* q = reliable_keep_all();
  for (int i = 0; i < topics; ++i) {
    const dds_entity_t pp = participant_for(domain, i, pps);
    if (pp < 0) {
      std::fprintf(stderr, "cannot create participant: %s\n", dds_strretcode(pp));
      return 1;
    }
    const dds_entity_t t =
        dds_create_topic(pp, &rnr_test_KeylessSample_desc, topic_name(i).c_str(), nullptr, nullptr);
    dds_listener_t* l = dds_create_listener(reinterpret_cast<void*>(static_cast<intptr_t>(i)));
    dds_lset_data_available(l, on_data);
    const dds_entity_t r = dds_create_reader(pp, t, q, l);
    dds_delete_listener(l);
    if (r < 0) {
      std::fprintf(stderr, "cannot create reader %d: %s\n", i, dds_strretcode(r));
      return 1;
    }
  }
  dds_delete_qos(q);
  std::printf("READY\n");
  std::fflush(stdout);
  const long expected = static_cast<long>(topics) * samples;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
  while (received.load() < expected && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  int64_t last_first = 0;
  for (const auto& s : states) {
    last_first = std::max(last_first, s.first_ns.load());
  }
  std::printf("LAST_FIRST_NS %lld\nSAMPLES %ld\nTHREADS %zu\nRSS_KB %ld\nHWM_KB %ld\n",
              static_cast<long long>(last_first), received.load(), threads(), status_kb("VmRSS"),
              status_kb("VmHWM"));
  std::fflush(stdout);
  return received.load() == expected ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5 || (std::strcmp(argv[1], "pub") != 0 && std::strcmp(argv[1], "sub") != 0)) {
    std::fprintf(stderr, "usage: %s pub|sub DOMAIN TOPICS SAMPLES\n", argv[0]);
    return 2;
  }
  const int domain = std::atoi(argv[2]);
  const int topics = std::atoi(argv[3]);
  const int samples = std::atoi(argv[4]);
  const char* timeout_env = std::getenv("TIMEOUT_S");
  const int timeout_s = timeout_env != nullptr ? std::atoi(timeout_env) : 600;
  std::vector<dds_entity_t> participants;
  const int rc = argv[1][0] == 'p' ? run_pub(domain, participants, topics, samples, timeout_s)
                                   : run_sub(domain, participants, topics, samples, timeout_s);
  for (dds_entity_t pp : participants) {
    dds_delete(pp);
  }
  return rc;
}
