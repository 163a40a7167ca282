// The replay writers: one raw writer per played topic that has samples, with
// the QoS the topic's recorded writers offered and the data representation
// its stored samples carry.
#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "bag/writer_qos.h"
#include "log/logger.h"
#include "replayer/instance_replay.h"
#include "replayer/replay_qos.h"
#include "replayer/replayer_internal.h"

namespace {

std::atomic<rnr_replay_stop_check> stop_check{nullptr};

}  // namespace

void rnr_replayer_set_stop_check(rnr_replay_stop_check check) {
  stop_check.store(check);
}

namespace rnr::replayer::internal {

bool stop_requested() {
  const rnr_replay_stop_check check = stop_check.load();
  return check != nullptr && check();
}

namespace {

// Data representation of the topic's stored samples, read off the 2-byte
// big-endian encapsulation identifier of its first sample: XCDR2 for
// CDR2, D_CDR2 and PL_CDR2 (0x0006..0x000b), XCDR1 otherwise (CDR and PL_CDR,
// 0x0000..0x0003, and whenever nothing can be read).
dds_DataRepresentationId_t stored_representation(rnr::bag::BagReader& bag, int32_t topic_id) {
  rnr::bag::SampleChunk chunk;
  std::string error;
  if (!bag.first_sample(topic_id, &chunk, &error)) {
    rnr_log(RNR_LOG_WARN, "Replayer Cannot read the data representation of topic %d", topic_id);
    return dds_XCDR_DATA_REPRESENTATION;
  }
  if (!chunk.empty()) {
    const rnr::bag::SampleRow& row = chunk.rows().front();
    if (row.size >= 2 && row.data[0] == 0x00 && row.data[1] >= 0x06 && row.data[1] <= 0x0b) {
      return dds_XCDR2_DATA_REPRESENTATION;
    }
  }
  return dds_XCDR_DATA_REPRESENTATION;
}

// The number of samples of a topic; 0 (logged) when they cannot be counted.
uint64_t sample_count(rnr::bag::BagReader& bag, int32_t topic_id) {
  rnr::bag::SampleFilter filter;
  filter.topic_ids.push_back(topic_id);
  uint64_t count = 0;
  std::string error;
  if (!bag.count(filter, &count, &error)) {
    rnr_log(RNR_LOG_ERROR, "Database Cannot execute sql query");
    rnr_log(RNR_LOG_ERROR, "Database %s", error.c_str());
    return 0;
  }
  return count;
}

// Creates, enables and registers the writer of one topics row. Every failure
// is logged and leaves the topic without a writer.
void create_writer(rnr_replayer* replayer, const rnr::bag::TopicSummary& row,
                   const std::vector<rnr::qos::WriterQos>& recorded) {
  // Ids and names as the replay uses them: 32-bit ids, names in 256-byte
  // fields (a name of 256 bytes or more is cut, and refused below).
  const auto id = static_cast<int32_t>(row.id);
  rnr_name_field topic_name;
  rnr_name_field type_name;
  rnr_name_copy(topic_name, row.name.c_str());
  rnr_name_copy(type_name, row.type.c_str());
  // A second row with the same id (a bag whose topics table lacks its
  // primary key) would take over the first one's writer.
  if (!replayer->topic_ids_seen.insert(id).second) {
    rnr_log(RNR_LOG_ERROR,
            "Replayer Duplicate topic _id %d! Skip creating datawriter on topic(name: %s, "
            "type_name: %s)",
            id, topic_name, type_name);
    return;
  }
  // A cut name would be another topic or type: such a row gets no writer.
  if (row.name.size() >= RNR_NAME_FIELD_SIZE || row.type.size() >= RNR_NAME_FIELD_SIZE) {
    rnr_log(RNR_LOG_ERROR,
            "Replayer Name of 256 characters or more! Skip creating datawriter on topic(_id: %d)",
            id);
    return;
  }
  const auto& selected = replayer->options.topic_ids;
  if (!selected.empty() && std::find(selected.begin(), selected.end(), id) == selected.end()) {
    rnr_log(RNR_LOG_DEBUG, "Replayer Not selected! Skip creating datawriter on topic(name: %s)",
            topic_name);
    return;
  }
  if (replayer->recording ? !replayer->recording->has_samples(id)
                          : sample_count(replayer->bag, id) == 0) {
    rnr_log(RNR_LOG_INFO,
            "Replayer No data! Skip creating datawriter info on topic(name: %s, type_name: %s)",
            topic_name, type_name);
    return;
  }

  auto info = std::make_unique<datawriter_info>();
  info->topic_id = id;
  rnr_name_copy(info->type_name, type_name);
  rnr_name_copy(info->topic_name, topic_name);
  for (const auto& [from, to] : replayer->options.remap) {
    if (from == topic_name && to.size() < RNR_NAME_FIELD_SIZE) {
      rnr_name_copy(info->topic_name, to.c_str());
      break;
    }
  }
  info->is_with_key = row.keyed;

  dds_TypeSupport* type_support =
      info->is_with_key ? dds_TypeSupport_raw_create_w_key() : dds_TypeSupport_raw_create();
  dds_TypeSupport_register_type(type_support, replayer->participant, info->type_name);
  dds_TypeSupport_delete(type_support);

  dds_TopicQos topic_qos{};
  dds_DomainParticipant_get_default_topic_qos(replayer->participant, &topic_qos);
  dds_Topic* topic = dds_DomainParticipant_create_topic(replayer->participant, info->topic_name,
                                                        info->type_name, &topic_qos, nullptr, 0);
  dds_TopicQos_finalize(&topic_qos);

  // Reliable and KEEP_ALL, so the writer's own history drops nothing, and
  // advertising the representation the stored bytes carry, so that typed
  // readers accept them.
  dds_DataWriterQos writer_qos{};
  dds_Publisher_get_default_datawriter_qos(replayer->publisher, &writer_qos);
  writer_qos.reliability.kind = dds_RELIABLE_RELIABILITY_QOS;
  writer_qos.history.kind = dds_KEEP_ALL_HISTORY_QOS;
  writer_qos.representation.length = 1;
  writer_qos.representation.value[0] = replayer->recording
                                           ? replayer->recording->representation(info->topic_id)
                                           : stored_representation(replayer->bag, info->topic_id);
  // Samples whose time has come go out packed into few datagrams; the replay
  // thread flushes before every wait.
  writer_qos.batch.enable = true;
  // A topic whose disposes and unregisters are replayed leaves disposing to
  // them: an unregister alone, or the writer going away, disposes nothing.
  const bool events = replayer->recording
                          ? replayer->recording->has_instance_events(info->topic_id)
                          : topic_has_instance_events(replayer->bag, info->topic_id);
  writer_qos.autodispose_unregistered_instances = !events;
  // What the recorded writers offered, merged so that the one writer reaches
  // every subscriber they reached.
  info->publisher = replayer->publisher;
  size_t partitions_left_out = 0;
  if (const auto merged = rnr_replay_merge_qos(recorded, &partitions_left_out)) {
    if (partitions_left_out > 0) {
      rnr_log(RNR_LOG_WARN,
              "Replayer topic(name: %s): its writers had %zu partitions; the replay offers the "
              "first %zu in sorted order and leaves out %zu",
              info->topic_name, merged->partitions.size() + partitions_left_out,
              merged->partitions.size(), partitions_left_out);
    }
    dds_PublisherQos publisher_qos{};
    dds_DomainParticipant_get_default_publisher_qos(replayer->participant, &publisher_qos);
    publisher_qos.entity_factory.autoenable_created_entities = false;
    rnr_replay_apply_qos(*merged, &writer_qos, &publisher_qos);
    if (rnr_replay_needs_own_publisher(publisher_qos)) {
      dds_Publisher* own =
          dds_DomainParticipant_create_publisher(replayer->participant, &publisher_qos, nullptr, 0);
      if (own != nullptr) {
        replayer->topic_publishers.push_back(own);
        info->publisher = own;
      } else {
        rnr_log(RNR_LOG_WARN,
                "Replayer topic(name: %s): cannot create the publisher of its recorded "
                "partitions; it is replayed in the default partition",
                info->topic_name);
      }
    }
    dds_PublisherQos_finalize(&publisher_qos);
    if (merged->ownership == rnr::qos::Ownership::shared &&
        std::any_of(recorded.begin(), recorded.end(), [](const rnr::qos::WriterQos& w) {
          return w.ownership == rnr::qos::Ownership::exclusive;
        })) {
      rnr_log(RNR_LOG_WARN,
              "Replayer topic(name: %s): its writers had shared and exclusive ownership; the "
              "replay offers shared ownership, which exclusive subscribers refuse",
              info->topic_name);
    }
  }
  dds_DataWriter* writer =
      dds_Publisher_create_datawriter(info->publisher, topic, &writer_qos, nullptr, 0);
  if (writer == nullptr && !recorded.empty()) {
    // DDS refused what the recorded writers offered: the topic is still
    // replayed, with the plain writer QoS in the default publisher.
    rnr_log(RNR_LOG_WARN,
            "Replayer topic(name: %s): DDS refuses the QoS of its recorded writers; it is "
            "replayed with the default QoS",
            info->topic_name);
    const dds_DataRepresentationId_t representation = writer_qos.representation.value[0];
    dds_DataWriterQos_finalize(&writer_qos);
    dds_Publisher_get_default_datawriter_qos(replayer->publisher, &writer_qos);
    writer_qos.reliability.kind = dds_RELIABLE_RELIABILITY_QOS;
    writer_qos.history.kind = dds_KEEP_ALL_HISTORY_QOS;
    writer_qos.representation.length = 1;
    writer_qos.representation.value[0] = representation;
    writer_qos.batch.enable = true;
    writer_qos.autodispose_unregistered_instances = !events;
    info->publisher = replayer->publisher;
    writer = dds_Publisher_create_datawriter(info->publisher, topic, &writer_qos, nullptr, 0);
  }
  dds_DataWriterQos_finalize(&writer_qos);
  if (writer == nullptr) {
    rnr_log(RNR_LOG_ERROR, "Replayer Cannot create datawriter");
    return;
  }
  dds_ReturnCode_t ret = dds_DataWriter_enable(writer);
  if (ret != dds_RETCODE_OK) {
    rnr_log(RNR_LOG_ERROR, "Replayer Cannot enable datawriter: ret=%s",
            dds_ReturnCode_to_string(ret));
    dds_Publisher_delete_datawriter(info->publisher, writer);
    rnr_log(RNR_LOG_ERROR, "Replayer Cannot create datawriter");
    return;
  }
  rnr_log(RNR_LOG_INFO, "Replayer Create DataWriter with topic_name: %s, type_name: %s",
          info->topic_name, info->type_name);
  info->datawriter = writer;
  dds_Entity_set_context(writer, 0, replayer);
  dds_Entity_set_context(writer, 1, info.release());
  replayer->datawriter_map[id] = writer;
}

}  // namespace

void create_writers(rnr_replayer* replayer, const std::vector<rnr::bag::TopicSummary>& topics) {
  // The offered QoS of each topic's recorded writers, where the bag has them.
  std::unordered_map<int32_t, std::vector<rnr::qos::WriterQos>> recorded;
  std::vector<rnr_WriterQosRow> qos_rows;
  rnr_replay_qos_notes notes;
  std::string error;
  if (!replayer->bag.writer_qos(&qos_rows, &error)) {
    rnr_log(RNR_LOG_WARN,
            "Replayer Cannot read the recorded writers' QoS (table writer_qos); topics without "
            "them are replayed with the default QoS");
  }
  for (const rnr_WriterQosRow& qos_row : qos_rows) {
    rnr::qos::TextLimitsHit limits;
    if (auto qos = rnr::qos::from_text(qos_row.qos, &limits)) {
      rnr_replay_sanitize_qos(&*qos, qos_row.guid, limits, &notes);
      recorded[qos_row.topic_id].push_back(std::move(*qos));
    } else if (notes.lines < rnr_replay_qos_notes::kMaxQosLines) {
      ++notes.lines;
      rnr_log(RNR_LOG_WARN, "Replayer The recorded QoS of writer %s cannot be read; it is left out",
              qos_row.guid.c_str());
    } else {
      ++notes.unlisted;
    }
  }
  qos_rows.clear();
  qos_rows.shrink_to_fit();
  rnr_replay_qos_notes_finish(&notes);
  size_t done = 0;
  for (const rnr::bag::TopicSummary& row : topics) {
    if (stop_requested()) {
      rnr_log(RNR_LOG_WARN, "Replayer Stopped while creating writers: %zu of %zu topics were seen",
              done, topics.size());
      break;
    }
    ++done;
    const auto found = recorded.find(static_cast<int32_t>(row.id));
    create_writer(replayer, row,
                  found != recorded.end() ? found->second : std::vector<rnr::qos::WriterQos>{});
  }
}

void release_entities(rnr_replayer* replayer) {
  for (auto& [topic_id, writer] : replayer->datawriter_map) {
    auto* info = static_cast<datawriter_info*>(dds_Entity_get_context(writer, 1));
    dds_Publisher_delete_datawriter(info != nullptr ? info->publisher : replayer->publisher,
                                    writer);
    delete info;
  }
  replayer->datawriter_map.clear();
  if (replayer->participant != nullptr) {
    for (dds_Publisher* publisher : replayer->topic_publishers) {
      dds_DomainParticipant_delete_publisher(replayer->participant, publisher);
    }
    replayer->topic_publishers.clear();
    if (replayer->publisher != nullptr) {
      dds_DomainParticipant_delete_publisher(replayer->participant, replayer->publisher);
    }
    dds_DomainParticipantFactory_delete_participant(dds_DomainParticipantFactory_get_instance(),
                                                    replayer->participant);
  }
  replayer->publisher = nullptr;
  replayer->participant = nullptr;
}

bool every_writer_matched(const rnr_replayer* replayer) {
  for (const auto& [topic_id, writer] : replayer->datawriter_map) {
    int32_t matched = 0;
    if (dds_DataWriter_get_total_matched(writer, &matched) == dds_RETCODE_OK && matched == 0) {
      return false;
    }
  }
  return true;
}

}  // namespace rnr::replayer::internal
