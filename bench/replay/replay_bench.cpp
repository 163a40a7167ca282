// Replay timing fidelity and speed, measured by a subscriber in a process of
// its own on loopback.
//
//   replay_bench [seconds-per-rate] [pacing|speed]    (one part alone)
//
// 1. For bags whose samples are exactly 1 ms and 100 us apart, the
//    distribution of |received gap - recorded gap| (p50, p99, max), both from
//    the subscriber's reception times and from the writer's source
//    timestamps; beside it the same figures for two reference pacers writing
//    through a typed Cyclone writer on the same schedule: one sleeping until
//    each deadline (clock_nanosleep, absolute, timer slack 1 ns), one
//    spinning on the clock. They show what the machine allows.
// 2. `play` at rates 0.5, 1 and 4 (the replayer with a rate, as
//    `quorvin-rnr-bag play --rate R` runs it) over a bag of 1 ms gaps: the
//    same figures, with the recorded gaps divided by the rate, beside the
//    spinning reference pacer on that scaled schedule.
// 3. The rate at which a bag of zero gaps is replayed, beside the rate
//    `ddsperf pub` reaches with the same payload size into `ddsperf sub`, in
//    rounds that alternate which of the two goes first; the median of the
//    rounds' ratios. Each publisher runs on one CPU and its subscriber on
//    another, and the replay's subscriber polls (see run_subscriber).
#include <sched.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "middleware/dds_api.h"
#include "log/logger.h"
#include "peer_common.h"
#include "replayer/replayer.h"

