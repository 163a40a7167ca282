#include <chrono>
#include <utility>

#include "control/control_internal.h"
#include "control/messages.h"

namespace rnr::control::internal {
namespace {

constexpr int32_t kTakeMax = 256;

struct TopicInfo {
  const char* name;
  const char* type;
  bool keyed;
  bool latched;  // transient-local, KEEP_LAST 1 on the writer's side
};

TopicInfo info(Topic topic) {
  switch (topic) {
    case Topic::command:
      return {kCommandTopic, kCommandType, false, false};
    case Topic::ack:
      return {kAckTopic, kAckType, false, false};
    case Topic::status:
      return {kStatusTopic, kStatusType, true, true};
  }
  return {kCommandTopic, kCommandType, false, false};
}

}  // namespace

bool Inbox::attach(dds_DataReader* reader) {
  reader_ = reader;
  dds_Entity_set_context(reader, 0, this);
  dds_DataReaderListener listener{};
  listener.on_data_available = &Inbox::on_data_available;
  return dds_DataReader_set_listener(reader, &listener, dds_DATA_AVAILABLE_STATUS) ==
         dds_RETCODE_OK;
}

void Inbox::on_data_available(dds_DataReader* reader) {
  static_cast<Inbox*>(dds_Entity_get_context(reader, 0))->take(reader);
}

void Inbox::take(dds_DataReader* reader) {
  std::lock_guard<std::mutex> take_lock(take_mutex_);
  dds_DataSeq* data = dds_DataSeq_create(kTakeMax);
  dds_SampleInfoSeq* infos = dds_SampleInfoSeq_create(kTakeMax);
  dds_UnsignedLongSeq* sizes = dds_UnsignedLongSeq_create(kTakeMax);
  bool any = false;
  while (data != nullptr && infos != nullptr && sizes != nullptr &&
         dds_DataReader_raw_take(reader, dds_HANDLE_NIL, data, infos, sizes, kTakeMax,
                                 dds_ANY_SAMPLE_STATE, dds_ANY_VIEW_STATE,
                                 dds_ANY_INSTANCE_STATE) == dds_RETCODE_OK) {
    const uint32_t n = dds_DataSeq_length(data);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (uint32_t i = 0; i < n; ++i) {
        const auto* bytes = static_cast<const uint8_t*>(dds_DataSeq_get(data, i));
        if (bytes == nullptr || !dds_SampleInfoSeq_get(infos, i)->valid_data) {
          continue;
        }
        samples_.emplace_back(bytes, bytes + dds_UnsignedLongSeq_get(sizes, i));
        if (samples_.size() > limit_) {
          samples_.pop_front();
        }
        any = true;
      }
    }
    dds_DataReader_raw_return_loan(reader, data, infos, sizes);
    if (n < static_cast<uint32_t>(kTakeMax)) {
      break;
    }
  }
  dds_DataSeq_delete(data);
  dds_SampleInfoSeq_delete(infos);
  dds_UnsignedLongSeq_delete(sizes);
  if (any) {
    cv_.notify_all();
  }
}

bool Inbox::wait(uint64_t timeout_ns) {
  if (reader_ != nullptr) {
    take(reader_);
  }
  std::unique_lock<std::mutex> lock(mutex_);
  cv_.wait_for(lock, std::chrono::nanoseconds(timeout_ns),
               [this] { return !samples_.empty() || woken_; });
  woken_ = false;
  return !samples_.empty();
}

std::vector<std::vector<uint8_t>> Inbox::drain() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::vector<uint8_t>> out(std::make_move_iterator(samples_.begin()),
                                        std::make_move_iterator(samples_.end()));
  samples_.clear();
  return out;
}

void Inbox::wake() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    woken_ = true;
  }
  cv_.notify_all();
}

