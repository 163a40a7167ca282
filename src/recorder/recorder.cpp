#include "recorder/recorder.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>

#include "bag/database_create_new.h"
#include "bag/instance_events.h"
#include "log/logger.h"
#include "recorder/recorder_internal.h"

using namespace rnr::recorder::internal;

namespace {

constexpr size_t kBulkInsertSize = 256;

// Deletes the readers and entities and releases everything the recorder owns.
// Discovery is shut out first (closing, checked under the lock that every
// discovery step holds), and the readers, whose callbacks use their entries,
// are deleted before the entries are released.
void release_recorder(rnr_recorder* recorder) {
  std::vector<std::unique_ptr<rnr_TopicInfo>> entries;
  std::vector<std::pair<dds_Subscriber*, dds_DataReader*>> readers;
  recorder->stopping.store(true);
  stop_match_watch(recorder);
  {
    std::lock_guard<std::mutex> lock(recorder->mutex);
    recorder->closing = true;
    entries = std::move(recorder->topic_list);
    recorder->topic_list.clear();
    recorder->topic_index.clear();
    recorder->early_publications.clear();
    for (auto& entry : entries) {
      std::lock_guard<std::mutex> assignment_lock(entry->assignment_mutex);
      for (auto& tr : entry->readers) {
        readers.emplace_back(tr->subscriber, tr->reader);
      }
    }
  }
  for (auto& [subscriber, reader] : readers) {
    dds_Subscriber_delete_datareader(subscriber, reader);
  }
  entries.clear();  // type supports, metastrings, writer maps, take buffers
  if (recorder->participant != nullptr) {
    for (auto& [partitions, subscriber] : recorder->partition_subscribers) {
      dds_DomainParticipant_delete_subscriber(recorder->participant, subscriber);
    }
    recorder->partition_subscribers.clear();
    if (recorder->subscriber != nullptr) {
      dds_DomainParticipant_delete_subscriber(recorder->participant, recorder->subscriber);
      recorder->subscriber = nullptr;
    }
    // Waits for a discovery callback still running; the recorder outlives it.
    dds_DomainParticipantFactory_delete_participant(dds_DomainParticipantFactory_get_instance(),
                                                    recorder->participant);
    recorder->participant = nullptr;
  }
  if (recorder->long_run != nullptr) {
    stop_finisher(recorder->long_run.get());
    release_retired(recorder->long_run.get(), true);
    if (recorder->long_run->prepared != nullptr) {
      const std::string prepared = recorder->long_run->prepared->path;
      rnr_Database_destroy(recorder->long_run->prepared);
      recorder->long_run->prepared = nullptr;
      unlink(prepared.c_str());
    }
  }
  rnr_Database_destroy(recorder->database.load());
  recorder->database.store(nullptr);
}

// Creation failed: release what exists, and remove the bag this recorder had
// just created (it is new, empty, and would only be mistaken for a recording).
rnr_recorder* fail_create(rnr_recorder* recorder, bool in_memory = false) {
  std::string bag;
  if (recorder->database != nullptr && !in_memory) {
    bag = recorder->database.load()->path;
  }
  release_recorder(recorder);
  if (!bag.empty()) {
    unlink(bag.c_str());
  }
  delete recorder;
  return nullptr;
}

}  // namespace

rnr_TopicInfo::rnr_TopicInfo() : rnr_TopicDescription{} {}

rnr_TopicInfo::~rnr_TopicInfo() {
  if (type_support != nullptr) {
    dds_DynamicTypeSupport_delete_type_support(type_support);
  }
  std::free(metastring);
}

rnr_recorder* rnr_recorder_create(int32_t domain_id, const char* bag_path) {
  return create_recorder(domain_id, bag_path, false);
}