namespace {

constexpr const char* kTopic = "rnr_bench_replay";
constexpr const char* kType = "RnrBench";
constexpr uint64_t kBase = 1700000000000000000ull;

// ---------------------------------------------------------------------------
// Subscriber process

struct Received {
  uint64_t recv_ns;
  uint64_t source_ns;
};

std::mutex received_mutex;
std::vector<Received> received;
std::atomic<size_t> received_count{0};

void on_data(dds_DataReader* reader) {
  dds_DataSeq* data = dds_DataSeq_create(256);
  dds_SampleInfoSeq* infos = dds_SampleInfoSeq_create(256);
  dds_UnsignedLongSeq* sizes = dds_UnsignedLongSeq_create(256);
  while (dds_DataReader_raw_take(reader, dds_HANDLE_NIL, data, infos, sizes, 256,
                                 dds_ANY_SAMPLE_STATE, dds_ANY_VIEW_STATE,
                                 dds_ANY_INSTANCE_STATE) == dds_RETCODE_OK) {
    uint64_t now = arch_time();
    uint32_t n = dds_SampleInfoSeq_length(infos);
    {
      std::lock_guard<std::mutex> lock(received_mutex);
      for (uint32_t i = 0; i < n; ++i) {
        const dds_SampleInfo* info = dds_SampleInfoSeq_get(infos, i);
        if (info->valid_data) {
          uint64_t source = static_cast<uint64_t>(info->source_timestamp.sec) * 1000000000u +
                            info->source_timestamp.nanosec;
          received.push_back({now, source});
        }
      }
      received_count = received.size();
    }
    dds_DataReader_raw_return_loan(reader, data, infos, sizes);
  }
  dds_DataSeq_delete(data);
  dds_SampleInfoSeq_delete(infos);
  dds_UnsignedLongSeq_delete(sizes);
}

// `poll`: takes the samples on the main thread, polling, rather than in a
// listener, whose callbacks run on threads of their own woken for nearly
// every sample: at full speed they cost this subscriber a third more CPU per
// sample than `ddsperf sub`, which takes its samples on the receive thread,
// and the rate measured would be this subscriber's. Reception times are only
// as fine as the polling, so the pacing figures keep the listener.
int run_subscriber(int domain, size_t count, int timeout_s, const std::string& out_path,
                   const std::string& topic_name, const std::string& type_name, bool poll) {
  dds_DomainParticipantFactory* factory = dds_DomainParticipantFactory_get_instance();
  dds_DomainParticipant* participant = dds_DomainParticipantFactory_create_participant(
      factory, domain, &dds_PARTICIPANT_QOS_DEFAULT, nullptr, 0);
  if (participant == nullptr) {
    std::fprintf(stderr, "subscriber: no participant\n");
    return 2;
  }
  dds_TypeSupport* type_support = dds_TypeSupport_raw_create();
  dds_TypeSupport_register_type(type_support, participant, type_name.c_str());
  dds_TypeSupport_delete(type_support);
  dds_TopicQos topic_qos{};
  dds_DomainParticipant_get_default_topic_qos(participant, &topic_qos);
  dds_Topic* topic = dds_DomainParticipant_create_topic(participant, topic_name.c_str(),
                                                        type_name.c_str(), &topic_qos, nullptr, 0);
  dds_TopicQos_finalize(&topic_qos);
  dds_SubscriberQos subscriber_qos{};
  dds_DomainParticipant_get_default_subscriber_qos(participant, &subscriber_qos);
  dds_Subscriber* subscriber =
      dds_DomainParticipant_create_subscriber(participant, &subscriber_qos, nullptr, 0);
  dds_SubscriberQos_finalize(&subscriber_qos);
  dds_DataReaderQos reader_qos{};
  dds_Subscriber_get_default_datareader_qos(subscriber, &reader_qos);
  dds_DataReader* reader =
      dds_Subscriber_create_datareader(subscriber, topic, &reader_qos, nullptr, 0);
  dds_DataReaderQos_finalize(&reader_qos);
  if (reader == nullptr) {
    std::fprintf(stderr, "subscriber: no reader\n");
    return 2;
  }
  received.reserve(count);
  dds_DataReaderListener listener{};
  listener.on_data_available = on_data;
  if (!poll) {
    dds_DataReader_set_listener(reader, &listener, dds_DATA_AVAILABLE_STATUS);
  }
  dds_DataReader_enable(reader);
  std::ofstream(out_path + ".ready") << "ready\n";

  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
  while (received_count.load() < count && std::chrono::steady_clock::now() < deadline) {
    if (poll) {
      const size_t before = received_count.load();
      on_data(reader);
      if (received_count.load() == before) {
        std::this_thread::sleep_for(std::chrono::microseconds(100));
      }
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  dds_DataReader_set_listener(reader, nullptr, 0);
  {
    std::lock_guard<std::mutex> lock(received_mutex);
    std::ofstream out(out_path);
    for (const Received& r : received) {
      out << r.recv_ns << ' ' << r.source_ns << '\n';
    }
  }
  dds_DomainParticipantFactory_delete_participant(factory, participant);
  return 0;
}

// ---------------------------------------------------------------------------
// Driver

std::string self_path;
std::string scratch;

void write_bag(const std::string& path, size_t count, uint64_t gap_ns, size_t payload) {
  std::filesystem::remove(path);
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  sqlite3_exec(db,
               "CREATE TABLE topics (  _id INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL,  topic_name "
               "VARCHAR(255),  type_name VARCHAR(255),  metastring TEXT,  is_with_key INTEGER,  "
               "UNIQUE (topic_name, type_name));"
               "CREATE TABLE writers (  _id INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL,  guid "
               "VARCHAR(36),  UNIQUE (guid));"
               "CREATE TABLE data (  _id INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL,  topic_id "
               "INTEGER,  timestamp TIMESTAMP DEFAULT CURRENT_TIMESTAMP NOT NULL,  serialized_data "
               "BLOB,  FOREIGN KEY (topic_id) REFERENCES topics(_id));"
               "INSERT INTO topics(topic_name, type_name, metastring, is_with_key) VALUES "
               "('rnr_bench_replay', 'RnrBench', 'struct RnrBench { sequence<octet> b; };', 0);"
               "BEGIN;",
               nullptr, nullptr, nullptr);
  std::vector<uint8_t> bytes(4 + payload, 0xab);
  bytes[0] = 0x00;
  bytes[1] = 0x01;
  bytes[2] = 0x00;
  bytes[3] = 0x00;
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO data(topic_id, timestamp, serialized_data) VALUES(1, ?, ?)",
                     -1, &stmt, nullptr);
  for (size_t i = 0; i < count; ++i) {
    sqlite3_reset(stmt);
    sqlite3_bind_int64(stmt, 1, static_cast<sqlite3_int64>(kBase + i * gap_ns));
    sqlite3_bind_blob(stmt, 2, bytes.data(), static_cast<int>(bytes.size()), SQLITE_STATIC);
    sqlite3_step(stmt);
  }
  sqlite3_finalize(stmt);
  sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr);
  sqlite3_close(db);
}

// Where the zero-gap rates run: the publisher (the replayer with its
// participant's threads, or ddsperf pub) on one CPU and its subscriber on
// another. Left to the scheduler, a 2-core machine places the half dozen
// busy threads of both processes differently from run to run, and a round's
// rate moved by half; pinned, both publishers get the same core and both
// subscribers the other. -1: fewer than two CPUs, nothing is pinned.
cpu_set_t allowed_cpus;
int publisher_cpu = -1;
int subscriber_cpu = -1;
int child_cpu = -1;  // the CPU that spawn() pins its child to, -1 none

void find_cpus() {
  CPU_ZERO(&allowed_cpus);
  if (sched_getaffinity(0, sizeof allowed_cpus, &allowed_cpus) != 0) {
    return;
  }
  std::vector<int> cpus;
  for (int cpu = 0; cpu < CPU_SETSIZE && cpus.size() < 2; ++cpu) {
    if (CPU_ISSET(cpu, &allowed_cpus)) {
      cpus.push_back(cpu);
    }
  }
  if (cpus.size() == 2) {
    publisher_cpu = cpus[0];
    subscriber_cpu = cpus[1];
  }
}

// Pins the calling thread (and the threads it starts) to `cpu`, or gives it
// back every CPU it was allowed at the start when `cpu` is -1.
void pin_self(int cpu) {
  if (publisher_cpu < 0) {
    return;
  }
  cpu_set_t set = allowed_cpus;
  if (cpu >= 0) {
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
  }
  sched_setaffinity(0, sizeof set, &set);
}

pid_t spawn(const std::vector<std::string>& argv, const std::string& out_path) {
  std::fflush(stdout);
  pid_t pid = fork();
  if (pid == 0) {
    if (child_cpu >= 0) {
      pin_self(child_cpu);
    }
    FILE* out = std::freopen(out_path.c_str(), "w", stdout);
    (void)out;
    std::vector<char*> args;
    for (const std::string& a : argv) {
      args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  return pid;
}

bool wait_for_file(const std::string& path, int timeout_ms) {
  for (int waited = 0; waited < timeout_ms; waited += 10) {
    if (std::filesystem::exists(path)) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

std::atomic<bool> replay_done{false};
void on_finished(rnr_replayer* /*replayer*/) {
  replay_done = true;
}

// Starts a subscriber process for `count` samples of one topic; false when
// it did not come up.
bool start_subscriber(int domain, size_t count, int timeout_s, const std::string& out,
                      const std::string& topic, const std::string& type, pid_t* child,
                      bool poll = false) {
  std::filesystem::remove(out);
  std::filesystem::remove(out + ".ready");
  *child = spawn({self_path, "--subscribe", std::to_string(domain), std::to_string(count),
                  std::to_string(timeout_s), out, topic, type, poll ? "poll" : "listen"},
                 scratch + "/subscriber.log");
  if (!wait_for_file(out + ".ready", 10000)) {
    std::fprintf(stderr, "subscriber did not start\n");
    kill(*child, SIGKILL);
    waitpid(*child, nullptr, 0);
    return false;
  }
  return true;
}

// Waits for the subscriber to end and reads what it received.
std::vector<Received> collect(pid_t child, const std::string& out) {
  int status = 0;
  waitpid(child, &status, 0);
  std::vector<Received> result;
  std::ifstream in(out);
  Received r{};
  while (in >> r.recv_ns >> r.source_ns) {
    result.push_back(r);
  }
  return result;
}

// Replays `bag` on `domain` to a subscriber process; the subscriber's
// (reception, source) times of every received sample.
std::vector<Received> replay_to_subscriber(const std::string& bag, int domain, size_t count,
                                           int timeout_s,
                                           const rnr_replay_options* options = nullptr,
                                           bool poll = false) {
  std::string out = scratch + "/received-" + std::to_string(domain) + ".txt";
  pid_t child = -1;
  if (!start_subscriber(domain, count, timeout_s, out, kTopic, kType, &child, poll)) {
    return {};
  }
  rnr_replayer* replayer = rnr_replayer_create_with_options(bag.c_str(), domain, options);
  if (replayer == nullptr) {
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    return {};
  }
  replay_done = false;
  rnr_replayer_set_on_replay_finished(replayer, on_finished);
  rnr_replayer_start_replay(replayer);
  while (!replay_done) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::vector<Received> result = collect(child, out);
  rnr_replayer_stop_replay(replayer);
  rnr_replayer_destroy(replayer);
  return result;
}

enum class Pacing { sleep, spin };

// A reference pacer: a typed Cyclone writer (no part of this tool) writing
// `count` samples on the replayer's schedule, each deadline measured from
// the moment before the previous write, reached by an absolute sleep on the
// clock or by spinning on it.
std::vector<Received> reference_to_subscriber(Pacing pacing, int domain, size_t count,
                                              uint64_t gap_ns, int timeout_s) {
  using rnr::peers::Kind;
  const std::string topic = "rnr_bench_reference";
  std::string out = scratch + "/reference-" + std::to_string(domain) + ".txt";
  pid_t child = -1;
  if (!start_subscriber(domain, count, timeout_s, out, topic, rnr::peers::type_name(Kind::keyless),
                        &child)) {
    return {};
  }
  rnr::peers::TypedWriter writer(domain, {Kind::keyless, topic});
  if (!writer.ok() || !writer.wait_for_readers(1, 10000)) {
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    return {};
  }
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  uint64_t prev_write = 0;
  for (size_t i = 0; i < count; ++i) {
    if (prev_write != 0) {
      const uint64_t deadline = prev_write + gap_ns;
      if (pacing == Pacing::sleep) {
        const timespec ts = arch_time_to_timespec(deadline);
        while (clock_nanosleep(CLOCK_REALTIME, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
        }
      } else {
        while (arch_time() < deadline) {
        }
      }
    }
    prev_write = arch_time();
    writer.write(i, 64);
  }
  writer.wait_for_acks(10000);
  return collect(child, out);
}

struct Distribution {
  double p50_us, p99_us, max_us;
};

Distribution distribution(std::vector<double> errors_ns) {
  if (errors_ns.empty()) {
    return {NAN, NAN, NAN};
  }
  std::sort(errors_ns.begin(), errors_ns.end());
  auto at = [&](double q) {
    size_t index = static_cast<size_t>(std::ceil(q * static_cast<double>(errors_ns.size()))) - 1;
    return errors_ns[std::min(index, errors_ns.size() - 1)] / 1000.0;
  };
  return {at(0.50), at(0.99), errors_ns.back() / 1000.0};
}

// Source-timestamp gap errors (p50, p99) of one run, or NAN when nothing
// arrived; prints one line.
Distribution report(const char* label, int rate_hz, size_t count, uint64_t gap_ns,
                    const std::vector<Received>& got) {
  std::vector<double> recv_errors;
  std::vector<double> source_errors;
  for (size_t i = 1; i < got.size(); ++i) {
    double recv_gap = static_cast<double>(got[i].recv_ns) - static_cast<double>(got[i - 1].recv_ns);
    double source_gap =
        static_cast<double>(got[i].source_ns) - static_cast<double>(got[i - 1].source_ns);
    recv_errors.push_back(std::fabs(recv_gap - static_cast<double>(gap_ns)));
    source_errors.push_back(std::fabs(source_gap - static_cast<double>(gap_ns)));
  }
  Distribution r = distribution(recv_errors);
  Distribution s = distribution(source_errors);
  std::printf(
      "%-10s %6d Hz  %6zu samples  received %6zu | reception gap error us: p50 %8.1f  p99 %8.1f  "
      "max %9.1f | source gap error us: p50 %7.1f  p99 %8.1f  max %9.1f\n",
      label, rate_hz, count, got.size(), r.p50_us, r.p99_us, r.max_us, s.p50_us, s.p99_us,
      s.max_us);
  std::printf("RESULT pacing %s %d p50_us %.2f p99_us %.2f\n", label, rate_hz, s.p50_us, s.p99_us);
  std::fflush(stdout);
  return s;
}

// The replayer and the two reference pacers on the same schedule.
void fidelity(int rate_hz, int domain, double seconds) {
  const uint64_t gap_ns = 1000000000ull / static_cast<uint64_t>(rate_hz);
  const size_t count = static_cast<size_t>(rate_hz * seconds);
  std::string bag = scratch + "/fidelity-" + std::to_string(rate_hz) + ".sqlite3";
  write_bag(bag, count, gap_ns, 64);
  const int timeout = static_cast<int>(seconds) + 15;
  report("replay", rate_hz, count, gap_ns, replay_to_subscriber(bag, domain, count, timeout));
  report("ref-sleep", rate_hz, count, gap_ns,
         reference_to_subscriber(Pacing::sleep, domain + 5, count, gap_ns, timeout));
  report("ref-spin", rate_hz, count, gap_ns,
         reference_to_subscriber(Pacing::spin, domain + 10, count, gap_ns, timeout));
}

// `play` at `rate` over a bag recorded at 1 kHz, beside the spinning
// reference pacer on the scaled schedule; about `seconds` each.
void play_fidelity(double rate, int domain, int reference_domain, double seconds) {
  const uint64_t recorded_gap_ns = 1000000;
  const auto played_gap_ns = static_cast<uint64_t>(static_cast<double>(recorded_gap_ns) / rate);
  const size_t count = static_cast<size_t>(1000.0 * rate * seconds);
  std::string bag = scratch + "/play-" + std::to_string(domain) + ".sqlite3";
  write_bag(bag, count, recorded_gap_ns, 64);
  const int timeout = static_cast<int>(seconds) + 15;
  rnr_replay_options options;
  options.rate = rate;
  char label[32];
  std::snprintf(label, sizeof label, "play-x%g", rate);
  const int hz = static_cast<int>(1e9 / static_cast<double>(played_gap_ns));
  Distribution ours = report(label, hz, count, played_gap_ns,
                             replay_to_subscriber(bag, domain, count, timeout, &options));
  std::snprintf(label, sizeof label, "ref-spin-x%g", rate);
  Distribution ref = report(
      label, hz, count, played_gap_ns,
      reference_to_subscriber(Pacing::spin, reference_domain, count, played_gap_ns, timeout));
  std::printf("play x%g vs ref-spin: p50 ratio %.2f  p99 ratio %.2f\n", rate,
              ours.p50_us / ref.p50_us, ours.p99_us / ref.p99_us);
  std::fflush(stdout);
}

// Mean of ddsperf's per-second subscriber rates while the publisher ran.
double ddsperf_rate(int domain, size_t payload, int seconds) {
  std::string sub_out = scratch + "/ddsperf-sub.txt";
  std::string dom = std::to_string(domain);
  child_cpu = subscriber_cpu;
  pid_t sub = spawn({"ddsperf", "-i", dom, "-D", std::to_string(seconds + 2), "sub"}, sub_out);
  child_cpu = publisher_cpu;
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  pid_t pub = spawn(
      {"ddsperf", "-i", dom, "-D", std::to_string(seconds), "pub", "size", std::to_string(payload)},
      scratch + "/ddsperf-pub.txt");
  child_cpu = -1;
  waitpid(pub, nullptr, 0);
  kill(sub, SIGINT);
  waitpid(sub, nullptr, 0);
  std::ifstream in(sub_out);
  std::string line;
  std::vector<double> rates;
  while (std::getline(in, line)) {
    const char* rate = std::strstr(line.c_str(), " rate ");
    const char* delta = std::strstr(line.c_str(), " delta ");
    if (rate != nullptr && delta != nullptr && std::atol(delta + 7) > 0) {
      rates.push_back(std::atof(rate + 6) * 1000.0);  // kS/s
    }
  }
  // The first and last intervals are partial (start-up and the publisher leaving).
  if (rates.size() > 2) {
    rates.erase(rates.begin());
    rates.pop_back();
  }
  double sum = 0;
  for (double r : rates) {
    sum += r;
  }
  return rates.empty() ? 0.0 : sum / static_cast<double>(rates.size());
}

double replay_rate(const std::string& bag, int domain, size_t count) {
  // The replayer's participant and thread are created on this thread, and
  // take its CPU.
  pin_self(publisher_cpu);
  child_cpu = subscriber_cpu;
  std::vector<Received> got = replay_to_subscriber(bag, domain, count, 60, nullptr, true);
  child_cpu = -1;
  pin_self(-1);
  if (got.size() < 2 || got.back().recv_ns <= got.front().recv_ns) {
    return 0.0;
  }
  return static_cast<double>(got.size() - 1) * 1e9 /
         static_cast<double>(got.back().recv_ns - got.front().recv_ns);
}

void speed(int domain, size_t payload, size_t count, int rounds) {
  std::string bag = scratch + "/zero-gap.sqlite3";
  write_bag(bag, count, 0, payload);
  std::printf(
      "zero-gap replay of %zu samples of %zu payload bytes; ddsperf pub size %zu (KS "
      "topic, reliable) for 3 s\n",
      count, payload, payload);
  struct Round {
    double replay = 0;
    double ddsperf = 0;
    double ratio() const { return ddsperf > 0 ? replay / ddsperf : 0.0; }
  };
  std::vector<Round> done;
  for (int round = 0; round < rounds; ++round) {
    Round r;
    for (int turn = 0; turn < 2; ++turn) {
      // Six domains in turn: each run's processes are gone before its
      // domain comes round again.
      const int on = domain + (2 * round + turn) % 6;
      if ((turn == 0) == (round % 2 == 0)) {
        r.replay = replay_rate(bag, on, count);
      } else {
        r.ddsperf = ddsperf_rate(on, payload, 3);
      }
    }
    done.push_back(r);
    std::printf("round %d (%s first): replay %.0f samples/s, ddsperf pub %.0f samples/s, %.3f\n",
                round + 1, round % 2 == 0 ? "replay" : "ddsperf", r.replay, r.ddsperf, r.ratio());
  }
  // The round of the median ratio gives the figures: each round's two rates
  // were taken side by side.
  std::sort(done.begin(), done.end(),
            [](const Round& a, const Round& b) { return a.ratio() < b.ratio(); });
  const Round median = done.empty() ? Round{} : done[done.size() / 2];
  std::printf(
      "ratio replay / ddsperf pub: %.3f (the median of %d rounds)\n"
      "RESULT speed replay %.0f ddsperf %.0f\n",
      median.ratio(), rounds, median.replay, median.ddsperf);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  // Every participant of the benchmark, its children and ddsperf stays on
  // loopback.
  setenv("CYCLONEDDS_URI", RNR_CYCLONEDDS_URI, 1);
  if (argc == 9 && std::strcmp(argv[1], "--subscribe") == 0) {
    return run_subscriber(std::atoi(argv[2]), std::strtoul(argv[3], nullptr, 10),
                          std::atoi(argv[4]), argv[5], argv[6], argv[7],
                          std::strcmp(argv[8], "poll") == 0);
  }
  double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
  if (seconds <= 0) {
    seconds = 3.0;
  }
  self_path = std::filesystem::canonical("/proc/self/exe").string();
  char pattern[] = "/tmp/rnr-replay-bench-XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    return 1;
  }
  scratch = pattern;
  rnr_logger_init(RNR_LOG_WARN);
  find_cpus();

  // A second argument picks one part: "pacing" (1 and 2) or "speed" (3).
  const bool speed_only = argc > 2 && std::strcmp(argv[2], "speed") == 0;
  const bool pacing_only = argc > 2 && std::strcmp(argv[2], "pacing") == 0;
  if (!speed_only) {
    std::printf("replay timing fidelity (|received gap - recorded gap|), %.1f s per rate\n",
                seconds);
    fidelity(1000, 200, seconds);
    fidelity(10000, 201, seconds);
    std::printf("\nplay at a rate (gaps of 1 ms divided by the rate)\n");
    play_fidelity(0.5, 212, 207, seconds);
    play_fidelity(1.0, 213, 208, seconds);
    play_fidelity(4.0, 214, 209, seconds);
  }
  if (!pacing_only) {
    std::printf("\nreplay speed\n");
    speed(215, 64, 1000000, 5);
  }

  std::error_code ignored;
  std::filesystem::remove_all(scratch, ignored);
  return 0;
}
