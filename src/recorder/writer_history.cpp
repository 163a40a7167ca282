#include "recorder/writer_history.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "bag/writer_qos.h"
#include "recorder/recorder_internal.h"

namespace rnr::recorder::internal {
namespace {

using rnr::qos::HistorySource;

// How long after its discovery a writer is watched at most, and how many
// instances of it are counted at most.
constexpr uint64_t kWatchNs = 10000000000u;
constexpr size_t kMaxInstances = 100000;

// Cyclone DDS: vendor id 1.16, the first two bytes of its GUID prefixes.
bool announces_its_durability_service(const uint8_t guid[16]) {
  return guid[0] == 0x01 && guid[1] == 0x10;
}

uint64_t first_word(const uint8_t bytes[16]) {
  uint64_t v = 0;
  std::memcpy(&v, bytes, sizeof v);
  return v;
}

uint64_t source_time_ns(const dds_SampleInfo& info) {
  return static_cast<uint64_t>(static_cast<uint32_t>(info.source_timestamp.sec)) * 1000000000u +
         info.source_timestamp.nanosec;
}

// One durable writer whose history is being observed.
struct Watch {
  const rnr_recorder* recorder = nullptr;
  int32_t topic_id = 0;
  int32_t writer_id = 0;
  uint8_t guid[16] = {};
  uint64_t discovered_ns = 0;
  rnr::qos::WriterQos qos;  // as announced; its row is written again with the history
  std::unordered_map<uint64_t, int32_t> per_instance;
  int32_t observed = 0;  // the most samples of one instance delivered on matching
  int32_t written = 0;   // the depth in the row last written
  bool ended = false;    // a sample written after the discovery came, or too many instances
};

struct HandleKey {
  const rnr_TopicInfo* entry;
  uint64_t handle;
  bool operator==(const HandleKey&) const = default;
};
struct HandleKeyHash {
  size_t operator()(const HandleKey& k) const {
    return std::hash<const void*>()(k.entry) ^ std::hash<uint64_t>()(k.handle);
  }
};

// The writers watched, of every recorder of the process; empty almost always
// (Cyclone DDS writers are never watched), and then the captures pay one
// atomic load.
struct Registry {
  std::mutex mutex;
  std::vector<std::unique_ptr<Watch>> watches;
  // Publication handles seen by a topic's readers while writers are watched:
  // the watch they belong to, or null.
  std::unordered_map<HandleKey, Watch*, HandleKeyHash> handles;
  std::atomic<size_t> active{0};
};

Registry& registry() {
  static Registry r;
  return r;
}

// Drops the watches that ended or ran out of time. Under the mutex.
void sweep(Registry& r, uint64_t now) {
  std::vector<const Watch*> gone;
  for (const auto& w : r.watches) {
    if (w->ended || now - w->discovered_ns > kWatchNs) {
      gone.push_back(w.get());
    }
  }
  if (gone.empty()) {
    return;
  }
  const auto is_gone = [&gone](const Watch* w) {
    return std::find(gone.begin(), gone.end(), w) != gone.end();
  };
  std::erase_if(r.handles, [&](const auto& h) { return is_gone(h.second); });
  std::erase_if(r.watches, [&](const auto& w) { return is_gone(w.get()); });
  if (r.watches.empty()) {
    r.handles.clear();
  }
  r.active.store(r.watches.size());
}

}  // namespace

void history_at_discovery(rnr_recorder* recorder, const rnr_TopicInfo* entry, int32_t writer_id,
                          const uint8_t writer_guid[16], rnr::qos::WriterQos* offered) {
  if (offered->durability == rnr::qos::Durability::volatile_) {
    return;  // late joiners get nothing of a volatile writer
  }
  if (announces_its_durability_service(writer_guid)) {
    offered->history = {offered->durability_service.history, offered->durability_service.depth,
                        HistorySource::discovery};
    return;
  }
  Registry& r = registry();
  try {
    auto w = std::make_unique<Watch>();
    w->recorder = recorder;
    w->topic_id = entry->id;
    w->writer_id = writer_id;
    std::memcpy(w->guid, writer_guid, sizeof w->guid);
    w->discovered_ns = arch_time();
    w->qos = *offered;
    std::lock_guard<std::mutex> lock(r.mutex);
    sweep(r, w->discovered_ns);
    // A handle seen before this writer's announcement is looked up again.
    std::erase_if(r.handles, [](const auto& h) { return h.second == nullptr; });
    r.watches.push_back(std::move(w));
    r.active.store(r.watches.size());
  } catch (const std::bad_alloc&) {
    // Without the watch the row keeps the announced durability service.
  }
}

void history_sample(rnr_recorder* recorder, rnr_TopicInfo* entry, dds_DataReader* reader,
                    const dds_SampleInfo& info) {
  Registry& r = registry();
  if (r.active.load(std::memory_order_relaxed) == 0) {
    return;
  }
  std::lock_guard<std::mutex> lock(r.mutex);
  const HandleKey key{entry, first_word(info.publication_handle.value)};
  auto found = r.handles.find(key);
  if (found == r.handles.end()) {
    uint8_t guid[16] = {};
    dds_PublicationBuiltinTopicData data{};
    Watch* watch = nullptr;
    if (dds_DataReader_get_matched_publication(reader, &info.publication_handle, guid, &data) ==
        dds_RETCODE_OK) {
      for (const auto& w : r.watches) {
        if (w->recorder == recorder && w->topic_id == entry->id &&
            std::memcmp(w->guid, guid, sizeof guid) == 0) {
          watch = w.get();
        }
      }
    }
    found = r.handles.emplace(key, watch).first;
  }
  Watch* w = found->second;
  if (w == nullptr || w->ended) {
    return;
  }
  if (source_time_ns(info) >= w->discovered_ns) {
    w->ended = true;  // written after the writer was discovered: a live sample
    return;
  }
  const uint64_t instance = first_word(info.instance_handle.value);
  if (w->per_instance.size() >= kMaxInstances && w->per_instance.count(instance) == 0) {
    w->ended = true;
    return;
  }
  w->observed = std::max(w->observed, ++w->per_instance[instance]);
}

void history_capture_done(rnr_recorder* recorder, rnr_TopicInfo* entry) {
  Registry& r = registry();
  if (r.active.load(std::memory_order_relaxed) == 0) {
    return;
  }
  std::vector<std::pair<int32_t, std::string>> rows;
  {
    std::lock_guard<std::mutex> lock(r.mutex);
    for (const auto& w : r.watches) {
      if (w->recorder == recorder && w->topic_id == entry->id && w->observed > w->written) {
        w->written = w->observed;
        rnr::qos::WriterQos qos = w->qos;
        qos.history = {rnr::qos::History::keep_last, w->observed, HistorySource::observed};
        rows.emplace_back(w->writer_id, rnr::qos::to_text(qos));
      }
    }
    sweep(r, arch_time());
  }
  for (const auto& [writer_id, text] : rows) {
    rnr_Database_insert_writer_qos(recorder->database, writer_id, entry->id, text);
  }
}

}  // namespace rnr::recorder::internal