rnr_recorder* rnr::recorder::internal::create_recorder(int32_t domain_id, const char* bag_path,
                                                       bool in_memory) {
  auto* recorder = new rnr_recorder();

  dds_DomainParticipantFactory* factory = dds_DomainParticipantFactory_get_instance();
  dds_DomainParticipantFactoryQos factory_qos{};
  if (dds_DomainParticipantFactory_get_qos(factory, &factory_qos) != dds_RETCODE_OK) {
    rnr_log(RNR_LOG_ERROR, "Recorder Cannot get DomainParticipantFactoryQos");
    return fail_create(recorder);
  }
  factory_qos.entity_factory.autoenable_created_entities = false;
  if (dds_DomainParticipantFactory_set_qos(factory, &factory_qos) != dds_RETCODE_OK) {
    rnr_log(RNR_LOG_ERROR, "Recorder Cannot set DomainParticipantFactoryQos");
    return fail_create(recorder);
  }

  dds_DomainParticipantQos participant_qos{};
  dds_DomainParticipantFactory_get_default_participant_qos(factory, &participant_qos);
  recorder->participant = dds_DomainParticipantFactory_create_participant(
      factory, domain_id, &participant_qos, nullptr, 0);
  dds_DomainParticipantQos_finalize(&participant_qos);

  dds_SubscriberQos subscriber_qos{};
  dds_DomainParticipant_get_default_subscriber_qos(recorder->participant, &subscriber_qos);
  subscriber_qos.entity_factory.autoenable_created_entities = false;
  recorder->subscriber =
      dds_DomainParticipant_create_subscriber(recorder->participant, &subscriber_qos, nullptr, 0);
  dds_SubscriberQos_finalize(&subscriber_qos);

  char generated[64] = {0};
  if (in_memory) {
    recorder->database = rnr_Database_create(":memory:");
  } else if (bag_path == nullptr) {
    time_t now = time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    strftime(generated, sizeof generated, "dovuve_%Y_%m_%d-%H_%M_%S.sqlite3", &local);
    // A recorder started in the same second in the same directory has the
    // name already: this one takes the next free "_2", "_3", ...
    recorder->database = rnr_Database_create_new_numbered(generated);
  } else {
    recorder->database = rnr_Database_create_new(bag_path);
  }
  if (recorder->database == nullptr) {
    rnr_log(RNR_LOG_ERROR, "Recorder Cannot create database");
    return fail_create(recorder, in_memory);
  }
  rnr_Database_create_writer_qos_table(recorder->database);
  rnr_Database_create_instance_events_table(recorder->database);
  rnr_Database_create_sample_sources_table(recorder->database);
  if (!in_memory) {
    rnr_log(RNR_LOG_INFO, "Recorder Recording into %s", recorder->database.load()->path);
  }
  if (!rnr_Database_start_bulk_insert_data(recorder->database, kBulkInsertSize)) {
    rnr_log(RNR_LOG_ERROR, "Recorder Cannot start bulk insert");
    return fail_create(recorder, in_memory);
  }

  dds_Subscriber* builtin_subscriber =
      dds_DomainParticipant_get_builtin_subscriber(recorder->participant);
  dds_DataReader* builtin_reader = dds_Subscriber_get_contained_datareader_by_name(
      builtin_subscriber, "dds_BuiltinPublications");
  dds_Entity_set_context(builtin_reader, 0, recorder);
  if (dds_DataReader_set_listener(builtin_reader, &kBuiltinReaderListener,
                                  dds_DATA_AVAILABLE_STATUS) != dds_RETCODE_OK) {
    rnr_log(RNR_LOG_ERROR, "Recorder Cannot set listener to builtin datareader");
    return fail_create(recorder, in_memory);
  }
  if (dds_DomainParticipant_enable(recorder->participant) != dds_RETCODE_OK) {
    rnr_log(RNR_LOG_ERROR, "Recorder Cannot enable DomainParticipant");
    return fail_create(recorder, in_memory);
  }
  if (dds_Subscriber_enable(recorder->subscriber) != dds_RETCODE_OK) {
    rnr_log(RNR_LOG_ERROR, "Recorder Cannot enable Subscriber");
    return fail_create(recorder, in_memory);
  }
  return recorder;
}

