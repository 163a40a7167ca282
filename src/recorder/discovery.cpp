#include "recorder/recorder_internal.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "log/logger.h"
#include "recorder/writer_history.h"

namespace rnr::recorder::internal {
namespace {

constexpr int32_t kMaxPublications = 8;

void builtin_pub_dr_on_data_available(dds_DataReader* reader);

// The reader takes the writer's durability, capped at transient-local: the
// strongest kind a reader can ask of a writer without a durability service.
dds_DurabilityQosPolicyKind reader_durability_for(dds_DurabilityQosPolicyKind writer) {
  return writer == dds_VOLATILE_DURABILITY_QOS ? dds_VOLATILE_DURABILITY_QOS
                                               : dds_TRANSIENT_LOCAL_DURABILITY_QOS;
}

// The topic's reader of exactly this class, or null. Called with the entry's
// assignment_mutex held.
rnr_TopicReader* reader_with_qos(rnr_TopicInfo* entry, const rnr_ReaderClass& qos) {
  for (auto& r : entry->readers) {
    if (r->qos == qos) {
      return r.get();
    }
  }
  return nullptr;
}

// Creates a raw reader of `entry` with the given reliability and durability
// and KEEP_ALL history, so that it loses nothing its writers deliver, and adds
// it to the entry's readers. Called with recorder->mutex held.
dds_DataReader* create_datareader(rnr_recorder* recorder, rnr_TopicInfo* entry, bool with_key,
                                  const rnr_ReaderClass& qos) {
  dds_Subscriber* subscriber = rnr_recorder_subscriber_for(recorder, qos.partitions);
  if (subscriber == nullptr) {
    return nullptr;
  }
  dds_TypeSupport* raw =
      with_key ? dds_TypeSupport_raw_create_w_key() : dds_TypeSupport_raw_create();
  dds_TypeSupport_register_type(raw, recorder->participant, entry->type_name);
  dds_TypeSupport_delete(raw);

  dds_TopicQos topic_qos{};
  dds_DomainParticipant_get_default_topic_qos(recorder->participant, &topic_qos);
  dds_Topic* topic = dds_DomainParticipant_create_topic(recorder->participant, entry->topic_name,
                                                        entry->type_name, &topic_qos, nullptr, 0);
  dds_TopicQos_finalize(&topic_qos);

  dds_DataReaderQos reader_qos{};
  dds_Subscriber_get_default_datareader_qos(subscriber, &reader_qos);
  reader_qos.reliability.kind = qos.reliability;
  reader_qos.durability.kind = qos.durability;
  // What every writer offers satisfies: no deadline, any latency budget,
  // automatic liveliness with an infinite lease, by-reception order.
  reader_qos.deadline_ns = rnr::qos::kInfinite;
  reader_qos.latency_budget_ns = rnr::qos::kInfinite;
  reader_qos.liveliness = rnr::qos::Liveliness::automatic;
  reader_qos.lease_duration_ns = rnr::qos::kInfinite;
  reader_qos.destination_order = rnr::qos::DestinationOrder::by_reception_timestamp;
  reader_qos.ownership = qos.ownership;
  reader_qos.history.kind = dds_KEEP_ALL_HISTORY_QOS;
  reader_qos.resource_limits.max_samples = kReaderMaxSamples;
  dds_DataReader* reader =
      dds_Subscriber_create_datareader(subscriber, topic, &reader_qos, nullptr, 0);
  dds_DataReaderQos_finalize(&reader_qos);
  if (reader == nullptr) {
    return nullptr;
  }
  auto tr = std::make_unique<rnr_TopicReader>();
  tr->reader = reader;
  tr->subscriber = subscriber;
  tr->qos = qos;
  {
    std::lock_guard<std::mutex> assignment_lock(entry->assignment_mutex);
    entry->readers.push_back(std::move(tr));
    entry->reader = entry->readers.front()->reader;
  }

  dds_Entity_set_context(reader, 0, recorder);
  dds_Entity_set_context(reader, 1, entry);
  if (recorder->state == RNR_RECORDER_RECORDING) {
    dds_DataReader_set_listener(reader, &kTopicReaderListener, dds_DATA_AVAILABLE_STATUS);
    dds_DataReader_enable(reader);
  }
  rnr_log(RNR_LOG_INFO, "Recorder Create DataReader{topic: %s, type: %s}", entry->topic_name,
          entry->type_name);
  return reader;
}

// Asks the participant for the type the writer's participant delivered. Called
// with recorder->mutex held by `lock`, which is given up meanwhile (the lookup
// is a bounded but blocking wait). Null when no type came.
dds_DynamicTypeSupport* lookup_type(rnr_recorder* recorder, std::unique_lock<std::mutex>& lock,
                                    const char* type_name) {
  dds_DynamicTypeSupport* found = nullptr;
  lock.unlock();
  dds_DataSeq* types =
      dds_DomainParticipant_lookup_delivered_types(recorder->participant, type_name);
  if (types != nullptr) {
    found = static_cast<dds_DynamicTypeSupport*>(dds_DataSeq_remove(types, 0));
    while (dds_DataSeq_length(types) != 0) {
      dds_DynamicTypeSupport_delete_type_support(
          static_cast<dds_DynamicTypeSupport*>(dds_DataSeq_remove(types, 0)));
    }
    dds_DataSeq_delete(types);
  }
  lock.lock();
  return found;
}

// Stores the topic's metastring and key flag in the bag. False (logged) when
// the bag's row cannot be updated.
bool store_topic_type(rnr_recorder* recorder, rnr_TopicInfo* entry) {
  if (!rnr_Database_update_topics(recorder->database, entry)) {
    rnr_log(RNR_LOG_ERROR, "Recorder %s: Cannot update database", entry->topic_name);
    return false;
  }
  return true;
}

}  // namespace

const dds_DataReaderListener kBuiltinReaderListener = {
    nullptr, nullptr, nullptr, nullptr, builtin_pub_dr_on_data_available, nullptr, nullptr};

rnr_ReaderClass reader_class_for(const rnr::qos::WriterQos& offered) {
  rnr_ReaderClass c;
  c.reliability = offered.reliability == rnr::qos::Reliability::reliable
                      ? dds_RELIABLE_RELIABILITY_QOS
                      : dds_BEST_EFFORT_RELIABILITY_QOS;
  c.durability =
      reader_durability_for(static_cast<dds_DurabilityQosPolicyKind>(offered.durability));
  c.ownership = offered.ownership;
  c.partitions = rnr::qos::partitions_matching(offered.partitions);
  return c;
}

rnr_ReaderClass reader_class_of(rnr_recorder* recorder, const uint8_t (&guid)[16],
                                const dds_PublicationBuiltinTopicData& writer) {
  rnr::qos::WriterQos offered;
  if (dds_DomainParticipant_get_publication_qos(recorder->participant, guid, &offered) !=
      dds_RETCODE_OK) {
    offered.reliability = writer.reliability.kind == dds_RELIABLE_RELIABILITY_QOS
                              ? rnr::qos::Reliability::reliable
                              : rnr::qos::Reliability::best_effort;
    offered.durability = static_cast<rnr::qos::Durability>(writer.durability.kind);
  }
  return reader_class_for(offered);
}

rnr_TopicReader* assign_writer(rnr_TopicInfo* entry, const uint8_t (&guid)[16],
                               const rnr_ReaderClass& qos) {
  rnr_WriterKey key{};
  std::memcpy(&key.bytes, guid, sizeof key.bytes);
  const auto found = entry->assignments.find(key);
  if (found != entry->assignments.end()) {
    return found->second;
  }
  rnr_TopicReader* reader = reader_with_qos(entry, qos);
  if (reader != nullptr) {
    entry->assignments.emplace(key, reader);
  }
  return reader;
}

void process_publication(rnr_recorder* recorder, std::unique_lock<std::mutex>& lock,
                         rnr_TopicInfo* entry, const rnr_Publication& pub) {
  uint32_t writer_entity_id = 0;  // K: the entity id the instance handle carries
  std::memcpy(&writer_entity_id, pub.writer_guid + 12, sizeof writer_entity_id);
  const bool writer_keyed = dds_entity_id_is_keyed(writer_entity_id);
  // The topic's key flag follows its writers until its first reader exists;
  // that reader's type support is keyed or not by it from then on.
  if (entry->readers.empty()) {
    entry->is_with_key = writer_keyed;
  }

  if (logger_level <= RNR_LOG_DEBUG) {
    dds_guid w{};
    std::memcpy(w.prefix, pub.writer_guid, sizeof w.prefix);
    w.entity_id = writer_entity_id;
    rnr_log(RNR_LOG_DEBUG,
            "Recorder Recv SEDP(w) of DataWriter{is_with_key: %s, topic: %s, guid: %s}",
            writer_keyed ? "true" : "false", entry->topic_name, dds_guid_format(&w).text);
  }

  if (!entry->writer_map) {
    entry->writer_map = std::make_unique<rnr_WriterMap>();
  }
  rnr_WriterKey map_key{};
  static_assert(sizeof map_key.bytes == 16, "a writer key is 16 bytes");
  std::memcpy(&map_key.bytes, &pub.data, sizeof map_key.bytes);
  bool new_writer = false;
  if (entry->writer_map->find(map_key) == entry->writer_map->end()) {
    new_writer = true;
    const uint32_t publication_entity_id = pub.data.key.value[0];
    const bool is_writer = dds_entity_id_is_writer(writer_entity_id);
    dds_guid announced{};
    std::memcpy(announced.prefix, pub.data.participant_key, sizeof announced.prefix);
    announced.entity_id = publication_entity_id;
    rnr_log(RNR_LOG_INFO, "Recorder Create Entity info of %s{guid: %s}",
            is_writer ? "DataWriter" : "DataReader", dds_guid_format(&announced).text);
    dds_guid guid{};
    std::memcpy(guid.prefix, pub.writer_guid, sizeof guid.prefix);
    guid.entity_id = publication_entity_id;
    const int32_t writer_id = rnr_Database_insert_entity_info(recorder->database, &guid);
    entry->writer_map->emplace(map_key, guid);
    if (writer_id > 0) {
      rnr_WriterKey raw{};
      std::memcpy(&raw.bytes, pub.writer_guid, sizeof raw.bytes);
      std::lock_guard<std::mutex> assignment_lock(entry->assignment_mutex);
      entry->writer_ids[raw] = writer_id;
    }
    rnr::qos::WriterQos offered;
    if (dds_DomainParticipant_get_publication_qos(recorder->participant, pub.writer_guid,
                                                  &offered) == dds_RETCODE_OK &&
        writer_id > 0) {
      rnr::recorder::internal::history_at_discovery(recorder, entry, writer_id, pub.writer_guid,
                                                    &offered);
      rnr_Database_insert_writer_qos(recorder->database, writer_id, entry->id,
                                     rnr::qos::to_text(offered));
    }
    if (is_writer) {
      rnr_WriterKey watched{};
      std::memcpy(&watched.bytes, pub.writer_guid, sizeof watched.bytes);
      entry->unmatched.emplace_back(watched, arch_time());
    }
  }
  note_writer(recorder, entry, pub);

  // The type: asked of each new writer until one delivers it, and of every
  // announcement while the topic has no reader yet.
  if (entry->type_support == nullptr && (new_writer || entry->readers.empty())) {
    dds_DynamicTypeSupport* found = lookup_type(recorder, lock, pub.data.type_name);
    if (recorder->closing || entry->type_support != nullptr) {
      if (found != nullptr) {
        dds_DynamicTypeSupport_delete_type_support(found);
      }
      if (recorder->closing) {
        return;
      }
    } else {
      entry->type_support = found;
    }
    if (entry->type_support == nullptr) {
      rnr_log(RNR_LOG_WARN,
              "Recorder Cannot get typesupport of type(%s) from participant(%s). Please enable "
              "QUORVIN_USE_VENDOR_SPECIFIC_PARAMETER on the publisher",
              pub.data.type_name, dds_guid_prefix_format(pub.data.participant_key).text);
    } else if (entry->metastring != nullptr &&
               (entry->metastring[0] == '\0' || entry->type_supplied)) {
      // Recorded so far without its type, or with a supplied one: the type
      // arrived with this writer.
      char* metastring = dds_TypeSupport_extract_metastring(entry->type_support);
      if (metastring != nullptr) {
        std::free(entry->metastring);
        entry->metastring = metastring;
        entry->type_supplied = false;
        store_topic_type(recorder, entry);
      }
    }
    if (entry->type_support != nullptr) {
      entry->dump_type.store(entry->type_support);
    }
  }

  if (entry->metastring == nullptr) {
    if (entry->type_support != nullptr) {
      entry->metastring = dds_TypeSupport_extract_metastring(entry->type_support);
      if (entry->metastring == nullptr) {
        rnr_log(RNR_LOG_ERROR, "Recorder %s: Cannot get metastring", entry->topic_name);
        return;
      }
    } else {
      std::string supplied;
      const rnr_long_run_options* run = recorder->long_run ? &recorder->long_run->options : nullptr;
      entry->type_supplied =
          run != nullptr && run->supplied_type && run->supplied_type(entry->type_name, &supplied);
      entry->metastring = strdup(entry->type_supplied ? supplied.c_str() : "");
      if (entry->metastring == nullptr) {
        entry->type_supplied = false;
        return;
      }
      if (entry->type_supplied) {
        rnr_log(RNR_LOG_INFO, "Recorder %s: no type announced; storing the one given for %s",
                entry->topic_name, entry->type_name);
      }
    }
    if (!store_topic_type(recorder, entry)) {
      return;
    }
  }

  if (recorder->state == RNR_RECORDER_STOPPED) {
    return;  // nothing is recorded any more: no new readers
  }
  const rnr_ReaderClass wanted = reader_class_of(recorder, pub.writer_guid, pub.data);
  {
    std::lock_guard<std::mutex> assignment_lock(entry->assignment_mutex);
    if (assign_writer(entry, pub.writer_guid, wanted) != nullptr) {
      return;
    }
  }
  if (create_datareader(recorder, entry, entry->is_with_key, wanted) == nullptr) {
    rnr_log(RNR_LOG_ERROR, "Recorder %s: Cannot create datareader", entry->topic_name);
    return;
  }
  {
    std::lock_guard<std::mutex> assignment_lock(entry->assignment_mutex);
    assign_writer(entry, pub.writer_guid, wanted);
  }
  // A best-effort reader also matches reliable writers, which may then take
  // it for their subscriber and publish before their own reader exists:
  // what they send meanwhile would reach no reader that can ask for it
  // again. A reliable volatile reader of the same partitions and ownership
  // is there from the start, so that a reliable writer joining later matches
  // a reader of its own class at once.
  if (wanted.reliability == dds_BEST_EFFORT_RELIABILITY_QOS) {
    rnr_ReaderClass reliable = wanted;
    reliable.reliability = dds_RELIABLE_RELIABILITY_QOS;
    reliable.durability = dds_VOLATILE_DURABILITY_QOS;
    bool exists = false;
    {
      std::lock_guard<std::mutex> assignment_lock(entry->assignment_mutex);
      exists = reader_with_qos(entry, reliable) != nullptr;
    }
    if (!exists && create_datareader(recorder, entry, entry->is_with_key, reliable) == nullptr) {
      rnr_log(RNR_LOG_ERROR, "Recorder %s: Cannot create datareader", entry->topic_name);
    }
  }
}

void note_writer(rnr_recorder* recorder, rnr_TopicInfo* entry, const rnr_Publication& pub) {
  rnr_WriterKey key{};
  std::memcpy(&key.bytes, pub.writer_guid, sizeof key.bytes);
  recorder->writer_topics[key] = entry;
  std::lock_guard<std::mutex> assignment_lock(entry->assignment_mutex);
  entry->announced.try_emplace(key, arch_time());
}

void writer_left(rnr_recorder* recorder, const rnr_Publication& pub) {
  rnr_WriterKey key{};
  std::memcpy(&key.bytes, pub.writer_guid, sizeof key.bytes);
  const auto found = recorder->writer_topics.find(key);
  if (found == recorder->writer_topics.end()) {
    return;
  }
  rnr_TopicInfo* entry = found->second;
  recorder->writer_topics.erase(found);
  auto& watched = entry->unmatched;
  watched.erase(std::remove_if(watched.begin(), watched.end(),
                               [&](const auto& w) { return rnr_WriterKeyEqual{}(w.first, key); }),
                watched.end());
  rnr_WriterKey map_key{};
  std::memcpy(&map_key.bytes, &pub.data, sizeof map_key.bytes);
  recorder->departed_writers.push_back({key, map_key, entry, arch_time()});
}

void release_departed_writers(rnr_recorder* recorder, bool all) {
  const uint64_t now = arch_time();
  auto& departed = recorder->departed_writers;
  for (auto it = departed.begin(); it != departed.end();) {
    if (!all && now - it->left_ns < kDepartedGraceNs) {
      ++it;
      continue;
    }
    rnr_TopicInfo* entry = it->entry;
    if (recorder->writer_topics.count(it->key) == 0) {
      // Still gone: its discovery state goes, and its record of sequence
      // numbers is ended by the next look at the topic's records.
      if (entry->writer_map) {
        entry->writer_map->erase(it->map_key);
      }
      std::lock_guard<std::mutex> assignment_lock(entry->assignment_mutex);
      entry->assignments.erase(it->key);
      entry->announced.erase(it->key);
      entry->departed.push_back(it->key);
      uint8_t guid[16];
      std::memcpy(guid, &it->key.bytes, sizeof guid);
      dds_DomainParticipant_forget_publication(recorder->participant, guid);
    }
    it = departed.erase(it);
  }
}

std::string topic_index_key(const char* topic_name, const char* type_name) {
  std::string key(topic_name);
  key.push_back('\0');
  key.append(type_name);
  return key;
}

rnr_TopicInfo* add_topic_entry(rnr_recorder* recorder, const char* topic_name,
                               const char* type_name) {
  const int32_t id = rnr_Database_insert_topic(recorder->database, topic_name, type_name);
  if (id == -1) {
    rnr_log(RNR_LOG_ERROR, "Recorder %s: Cannot insert topic into database", topic_name);
    return nullptr;
  }
  auto entry = std::make_unique<rnr_TopicInfo>();
  entry->id = id;
  rnr_name_copy(entry->topic_name, topic_name);
  rnr_name_copy(entry->type_name, type_name);
  rnr_TopicInfo* added = entry.get();
  recorder->topic_index.emplace(topic_index_key(added->topic_name, added->type_name), added);
  recorder->topic_list.push_back(std::move(entry));
  rnr_log(RNR_LOG_INFO, "Recorder Add Topic{topic: %s, type: %s}", topic_name, type_name);
  return added;
}

void check_requested_type(rnr_recorder* recorder, const rnr_Publication& pub) {
  for (const auto& [topic, type] : recorder->literal_pairs) {
    if (topic != pub.data.topic_name || type == pub.data.type_name) {
      continue;
    }
    std::string said = topic_index_key(pub.data.topic_name, pub.data.type_name);
    auto& known = recorder->wrong_types_said;
    if (std::find(known.begin(), known.end(), said) != known.end()) {
      return;
    }
    known.push_back(std::move(said));
    rnr_log(RNR_LOG_WARN,
            "Recorder Topic %s has writers of type %s, not %s: nothing is recorded "
            "of them",
            pub.data.topic_name, pub.data.type_name, type.c_str());
    return;
  }
}

void handle_publication(rnr_recorder* recorder, std::unique_lock<std::mutex>& lock,
                        const rnr_Publication& pub) {
  rnr_TopicInfo* entry =
      rnr_recorder_get_topic_info(recorder, pub.data.topic_name, pub.data.type_name);
  if (entry == nullptr && recorder->state == RNR_RECORDER_RECORDING &&
      recorder->patterns.matches(pub.data.type_name, pub.data.topic_name)) {
    uint32_t writer_entity_id = 0;
    std::memcpy(&writer_entity_id, pub.writer_guid + 12, sizeof writer_entity_id);
    // Writers of this process (a replayer's, another recorder's) and DDS's
    // own topics are not application traffic to be recorded by pattern.
    if (is_application_topic(pub.data.topic_name, writer_entity_id) &&
        !dds_DomainParticipant_is_local_prefix(recorder->participant, pub.writer_guid)) {
      entry = add_topic_entry(recorder, pub.data.topic_name, pub.data.type_name);
      if (entry != nullptr) {
        recorder->patterns.note_brought_in(pub.data.type_name, pub.data.topic_name);
      }
    }
  }
  if (entry == nullptr && recorder->state == RNR_RECORDER_RECORDING) {
    check_requested_type(recorder, pub);
  }
  if (entry != nullptr) {
    process_publication(recorder, lock, entry, pub);
  } else if (recorder->state == RNR_RECORDER_CREATED) {
    // Topics are still being added: keep the writer for add_topic and start.
    recorder->early_publications.push_back(pub);
  }
}

namespace {

void builtin_pub_dr_on_data_available(dds_DataReader* reader) {
  dds_DataSeq* data = dds_DataSeq_create(kMaxPublications);
  dds_SampleInfoSeq* infos = dds_SampleInfoSeq_create(kMaxPublications);
  if (data != nullptr && infos != nullptr) {
    dds_ReturnCode_t rc =
        dds_DataReader_take(reader, data, infos, kMaxPublications, dds_ANY_SAMPLE_STATE,
                            dds_ANY_VIEW_STATE, dds_ANY_INSTANCE_STATE);
    auto* recorder = static_cast<rnr_recorder*>(dds_Entity_get_context(reader, 0));
    if (rc == dds_RETCODE_OK && recorder != nullptr) {
      std::unique_lock<std::mutex> lock(recorder->mutex);
      for (uint32_t i = 0; i < dds_DataSeq_length(data) && !recorder->closing; ++i) {
        const dds_SampleInfo* info = dds_SampleInfoSeq_get(infos, i);
        const auto* sample =
            static_cast<const dds_PublicationBuiltinTopicData*>(dds_DataSeq_get(data, i));
        if (info == nullptr || sample == nullptr) {
          continue;
        }
        rnr_Publication pub{};
        std::memcpy(pub.writer_guid, info->instance_handle.value, sizeof pub.writer_guid);
        pub.data = *sample;
        if (!info->valid_data) {
          writer_left(recorder, pub);  // disposed or unregistered: the writer went away
          continue;
        }
        pub.data.topic_name[RNR_NAME_MAX_LENGTH] = '\0';
        pub.data.type_name[RNR_NAME_MAX_LENGTH] = '\0';
        handle_publication(recorder, lock, pub);
      }
    }
    dds_DataReader_return_loan(reader, data, infos);
  }
  dds_DataSeq_delete(data);
  dds_SampleInfoSeq_delete(infos);
}

}  // namespace
}  // namespace rnr::recorder::internal

