// Helpers shared by the binding's tests: a participant with a publisher and a
// subscriber, a raw reader that collects what its callback takes, and the
// fields of the peers' output lines.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "middleware/dds_api.h"

namespace rnr::test {

// A binding participant (enabled) with one subscriber and one publisher.
struct Participant {
  explicit Participant(int domain) {
    auto* f = dds_DomainParticipantFactory_get_instance();
    dds_DomainParticipantFactoryQos fq{};
    fq.entity_factory.autoenable_created_entities = true;
    dds_DomainParticipantFactory_set_qos(f, &fq);
    p = dds_DomainParticipantFactory_create_participant(f, domain, &dds_PARTICIPANT_QOS_DEFAULT,
                                                        nullptr, 0);
    if (p != nullptr) {
      sub = dds_DomainParticipant_create_subscriber(p, nullptr, nullptr, 0);
      pub = dds_DomainParticipant_create_publisher(p, nullptr, nullptr, 0);
    }
  }
  ~Participant() {
    if (p != nullptr) {
      dds_DomainParticipantFactory_delete_participant(dds_DomainParticipantFactory_get_instance(),
                                                      p);
    }
  }
  dds_Topic* topic(const char* name, const char* type, bool keyed) {
    dds_TypeSupport* ts = keyed ? dds_TypeSupport_raw_create_w_key() : dds_TypeSupport_raw_create();
    dds_TypeSupport_register_type(ts, p, type);
    dds_TypeSupport_delete(ts);
    return dds_DomainParticipant_create_topic(p, name, type, nullptr, nullptr, 0);
  }
  dds_DomainParticipant* p = nullptr;
  dds_Subscriber* sub = nullptr;
  dds_Publisher* pub = nullptr;
};

// Collects every valid sample a raw reader's callback takes.
struct Collector {
  std::mutex mutex;
  std::vector<std::vector<uint8_t>> samples;
  std::atomic<int> calls{0};
  int32_t max_take = 1000;

  size_t count() {
    std::lock_guard<std::mutex> lock(mutex);
    return samples.size();
  }
  std::vector<std::vector<uint8_t>> copy() {
    std::lock_guard<std::mutex> lock(mutex);
    return samples;
  }

  // Takes once from `reader` and stores the valid samples.
  dds_ReturnCode_t take_from(dds_DataReader* reader) {
    dds_DataSeq* data = dds_DataSeq_create(1000);
    dds_SampleInfoSeq* infos = dds_SampleInfoSeq_create(1000);
    dds_UnsignedLongSeq* sizes = dds_UnsignedLongSeq_create(1000);
    const dds_ReturnCode_t rc =
        dds_DataReader_raw_take(reader, dds_HANDLE_NIL, data, infos, sizes, max_take,
                                dds_ANY_SAMPLE_STATE, dds_ANY_VIEW_STATE, dds_ANY_INSTANCE_STATE);
    if (rc == dds_RETCODE_OK) {
      std::lock_guard<std::mutex> lock(mutex);
      calls++;
      for (uint32_t i = 0; i < dds_DataSeq_length(data); i++) {
        const auto* bytes = static_cast<const uint8_t*>(dds_DataSeq_get(data, i));
        if (dds_SampleInfoSeq_get(infos, i)->valid_data && bytes != nullptr) {
          samples.emplace_back(bytes, bytes + dds_UnsignedLongSeq_get(sizes, i));
        }
      }
      dds_DataReader_raw_return_loan(reader, data, infos, sizes);
    }
    dds_DataSeq_delete(data);
    dds_SampleInfoSeq_delete(infos);
    dds_UnsignedLongSeq_delete(sizes);
    return rc;
  }

  static void on_data(dds_DataReader* reader) {
    static_cast<Collector*>(dds_Entity_get_context(reader, 0))->take_from(reader);
  }
  void attach(dds_DataReader* reader) {
    dds_Entity_set_context(reader, 0, this);
    dds_DataReaderListener l{};
    l.on_data_available = &Collector::on_data;
    dds_DataReader_set_listener(reader, &l, dds_DATA_AVAILABLE_STATUS);
  }
};

inline std::vector<std::string> split(const std::string& line, size_t max_fields) {
  std::vector<std::string> out;
  std::istringstream in(line);
  std::string field;
  while (out.size() + 1 < max_fields && in >> field) {
    out.push_back(field);
  }
  std::string rest;
  std::getline(in, rest);
  if (!rest.empty() && rest[0] == ' ')
    rest.erase(0, 1);
  if (!rest.empty())
    out.push_back(rest);
  return out;
}

}  // namespace rnr::test
