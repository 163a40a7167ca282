// Throughput of the binding's raw readers and writers next to Cyclone's own
// typed readers and writers, measured in one run on one domain:
//   typed -> typed   (the reference)
//   typed -> raw     (what the recorder's readers do)
//   raw   -> typed   (what the replayer's writers do)
// Usage: rnr_bench_raw_path [samples] [payload bytes]   (defaults 20000, 1024)
// Run with CYCLONEDDS_URI pointing at config/cyclonedds-loopback.xml.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "middleware/dds_api.h"
#include "peer_common.h"

using rnr::peers::Kind;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kDomain = 48;

struct Counter {
  std::atomic<long> n{0};
  dds_DataSeq* data = dds_DataSeq_create(1000);
  dds_SampleInfoSeq* infos = dds_SampleInfoSeq_create(1000);
  dds_UnsignedLongSeq* sizes = dds_UnsignedLongSeq_create(1000);
  ~Counter() {
    dds_DataSeq_delete(data);
    dds_SampleInfoSeq_delete(infos);
    dds_UnsignedLongSeq_delete(sizes);
  }
  static void on_data(dds_DataReader* r) {
    auto* c = static_cast<Counter*>(dds_Entity_get_context(r, 0));
    if (dds_DataReader_raw_take(r, dds_HANDLE_NIL, c->data, c->infos, c->sizes, 1000,
                                dds_ANY_SAMPLE_STATE, dds_ANY_VIEW_STATE,
                                dds_ANY_INSTANCE_STATE) == dds_RETCODE_OK) {
      c->n += dds_DataSeq_length(c->data);
      dds_DataReader_raw_return_loan(r, c->data, c->infos, c->sizes);
    }
  }
};

double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

dds_Topic* raw_topic(dds_DomainParticipant* p, const char* name) {
  dds_TypeSupport* ts = dds_TypeSupport_raw_create_w_key();
  dds_TypeSupport_register_type(ts, p, rnr::peers::type_name(Kind::keyed));
  dds_TypeSupport_delete(ts);
  return dds_DomainParticipant_create_topic(p, name, rnr::peers::type_name(Kind::keyed), nullptr,
                                            nullptr, 0);
}

}  // namespace

int main(int argc, char** argv) {
  const long count = argc > 1 ? std::atol(argv[1]) : 20000;
  const size_t payload = argc > 2 ? static_cast<size_t>(std::atol(argv[2])) : 1024;
  auto* f = dds_DomainParticipantFactory_get_instance();
  dds_DomainParticipant* p = dds_DomainParticipantFactory_create_participant(
      f, kDomain, &dds_PARTICIPANT_QOS_DEFAULT, nullptr, 0);
  if (p == nullptr) {
    std::fprintf(stderr, "no participant\n");
    return 1;
  }
  dds_Subscriber* sub = dds_DomainParticipant_create_subscriber(p, nullptr, nullptr, 0);
  dds_Publisher* pub = dds_DomainParticipant_create_publisher(p, nullptr, nullptr, 0);

  // typed -> typed
  double typed_typed;
  {
    rnr::peers::TypedReader r(kDomain, {Kind::keyed, "bench_tt"});
    rnr::peers::TypedWriter w(kDomain, {Kind::keyed, "bench_tt"});
    w.wait_for_readers(1, 10000);
    size_t got = 0;
    const auto t0 = Clock::now();
    for (long i = 0; i < count; i++) {
      w.write(static_cast<uint64_t>(i), payload);
      if (i % 256 == 0)
        got += r.take().size();
    }
    got += r.take_until(static_cast<size_t>(count) - got, 30000).size();
    typed_typed = static_cast<double>(got) / seconds_since(t0);
  }
  // typed -> raw
  double typed_raw;
  {
    Counter c;
    dds_DataReader* r =
        dds_Subscriber_create_datareader(sub, raw_topic(p, "bench_tr"), nullptr, nullptr, 0);
    dds_Entity_set_context(r, 0, &c);
    dds_DataReaderListener l{};
    l.on_data_available = &Counter::on_data;
    dds_DataReader_set_listener(r, &l, dds_DATA_AVAILABLE_STATUS);
    rnr::peers::TypedWriter w(kDomain, {Kind::keyed, "bench_tr"});
    w.wait_for_readers(1, 10000);
    const auto t0 = Clock::now();
    for (long i = 0; i < count; i++) {
      w.write(static_cast<uint64_t>(i), payload);
    }
    while (c.n.load() < count && seconds_since(t0) < 30) {
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    typed_raw = static_cast<double>(c.n.load()) / seconds_since(t0);
    dds_Subscriber_delete_datareader(sub, r);
  }
  // raw -> typed
  double raw_typed;
  {
    rnr::peers::TypedReader r(kDomain, {Kind::keyed, "bench_rt"});
    dds_DataWriter* w =
        dds_Publisher_create_datawriter(pub, raw_topic(p, "bench_rt"), nullptr, nullptr, 0);
    r.wait_for_writers(1, 10000);
    std::vector<std::vector<uint8_t>> bytes;
    for (long i = 0; i < 64; i++) {
      bytes.push_back(
          rnr::peers::expected_bytes(Kind::keyed, static_cast<uint64_t>(i), payload, false));
    }
    size_t got = 0;
    const auto t0 = Clock::now();
    for (long i = 0; i < count; i++) {
      const auto& b = bytes[static_cast<size_t>(i) % bytes.size()];
      dds_DataWriter_raw_write(w, b.data(), b.size());
      if (i % 256 == 0)
        got += r.take().size();
    }
    got += r.take_until(static_cast<size_t>(count) - got, 30000).size();
    raw_typed = static_cast<double>(got) / seconds_since(t0);
  }
  dds_DomainParticipantFactory_delete_participant(f, p);

  std::printf("samples %ld, payload %zu bytes\n", count, payload);
  std::printf("typed -> typed : %10.0f samples/s\n", typed_typed);
  std::printf("typed -> raw   : %10.0f samples/s  (ratio to typed -> typed %.2f)\n", typed_raw,
              typed_raw / typed_typed);
  std::printf("raw   -> typed : %10.0f samples/s  (ratio to typed -> typed %.2f)\n", raw_typed,
              raw_typed / typed_typed);
  return 0;
}
