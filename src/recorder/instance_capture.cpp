#include "recorder/instance_capture.h"

#include <cstring>
#include <mutex>

#include "bag/instance_events.h"
#include "recorder/long_run_internal.h"
#include "recorder/recorder_internal.h"
#include "types/dds_guid.h"

namespace rnr::recorder::internal {

namespace {

void record(rnr_recorder* recorder, rnr_TopicInfo* entry, dds_DataReader* reader,
            const dds_SampleInfo& info, const void* key, uint32_t key_size, bool with_sample) {
  rnr_InstanceEventRow row{};
  row.with_sample = with_sample;
  if (info.instance_state == dds_NOT_ALIVE_DISPOSED_INSTANCE_STATE) {
    row.kind = RNR_INSTANCE_DISPOSE;
  } else if (info.instance_state == dds_NOT_ALIVE_NO_WRITERS_INSTANCE_STATE) {
    row.kind = RNR_INSTANCE_UNREGISTER;
  } else {
    return;  // alive again by the time of the take: nothing to replay
  }
  row.topic_id = static_cast<uint32_t>(entry->id);
  row.source_timestamp =
      static_cast<uint64_t>(static_cast<uint32_t>(info.source_timestamp.sec)) * 1000000000u +
      info.source_timestamp.nanosec;
  row.key = key_size > 0 ? key : nullptr;
  row.key_size = key_size > 0 && key != nullptr ? key_size : 0;
  row.key_hash = info.has_key_hash ? info.key_hash : nullptr;
  uint8_t guid_bytes[16] = {};
  dds_PublicationBuiltinTopicData writer{};
  char guid_text[DDS_GUID_TEXT_SIZE] = {};
  if (dds_DataReader_get_matched_publication(reader, &info.publication_handle, guid_bytes,
                                             &writer) == dds_RETCODE_OK) {
    dds_guid guid{};
    std::memcpy(&guid, guid_bytes, sizeof guid);
    if (dds_guid_to_text(&guid, guid_text, sizeof guid_text) > 0) {
      row.writer_guid = guid_text;
    }
  }
  std::lock_guard<std::mutex> lock(recorder->insert_mutex);
  row.timestamp = arch_time();
  const LongRun* run = recorder->long_run.get();
  if (run != nullptr && run->mode != RNR_RECORDER_MODE_RECORDING) {
    return;
  }
  rnr_Database_insert_instance_event(recorder->database, &row);
}

}  // namespace

void record_instance_event(rnr_recorder* recorder, rnr_TopicInfo* entry, dds_DataReader* reader,
                           const dds_SampleInfo& info, const void* key, uint32_t key_size) {
  record(recorder, entry, reader, info, key, key_size, false);
}

void record_instance_event_with_sample(rnr_recorder* recorder, rnr_TopicInfo* entry,
                                       dds_DataReader* reader, const dds_SampleInfo& info) {
  record(recorder, entry, reader, info, nullptr, 0, true);
}

bool last_of_instance_in_take(const rnr_TopicInfo* entry, size_t position) {
  const auto& order = entry->capture_order;
  const auto handle_at = [&](size_t k) -> const dds_InstanceHandle_t* {
    const rnr_TakeBuffers& b = *entry->take_buffers[order[k].set];
    const dds_SampleInfo* info = dds_SampleInfoSeq_get(b.sample_infos, order[k].index);
    return info == nullptr ? nullptr : &info->instance_handle;
  };
  const dds_InstanceHandle_t* own = handle_at(position);
  if (own == nullptr) {
    return false;
  }
  for (size_t k = position + 1; k < order.size(); ++k) {
    const dds_InstanceHandle_t* other = handle_at(k);
    if (other != nullptr && std::memcmp(other->value, own->value, sizeof own->value) == 0) {
      return false;
    }
  }
  return true;
}

}  // namespace rnr::recorder::internal