bool rnr_recorder_add_topic(rnr_recorder* recorder, const char* topic_name, const char* type_name) {
  if (recorder == nullptr || topic_name == nullptr || type_name == nullptr) {
    return false;
  }
  // A name must fit its 256-byte field with its terminator; a longer one could
  // never match a discovered topic, so it is refused rather than cut.
  if (!rnr_name_fits(topic_name) || !rnr_name_fits(type_name)) {
    rnr_log(RNR_LOG_ERROR, "Recorder %s: Cannot insert topic into database", topic_name);
    return false;
  }
  std::unique_lock<std::mutex> lock(recorder->mutex);
  if (is_pattern_pair(type_name, topic_name)) {
    // Topics it matches are added as their writers are discovered, once
    // recording has started and every pattern and exclusion is known.
    const bool exclusion = topic_name[0] == '!' || type_name[0] == '!';
    recorder->patterns.add(type_name, topic_name);
    rnr_log(RNR_LOG_INFO,
            exclusion ? "Recorder Add Exclusion{topic: %s, type: %s}"
                      : "Recorder Add Pattern{topic: %s, type: %s}",
            topic_name, type_name);
    return true;
  }
  rnr_TopicInfo* added = add_topic_entry(recorder, topic_name, type_name);
  if (added == nullptr) {
    return false;
  }
  recorder->literal_pairs.emplace_back(added->topic_name, added->type_name);

  // Writers of this pair announced before it was added. Taken out of the list
  // first: it may grow while a lookup runs without the lock.
  std::vector<rnr_Publication> matching;
  auto& early = recorder->early_publications;
  for (auto it = early.begin(); it != early.end();) {
    if (strncmp(it->data.topic_name, added->topic_name, RNR_NAME_FIELD_SIZE) == 0 &&
        strncmp(it->data.type_name, added->type_name, RNR_NAME_FIELD_SIZE) == 0) {
      matching.push_back(*it);
      it = early.erase(it);
    } else {
      ++it;
    }
  }
  for (const rnr_Publication& pub : matching) {
    if (recorder->closing) {
      break;
    }
    process_publication(recorder, lock, added, pub);
  }
  return true;
}

bool rnr_recorder_start_record(rnr_recorder* recorder) {
  if (recorder == nullptr) {
    return true;
  }
  std::unique_lock<std::mutex> lock(recorder->mutex);
  for (auto& entry : recorder->topic_list) {
    for (auto& tr : entry->readers) {
      dds_DataReader_set_listener(tr->reader, &kTopicReaderListener, dds_DATA_AVAILABLE_STATUS);
      dds_DataReader_enable(tr->reader);
    }
  }
  recorder->state = RNR_RECORDER_RECORDING;
  // Writers announced before the start that no pair named: the patterns,
  // complete now, may bring their topics in. Taken out of the list first:
  // the lock is given up while a type is looked up.
  std::vector<rnr_Publication> early = std::move(recorder->early_publications);
  recorder->early_publications.clear();
  for (const rnr_Publication& pub : early) {
    check_requested_type(recorder, pub);
  }
  for (const rnr_Publication& pub : early) {
    if (recorder->closing || recorder->patterns.empty()) {
      break;
    }
    handle_publication(recorder, lock, pub);
  }
  lock.unlock();
  // The rows of the pairs named so far are in the bag when recording starts.
  rnr_Database_write_catalogue(recorder->database);
  note_bag_base(recorder);
  start_match_watch(recorder);
  return true;
}