std::unique_ptr<Domain> Domain::create(int32_t domain_id, std::string* error) {
  std::unique_ptr<Domain> domain(new Domain());
  dds_DomainParticipantFactory* factory = dds_DomainParticipantFactory_get_instance();
  dds_DomainParticipantQos participant_qos{};
  dds_DomainParticipantFactory_get_default_participant_qos(factory, &participant_qos);
  domain->participant_ = dds_DomainParticipantFactory_create_participant(
      factory, domain_id, &participant_qos, nullptr, 0);
  dds_DomainParticipantQos_finalize(&participant_qos);
  if (domain->participant_ == nullptr ||
      dds_DomainParticipant_enable(domain->participant_) != dds_RETCODE_OK) {
    *error = "cannot join DDS domain " + std::to_string(domain_id);
    return nullptr;
  }
  domain->publisher_ =
      dds_DomainParticipant_create_publisher(domain->participant_, nullptr, nullptr, 0);
  domain->subscriber_ =
      dds_DomainParticipant_create_subscriber(domain->participant_, nullptr, nullptr, 0);
  if (domain->publisher_ == nullptr || domain->subscriber_ == nullptr) {
    *error = "cannot create a publisher and a subscriber";
    return nullptr;
  }
  for (const Topic topic : {Topic::command, Topic::ack, Topic::status}) {
    const TopicInfo t = info(topic);
    dds_TypeSupport* type_support =
        t.keyed ? dds_TypeSupport_raw_create_w_key() : dds_TypeSupport_raw_create();
    const dds_ReturnCode_t rc =
        dds_TypeSupport_register_type(type_support, domain->participant_, t.type);
    dds_TypeSupport_delete(type_support);
    dds_TopicQos topic_qos{};
    dds_DomainParticipant_get_default_topic_qos(domain->participant_, &topic_qos);
    dds_Topic* created = rc == dds_RETCODE_OK
                             ? dds_DomainParticipant_create_topic(domain->participant_, t.name,
                                                                  t.type, &topic_qos, nullptr, 0)
                             : nullptr;
    dds_TopicQos_finalize(&topic_qos);
    if (created == nullptr) {
      *error = std::string("cannot create topic ") + t.name;
      return nullptr;
    }
    domain->topics_[static_cast<int>(topic)] = created;
  }
  return domain;
}

Domain::~Domain() {
  leave();
}

void Domain::leave() {
  if (participant_ != nullptr) {
    dds_DomainParticipantFactory_delete_participant(dds_DomainParticipantFactory_get_instance(),
                                                    participant_);
    participant_ = nullptr;
  }
}

dds_DataWriter* Domain::writer(Topic topic, std::string* error) {
  const TopicInfo t = info(topic);
  dds_DataWriterQos qos{};
  dds_Publisher_get_default_datawriter_qos(publisher_, &qos);
  qos.reliability.kind = dds_RELIABLE_RELIABILITY_QOS;
  qos.representation.length = 1;
  qos.representation.value[0] = dds_XCDR_DATA_REPRESENTATION;
  qos.batch.enable = false;
  if (t.latched) {
    qos.durability.kind = dds_TRANSIENT_LOCAL_DURABILITY_QOS;
    qos.history.kind = dds_KEEP_LAST_HISTORY_QOS;
    qos.history.depth = 1;
  } else {
    qos.durability.kind = dds_VOLATILE_DURABILITY_QOS;
    qos.history.kind = dds_KEEP_ALL_HISTORY_QOS;
  }
  dds_DataWriter* writer = dds_Publisher_create_datawriter(
      publisher_, topics_[static_cast<int>(topic)], &qos, nullptr, 0);
  dds_DataWriterQos_finalize(&qos);
  if (writer == nullptr || dds_DataWriter_enable(writer) != dds_RETCODE_OK) {
    *error = std::string("cannot create the writer of ") + t.name;
    return nullptr;
  }
  return writer;
}

dds_DataReader* Domain::reader(Topic topic, Inbox* inbox, std::string* error) {
  const TopicInfo t = info(topic);
  dds_DataReaderQos qos{};
  dds_Subscriber_get_default_datareader_qos(subscriber_, &qos);
  qos.reliability.kind = dds_RELIABLE_RELIABILITY_QOS;
  // KEEP_ALL: the raw reader does not tell the status of two recorders
  // apart by key, so each sample is taken as it comes.
  qos.history.kind = dds_KEEP_ALL_HISTORY_QOS;
  qos.durability.kind =
      t.latched ? dds_TRANSIENT_LOCAL_DURABILITY_QOS : dds_VOLATILE_DURABILITY_QOS;
  dds_DataReader* reader = dds_Subscriber_create_datareader(
      subscriber_, topics_[static_cast<int>(topic)], &qos, nullptr, 0);
  dds_DataReaderQos_finalize(&qos);
  if (reader == nullptr || !inbox->attach(reader) ||
      dds_DataReader_enable(reader) != dds_RETCODE_OK) {
    *error = std::string("cannot create the reader of ") + t.name;
    return nullptr;
  }
  return reader;
}

void Domain::flush(dds_DataWriter* writer, uint64_t timeout_ns) {
  if (writer != nullptr) {
    dds_DataWriter_wait_for_acknowledgments(writer, static_cast<int64_t>(timeout_ns));
  }
}

}  // namespace rnr::control::internal