size_t rnr_WriterKeyHash::operator()(const rnr_WriterKey& key) const {
  return static_cast<size_t>(dds_guid_hash(&key.bytes));
}

bool rnr_WriterKeyEqual::operator()(const rnr_WriterKey& a, const rnr_WriterKey& b) const {
  return dds_guid_equals(&a.bytes, &b.bytes);
}

bool rnr_WriterKeyLess::operator()(const rnr_WriterKey& a, const rnr_WriterKey& b) const {
  return dds_guid_compare(&a.bytes, &b.bytes) < 0;
}

dds_Subscriber* rnr_recorder_subscriber_for(rnr_recorder* recorder,
                                            const std::vector<std::string>& partitions) {
  if (partitions.empty()) {
    return recorder->subscriber;
  }
  for (const auto& [names, subscriber] : recorder->partition_subscribers) {
    if (names == partitions) {
      return subscriber;
    }
  }
  dds_SubscriberQos qos{};
  dds_DomainParticipant_get_default_subscriber_qos(recorder->participant, &qos);
  qos.entity_factory.autoenable_created_entities = false;
  qos.partitions = partitions;
  dds_Subscriber* subscriber =
      dds_DomainParticipant_create_subscriber(recorder->participant, &qos, nullptr, 0);
  dds_SubscriberQos_finalize(&qos);
  if (subscriber == nullptr || dds_Subscriber_enable(subscriber) != dds_RETCODE_OK) {
    std::string names;
    for (const std::string& name : partitions) {
      names += names.empty() ? name : "," + name;
    }
    rnr_log(RNR_LOG_ERROR, "Recorder Cannot create the subscriber of partitions %s", names.c_str());
    if (subscriber != nullptr) {
      dds_DomainParticipant_delete_subscriber(recorder->participant, subscriber);
    }
    return nullptr;
  }
  recorder->partition_subscribers.emplace_back(partitions, subscriber);
  return subscriber;
}

rnr_TopicInfo* rnr_recorder_get_topic_info(rnr_recorder* recorder, const char* topic_name,
                                           const char* type_name) {
  if (recorder == nullptr || topic_name == nullptr || type_name == nullptr) {
    return nullptr;
  }
  if (!rnr_name_fits(topic_name) || !rnr_name_fits(type_name)) {
    return nullptr;  // no entry holds a name that does not fit its field
  }
  const auto found =
      recorder->topic_index.find(rnr::recorder::internal::topic_index_key(topic_name, type_name));
  return found == recorder->topic_index.end() ? nullptr : found->second;
}