void rnr_recorder_stop_record(rnr_recorder* recorder) {
  if (recorder == nullptr) {
    return;
  }
  std::vector<std::pair<rnr_TopicInfo*, rnr_TopicReader*>> readers;
  bool was_recording = false;
  // Captures waiting for room in the store give up their wait.
  recorder->stopping.store(true);
  stop_match_watch(recorder);
  {
    std::lock_guard<std::mutex> lock(recorder->mutex);
    was_recording = recorder->state == RNR_RECORDER_RECORDING;
    for (auto& entry : recorder->topic_list) {
      for (auto& tr : entry->readers) {
        readers.emplace_back(entry.get(), tr.get());
      }
    }
    // From now on discovery creates no reader, so the list above is complete.
    recorder->state = RNR_RECORDER_STOPPED;
  }
  // Entries live until destroy, so they may be used without the lock here.
  std::vector<rnr_TopicInfo*> stopped;
  for (auto& [entry, tr] : readers) {
    dds_DataReader* reader = tr->reader;
    if (was_recording) {
      // Store what the reader holds before it goes; a writer that keeps
      // sending cannot hold the stop up beyond one reader's worth.
      capture_samples(recorder, entry, reader, kReaderMaxSamples);
      std::lock_guard<std::mutex> lock(entry->capture_mutex);
      check_dds_losses(entry, reader, true);
      if (std::find(stopped.begin(), stopped.end(), entry) == stopped.end()) {
        stopped.push_back(entry);
      }
    }
    dds_Subscriber_delete_datareader(tr->subscriber, reader);
  }
  uint64_t not_recorded = 0;
  for (rnr_TopicInfo* entry : stopped) {
    {
      std::lock_guard<std::mutex> lock(entry->capture_mutex);
      check_writer_records(entry, true);
      entry->losses_seen.store(topic_losses(entry), std::memory_order_relaxed);
    }
    report_dds_losses(entry);
    not_recorded += topic_losses(entry);
  }
  std::lock_guard<std::mutex> lock(recorder->mutex);
  recorder->not_recorded += not_recorded;
  for (auto& entry : recorder->topic_list) {
    std::lock_guard<std::mutex> assignment_lock(entry->assignment_mutex);
    entry->assignments.clear();
    entry->readers.clear();
    entry->reader = nullptr;
  }
}

bool rnr_recorder_save_record(rnr_recorder* recorder) {
  if (recorder == nullptr || recorder->database == nullptr) {
    return true;
  }
  rnr_Database* database = recorder->database.load();
  rnr_log(RNR_LOG_INFO, "Recorder Save record data into database: %s", database->path);
  if (database->bulk_insert_enabled) {
    rnr_Database_end_bulk_insert_data(database);
  }
  const rnr_BulkInsertStats stats = rnr_Database_bulk_insert_stats(database);
  const uint64_t lost = stats.lost_samples;
  uint64_t not_recorded = 0;
  {
    std::lock_guard<std::mutex> lock(recorder->mutex);
    not_recorded = recorder->not_recorded;
  }
  rnr_log(RNR_LOG_INFO, "Recorder Saved %llu samples into %s",
          static_cast<unsigned long long>(stats.written_samples), database->path);
  if (not_recorded > 0) {
    rnr_log(RNR_LOG_ERROR,
            "Recorder Lost %llu samples: %llu never arrived from their writers, %llu the bag %s "
            "could not store",
            static_cast<unsigned long long>(lost + not_recorded),
            static_cast<unsigned long long>(not_recorded), static_cast<unsigned long long>(lost),
            database->path);
    return false;
  }
  if (lost > 0) {
    rnr_log(RNR_LOG_ERROR, "Recorder Lost %llu samples: the bag %s could not store them",
            static_cast<unsigned long long>(lost), database->path);
    return false;
  }
  return true;
}

void rnr_recorder_set_held_bytes_limit(rnr_recorder* recorder, size_t bytes) {
  if (recorder != nullptr) {
    rnr_Database_set_held_bytes_limit(recorder->database, bytes);
    if (recorder->long_run != nullptr) {
      recorder->long_run->held_limit = bytes != 0 ? bytes : RNR_DATABASE_DEFAULT_HELD_BYTES_LIMIT;
      recorder->long_run->window.configure(recorder->long_run->options.snapshot_ns,
                                           recorder->long_run->held_limit);
    }
  }
}

void rnr_recorder_destroy(rnr_recorder* recorder) {
  if (recorder == nullptr) {
    return;
  }
  release_recorder(recorder);
  delete recorder;
}
