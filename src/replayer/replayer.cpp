#include "replayer/replayer.h"

#include <sys/prctl.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <unordered_set>

#include "bag/bag_reader.h"
#include "bag/database.h"
#include "bag/database_open.h"
#include "bag/writer_qos.h"
#include "middleware/dds_api.h"
#include "log/logger.h"
#include "replayer/replay_qos.h"

namespace {

constexpr uint64_t kPauseSliceNs = 1000000000u;
constexpr uint64_t kStartDelayNs = 1000000000u;
// After the start delay, how much longer the start waits while a writer has
// matched no reader yet, and how often it looks.
constexpr uint64_t kMatchGraceNs = 2000000000u;
constexpr uint64_t kMatchPollNs = 10000000u;
constexpr double kMinRate = 0.01;
constexpr double kMaxRate = 100.0;

// A wait deadline on system_clock (CLOCK_REALTIME, the clock of arch_time),
// clamped so that far-off deadlines stay representable.
std::chrono::system_clock::time_point deadline_of(uint64_t time_ns) {
  constexpr uint64_t max_ns = static_cast<uint64_t>(std::numeric_limits<int64_t>::max() / 2);
  if (time_ns > max_ns) {
    time_ns = max_ns;
  }
  return std::chrono::system_clock::time_point(
      std::chrono::duration_cast<std::chrono::system_clock::duration>(
          std::chrono::nanoseconds(static_cast<int64_t>(time_ns))));
}

// Sum that saturates instead of wrapping.
uint64_t saturating_add(uint64_t a, uint64_t b) {
  return b > std::numeric_limits<uint64_t>::max() - a ? std::numeric_limits<uint64_t>::max()
                                                      : a + b;
}

// A recorded gap at the given rate. At rate 1 the gap is kept to the
// nanosecond.
uint64_t scaled_gap(uint64_t gap_ns, double rate) {
  if (rate == 1.0) {
    return gap_ns;
  }
  const double scaled = static_cast<double>(gap_ns) / rate;
  return scaled >= 1.8e19 ? std::numeric_limits<uint64_t>::max() : static_cast<uint64_t>(scaled);
}

double clamp_rate(double rate) {
  return rate >= kMinRate ? std::min(rate, kMaxRate) : kMinRate;
}

// The most the replay thread spins on the clock before a sample's time: a
// longer gap is slept through up to this much before its end.
constexpr uint64_t kMaxSpinWindowNs = 2000000u;
// Added to the latest wake-ups seen, so that a slightly later one is covered.
constexpr uint64_t kSpinMarginNs = 20000u;
// How many recent wake-ups size the spin window.
constexpr size_t kWakeupsTracked = 64;

// Paces writes to the clock: a timed wait until a spin window before the
// deadline, then a spin on the clock until the deadline itself. A thread
// woken from a timed wait is late by tens of microseconds typically and by
// milliseconds at times, while a spinning thread meets its deadline to a
// fraction of a microsecond. The window is sized from how late this replay's
// own wake-ups were: the latest of the recent ones plus a margin, at most
// kMaxSpinWindowNs. Until wake-ups have been seen it is the largest window.
class Pacer {
 public:
  uint64_t window_ns() const { return window_ns_; }

  void observe_wakeup(uint64_t late_ns) {
    lateness_[next_] = late_ns;
    next_ = (next_ + 1) % kWakeupsTracked;
    seen_ = std::min(seen_ + 1, kWakeupsTracked);
    uint64_t latest = 0;
    for (size_t i = 0; i < seen_; ++i) {
      latest = std::max(latest, lateness_[i]);
    }
    window_ns_ = std::min(kMaxSpinWindowNs, latest + latest / 4 + kSpinMarginNs);
  }

 private:
  std::array<uint64_t, kWakeupsTracked> lateness_{};
  size_t next_ = 0;
  size_t seen_ = 0;
  uint64_t window_ns_ = kMaxSpinWindowNs;
};

// What the replay thread carries from one row to the next.
struct Playback {
  uint64_t prev_write_time = 0;
  uint64_t prev_timestamp = 0;
  // The writer whose transmit buffer holds samples not yet sent. The writers
  // batch, and at most one of them holds samples at any time, so samples
  // leave in recorded order across topics too.
  dds_DataWriter* unsent = nullptr;
  Pacer pacer;
  // Rows read, and of them: refused by the write, skipped for an unknown
  // representation or an invalid timestamp, and written early because they
  // were stamped before the sample played before them.
  uint64_t rows = 0;
  uint64_t refused = 0;
  uint64_t unknown_representation = 0;
  uint64_t invalid_time = 0;
  uint64_t earlier = 0;
  // Topic ids whose samples of unknown representation were reported.
  std::unordered_set<int64_t> unknown_topics;
};

inline void spin_pause() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// Sends what the writers hold. Called before every wait, so no sample sits
// in a buffer while the thread waits, and at the end of the replay.
void flush_unsent(Playback& playback) {
  if (playback.unsent != nullptr) {
    dds_DataWriter_flush(playback.unsent);
    playback.unsent = nullptr;
  }
}

bool is_paused(const rnr_replayer* replayer) {
  return replayer->replay_state.load() == REPLAY_PAUSED;
}

bool is_stopped(const rnr_replayer* replayer) {
  return replayer->replay_state.load() == REPLAY_STOPPED;
}

// Takes one single step asked for while paused, if there is one.
bool take_step(rnr_replayer* replayer) {
  uint32_t pending = replayer->steps_pending.load();
  while (pending > 0 && !replayer->steps_pending.compare_exchange_weak(pending, pending - 1)) {
  }
  return pending > 0;
}

// While paused, waits in slices of one second; resume and stop end the slice.
// The state is tested again under `mutex`, so a resume that lands just before
// the wait is not missed. A single step ends the wait too: before a row
// (`may_step`) it is taken, and that row is then written at once while the
// replay stays paused; before a chunk it is left for the chunk's first row.
void wait_while_paused(rnr_replayer* replayer, Playback& playback, bool may_step) {
  auto stepping = [&] {
    return may_step ? take_step(replayer) : replayer->steps_pending.load() > 0;
  };
  if (!is_paused(replayer) || stepping()) {
    return;
  }
  flush_unsent(playback);
  std::unique_lock<std::mutex> lock(replayer->mutex);
  while (is_paused(replayer)) {
    if (stepping()) {
      return;
    }
    uint64_t serial = replayer->control_serial;
    replayer->cond.wait_until(lock, deadline_of(saturating_add(arch_time(), kPauseSliceNs)),
                              [&] { return replayer->control_serial != serial; });
  }
}

// Waits until the absolute time `deadline_ns` unless a control operation
// arrives first, or has already asked for a pause or stop: the sample is then
// written at once. The wait sleeps until the pacer's spin window before the
// deadline and spins on the clock from there. False when the deadline had
// already passed: the sample is late and joins the ones still unsent.
bool wait_for_gap(rnr_replayer* replayer, Playback& playback, uint64_t deadline_ns) {
  if (arch_time() >= deadline_ns) {
    return false;
  }
  flush_unsent(playback);
  const uint64_t serial = replayer->control_serial.load();
  if (is_paused(replayer) || is_stopped(replayer)) {
    return true;
  }
  const uint64_t window = playback.pacer.window_ns();
  const uint64_t wake_ns = deadline_ns > window ? deadline_ns - window : 0;
  if (arch_time() < wake_ns) {
    std::unique_lock<std::mutex> lock(replayer->mutex);
    if (replayer->cond.wait_until(lock, deadline_of(wake_ns),
                                  [&] { return replayer->control_serial.load() != serial; })) {
      return true;
    }
    lock.unlock();
    const uint64_t woke = arch_time();
    playback.pacer.observe_wakeup(woke > wake_ns ? woke - wake_ns : 0);
  }
  while (arch_time() < deadline_ns) {
    if (replayer->control_serial.load(std::memory_order_relaxed) != serial) {
      return true;
    }
    spin_pause();
  }
  return true;
}

// Data representation of the topic's stored samples, read off the 2-byte
// big-endian encapsulation identifier of its first sample: XCDR2 for
// CDR2, D_CDR2 and PL_CDR2 (0x0006..0x000b), XCDR1 otherwise (CDR and PL_CDR,
// 0x0000..0x0003, and whenever nothing can be read).
dds_DataRepresentationId_t stored_representation(sqlite3* db, int32_t topic_id) {
  rnr::bag::BagReader reader(db);
  rnr::bag::SampleChunk chunk;
  std::string error;
  if (!reader.first_sample(topic_id, &chunk, &error)) {
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

// Creates, enables and registers the writer of one topics row. Every failure
// is logged and leaves the topic without a writer.
void create_datawriter(rnr_replayer* replayer, const rnr_TopicsRow* row,
                       const std::vector<rnr::qos::WriterQos>& recorded) {
  // A second row with the same id (a bag whose topics table lacks its
  // primary key) would take over the first one's writer.
  if (!replayer->topic_ids_seen.insert(row->id).second) {
    rnr_log(RNR_LOG_ERROR,
            "Replayer Duplicate topic _id %d! Skip creating datawriter on topic(name: %s, "
            "type_name: %s)",
            row->id, row->topic_name, row->type_name);
    return;
  }
  // A cut name would be another topic or type: such a row gets no writer.
  if (row->name_too_long) {
    rnr_log(RNR_LOG_ERROR,
            "Replayer Name of 256 characters or more! Skip creating datawriter on topic(_id: %d)",
            row->id);
    return;
  }
  const auto& selected = replayer->options.topic_ids;
  if (!selected.empty() && std::find(selected.begin(), selected.end(), row->id) == selected.end()) {
    rnr_log(RNR_LOG_DEBUG, "Replayer Not selected! Skip creating datawriter on topic(name: %s)",
            row->topic_name);
    return;
  }
  int32_t count = rnr_Database_get_data_count(replayer->database, row->id);
  if (count <= 0) {
    rnr_log(RNR_LOG_INFO,
            "Replayer No data! Skip creating datawriter info on topic(name: %s, type_name: %s)",
            row->topic_name, row->type_name);
    return;
  }

  auto info = std::make_unique<datawriter_info>();
  info->topic_id = row->id;
  rnr_name_copy(info->type_name, row->type_name);
  rnr_name_copy(info->topic_name, row->topic_name);
  for (const auto& [from, to] : replayer->options.remap) {
    if (from == row->topic_name && to.size() < RNR_NAME_FIELD_SIZE) {
      rnr_name_copy(info->topic_name, to.c_str());
      break;
    }
  }
  info->is_with_key = row->is_with_key != 0;

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
  writer_qos.representation.value[0] =
      stored_representation(replayer->database->db, info->topic_id);
  // Samples whose time has come go out packed into few datagrams; the replay
  // thread flushes before every wait.
  writer_qos.batch.enable = true;
  // What the recorded writers offered, merged so that the one writer reaches
  // every subscriber they reached.
  info->publisher = replayer->publisher;
  if (const auto merged = rnr_replay_merge_qos(recorded)) {
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
  dds_DataWriterQos_finalize(&writer_qos);

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
  if (writer == nullptr) {
    rnr_log(RNR_LOG_ERROR, "Replayer Cannot create datawriter");
    return;
  }
  info->datawriter = writer;
  dds_Entity_set_context(writer, 0, replayer);
  dds_Entity_set_context(writer, 1, info.release());
  replayer->datawriter_map[row->id] = writer;
}

// Deletes every writer with its info, the publisher and the participant.
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

// Whether the 2-byte encapsulation identifier that begins a sample names a
// representation a writer can send: CDR_BE/LE and PL_CDR_BE/LE (XCDR1,
// 0x0000..0x0003), CDR2, D_CDR2 and PL_CDR2 in both byte orders (XCDR2,
// 0x0006..0x000b). Anything else would be handed to the readers as is, and a
// reader that cannot take it holds up the writer's acknowledgements.
bool known_representation(const uint8_t* bytes, size_t size) {
  if (size < 2) {
    return true;  // too short for any header: the write refuses it
  }
  return bytes[0] == 0x00 && (bytes[1] <= 0x03 || (bytes[1] >= 0x06 && bytes[1] <= 0x0b));
}

constexpr uint64_t kLongGapNs = 3600ull * 1000000000ull;

// Writes the rows of one chunk.
void replay_chunk(rnr_replayer* replayer, const rnr::bag::SampleChunk& chunk, Playback& playback) {
  for (const rnr::bag::SampleRow& row : chunk.rows()) {
    if (is_stopped(replayer)) {
      return;
    }
    wait_while_paused(replayer, playback, true);
    ++playback.rows;

    const auto current_id = static_cast<long long>(row.id);
    // A topic id outside 32 bits names no topic of the bag.
    const auto topic_id = static_cast<int32_t>(row.topic_id);
    // A reception time that is not a non-negative integer (a bag written by
    // another tool, or damaged) cannot be paced against: read as a huge
    // unsigned number it would hold the replay in one endless wait.
    if (!row.timestamp_is_integer || row.timestamp < 0) {
      rnr_log(RNR_LOG_WARN, "Replayer Skip data with invalid timestamp (_id: %lld)", current_id);
      ++playback.invalid_time;
      continue;
    }
    auto timestamp = static_cast<uint64_t>(row.timestamp);
    const uint8_t* bytes = row.data;
    size_t size = row.size;
    if (!known_representation(bytes, size)) {
      if (playback.unknown_topics.insert(row.topic_id).second) {
        rnr_log(RNR_LOG_WARN,
                "Replayer Skip samples of topic_id %lld whose encapsulation header is not a known "
                "representation (first: _id %lld, header %02x %02x)",
                static_cast<long long>(row.topic_id), current_id, bytes[0], bytes[1]);
      }
      ++playback.unknown_representation;
      continue;
    }

    // A sample that had to wait for its time leaves at once; late ones (the
    // first, and those whose time passed while earlier ones were written)
    // are packed together until the next wait or change of writer. A sample
    // stamped earlier than the one before (a clock stepped back during the
    // recording) is written at once, and the ones after it are paced from it.
    bool on_time = false;
    if (playback.prev_write_time != 0) {
      if (playback.prev_timestamp > timestamp) {
        ++playback.earlier;
      } else {
        const uint64_t gap = scaled_gap(timestamp - playback.prev_timestamp, replayer->rate.load());
        if (gap > kLongGapNs) {
          rnr_log(RNR_LOG_WARN, "Replayer Waiting %.0f s for the next sample (_id: %lld)",
                  static_cast<double>(gap) / 1e9, current_id);
        }
        on_time = wait_for_gap(replayer, playback, saturating_add(playback.prev_write_time, gap));
      }
    }

    auto found = row.topic_id == topic_id ? replayer->datawriter_map.find(topic_id)
                                          : replayer->datawriter_map.end();
    dds_DataWriter* writer = found == replayer->datawriter_map.end() ? nullptr : found->second;
    if (writer != playback.unsent) {
      flush_unsent(playback);
    }
    playback.prev_write_time = arch_time();
    dds_ReturnCode_t ret = dds_DataWriter_raw_write(writer, bytes, size);
    playback.unsent = writer;
    if (on_time) {
      flush_unsent(playback);
    }
    playback.prev_timestamp = timestamp;
    if (ret != dds_RETCODE_OK) {
      ++playback.refused;
      rnr_log(RNR_LOG_ERROR, "Replayer Cannot write data (_id: %lld, ret=%d)", current_id, ret);
    } else {
      static_cast<datawriter_info*>(dds_Entity_get_context(writer, 1))->written++;
      replayer->samples_written.fetch_add(1);
      replayer->position.store(row.timestamp);
      rnr_log(RNR_LOG_DEBUG, "Replayer Write Data(_id=%lld, topic_id=%d)", current_id, topic_id);
    }
  }
}

// One line when not every sample of the bag could be written, saying how
// many and why; the count stays with the replayer for its owner.
void report_unwritten(rnr_replayer* replayer, const Playback& playback) {
  const uint64_t unwritten =
      playback.refused + playback.unknown_representation + playback.invalid_time;
  if (playback.earlier > 0) {
    rnr_log(RNR_LOG_WARN,
            "Replayer %llu samples were stamped earlier than the sample before them and were "
            "written at once",
            static_cast<unsigned long long>(playback.earlier));
  }
  replayer->unwritten.store(unwritten);
  if (unwritten > 0) {
    rnr_log(RNR_LOG_ERROR,
            "Replayer Could not write %llu of %llu samples: %llu refused by the writer (no "
            "writer for the topic, or no valid sample), %llu of an unknown representation, %llu "
            "without a valid timestamp",
            static_cast<unsigned long long>(unwritten),
            static_cast<unsigned long long>(playback.rows),
            static_cast<unsigned long long>(playback.refused),
            static_cast<unsigned long long>(playback.unknown_representation),
            static_cast<unsigned long long>(playback.invalid_time));
  }
}

// Whether every writer has matched at least one reader.
bool every_writer_matched(const rnr_replayer* replayer) {
  for (const auto& [topic_id, writer] : replayer->datawriter_map) {
    int32_t matched = 0;
    if (dds_DataWriter_get_total_matched(writer, &matched) == dds_RETCODE_OK && matched == 0) {
      return false;
    }
  }
  return true;
}

// One line per writer that subscribers refused since the last report
// (offered incompatible QoS), naming the policy.
void report_refusing_subscribers(rnr_replayer* replayer) {
  for (const auto& [topic_id, writer] : replayer->datawriter_map) {
    auto* info = static_cast<datawriter_info*>(dds_Entity_get_context(writer, 1));
    dds_IncompatibleQosStatus status{};
    if (info == nullptr ||
        dds_DataWriter_get_offered_incompatible_qos(writer, &status) != dds_RETCODE_OK ||
        status.total_count <= info->refused_reported) {
      continue;
    }
    rnr_log(RNR_LOG_WARN,
            "Replayer topic(name: %s, type_name: %s): %d subscriber(s) refused the replay "
            "writer: offered incompatible QoS, policy %s",
            info->topic_name, info->type_name, status.total_count - info->refused_reported,
            rnr::qos::policy_name(status.last_policy_id).c_str());
    info->refused_reported = status.total_count;
  }
}

// Names every topic whose writer never matched a reader: what it wrote
// reached nobody.
void report_unheard_topics(rnr_replayer* replayer) {
  report_refusing_subscribers(replayer);
  for (const auto& [topic_id, writer] : replayer->datawriter_map) {
    int32_t matched = 0;
    if (dds_DataWriter_get_total_matched(writer, &matched) == dds_RETCODE_OK && matched == 0) {
      const auto* info = static_cast<const datawriter_info*>(dds_Entity_get_context(writer, 1));
      rnr_log(RNR_LOG_WARN,
              "Replayer No reader matched topic(name: %s, type_name: %s): %llu samples written "
              "reached nobody",
              info->topic_name, info->type_name, static_cast<unsigned long long>(info->written));
    }
  }
}

// The replay cannot run: tells the owner, who would otherwise wait for an end
// that never comes.
void report_failure(rnr_replayer* replayer) {
  if (replayer->on_replay_failed != nullptr) {
    replayer->on_replay_failed(replayer);
  }
}

// How long the latched state's readers may take to acknowledge it.
constexpr int64_t kLatchedAckWaitNs = 1000000000;

// Writes at once the latched state: the given samples, else the latest
// sample before the start of each latched topic that is played, oldest
// first. False when they cannot be read.
bool write_latched(rnr_replayer* replayer, rnr::bag::BagReader& reader,
                   rnr::bag::SampleChunk& chunk, std::string* error) {
  const rnr_replay_options& options = replayer->options;
  if (!options.start) {
    return true;
  }
  std::vector<int64_t> ids;
  if (options.latched_sample_ids) {
    ids = *options.latched_sample_ids;
  } else {
    std::vector<int64_t> topics;
    for (int32_t id : options.latched_topic_ids) {
      if (replayer->datawriter_map.count(id) != 0) {
        topics.push_back(id);
      }
    }
    if (!topics.empty() && !reader.latest_before(topics, *options.start, &ids, error)) {
      return false;
    }
  }
  std::unordered_set<dds_DataWriter*> latched_writers;
  // A chunk's worth of rows in memory at a time.
  for (size_t from = 0; from < ids.size() && !is_stopped(replayer);
       from += rnr::bag::BagReader::kChunkRows) {
    const size_t to = std::min(ids.size(), from + rnr::bag::BagReader::kChunkRows);
    if (!reader.read_ids({ids.begin() + static_cast<std::ptrdiff_t>(from),
                          ids.begin() + static_cast<std::ptrdiff_t>(to)},
                         &chunk, error)) {
      return false;
    }
    for (const rnr::bag::SampleRow& row : chunk.rows()) {
      auto found = replayer->datawriter_map.find(static_cast<int32_t>(row.topic_id));
      if (found == replayer->datawriter_map.end()) {
        continue;
      }
      dds_DataWriter* writer = found->second;
      dds_ReturnCode_t ret = dds_DataWriter_raw_write(writer, row.data, row.size);
      dds_DataWriter_flush(writer);
      if (ret != dds_RETCODE_OK) {
        rnr_log(RNR_LOG_ERROR, "Replayer Cannot write data (_id: %d, ret=%d)",
                static_cast<int32_t>(row.id), ret);
        continue;
      }
      static_cast<datawriter_info*>(dds_Entity_get_context(writer, 1))->written++;
      replayer->samples_written.fetch_add(1);
      latched_writers.insert(writer);
      rnr_log(RNR_LOG_DEBUG, "Replayer Write latched Data(_id=%d, topic_id=%d)",
              static_cast<int32_t>(row.id), static_cast<int32_t>(row.topic_id));
    }
  }
  // The latched state is there when the interval begins: a sample that DDS
  // has to send again (a lost datagram) is not overtaken by the interval's
  // first ones on other topics. Readers that do not acknowledge within the
  // bound do not hold the interval up longer.
  const int64_t deadline = arch_time() + kLatchedAckWaitNs;
  for (dds_DataWriter* writer : latched_writers) {
    const int64_t left = deadline - arch_time();
    if (left <= 0 || is_stopped(replayer)) {
      break;
    }
    dds_DataWriter_wait_for_acknowledgments(writer, left);
  }
  return true;
}

// One pass over the selected samples: chunk by chunk in _id order, each read
// in a short read transaction of its own. Returns the rows read, or -1 when a
// read failed (logged).
int64_t replay_pass(rnr_replayer* replayer, rnr::bag::BagReader& reader,
                    const rnr::bag::SampleFilter& filter, rnr::bag::SampleChunk& chunk,
                    Playback& playback, bool first_pass) {
  std::string error;
  if (!write_latched(replayer, reader, chunk, &error)) {
    rnr_log(RNR_LOG_ERROR, "Replayer Cannot read the latched samples (%s)", error.c_str());
    return -1;
  }
  int64_t rows = 0;
  int64_t after = std::numeric_limits<int64_t>::min();
  while (!is_stopped(replayer)) {
    wait_while_paused(replayer, playback, false);
    if (!reader.read_chunk(filter, after, &chunk, &error)) {
      if (first_pass && rows == 0) {
        rnr_log(RNR_LOG_ERROR, "Replayer Cannot prepare database query (%s)", error.c_str());
      } else {
        rnr_log(RNR_LOG_ERROR, "Replayer Cannot read data after _id %lld (%s)",
                static_cast<long long>(after), error.c_str());
      }
      return -1;
    }
    if (chunk.empty()) {
      break;
    }
    rnr_log(RNR_LOG_DEBUG, "Replayer Read data %d ~ %d",
            static_cast<int32_t>(chunk.rows().front().id), static_cast<int32_t>(chunk.last_id()));
    rows += static_cast<int64_t>(chunk.rows().size());
    replay_chunk(replayer, chunk, playback);
    after = chunk.last_id();
  }
  return rows;
}

void replay_thread_run(rnr_replayer* replayer) {
  // Timed waits of this thread end as close to their deadline as the kernel
  // allows, instead of within the default 50 us slack.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  rnr::bag::BagReader reader(replayer->database->db);
  rnr::bag::SampleFilter filter;
  filter.topic_ids.assign(replayer->options.topic_ids.begin(), replayer->options.topic_ids.end());
  filter.start = replayer->options.start;
  filter.end = replayer->options.end;

  Playback playback;
  rnr::bag::SampleChunk chunk;
  bool failed = false;
  for (bool first = true; !is_stopped(replayer); first = false) {
    const int64_t rows = replay_pass(replayer, reader, filter, chunk, playback, first);
    failed = rows < 0;
    if (failed || is_stopped(replayer)) {
      break;
    }
    replayer->passes.fetch_add(1);
    // Looping over nothing would spin; otherwise the next pass begins at
    // once, with its first sample written without a gap.
    if (!replayer->options.loop || rows == 0) {
      break;
    }
    playback.prev_write_time = 0;
  }

  // Everything written is sent before the replay counts as finished.
  flush_unsent(playback);
  if (failed) {
    report_failure(replayer);
    return;
  }
  if (!is_stopped(replayer)) {
    report_unwritten(replayer, playback);
  }
  report_unheard_topics(replayer);
  if (replayer->on_replay_finished != nullptr) {
    replayer->on_replay_finished(replayer);
  }
}

// Sets the state and cuts short whatever wait the replay thread is in.
void signal_control(rnr_replayer* replayer, uint8_t state) {
  // Steps asked for in an earlier pause do not carry over.
  replayer->steps_pending.store(0);
  replayer->replay_state.store(state);
  {
    std::lock_guard<std::mutex> lock(replayer->mutex);
    ++replayer->control_serial;
  }
  replayer->cond.notify_one();
}

}  // namespace

rnr_replayer* rnr_replayer_create(const char* bag_file, int32_t domain_id) {
  return rnr_replayer_create_with_options(bag_file, domain_id, nullptr);
}

rnr_replayer* rnr_replayer_create_with_options(const char* bag_file, int32_t domain_id,
                                               const rnr_replay_options* options) {
  if (bag_file == nullptr) {
    bag_file = "";
  }
  size_t length = strnlen(bag_file, RNR_NAME_FIELD_SIZE + 1);
  if (length > RNR_NAME_FIELD_SIZE) {
    rnr_log(RNR_LOG_ERROR, "Replayer Path length exceeded! max_length=256, length=%ld",
            static_cast<long>(std::strlen(bag_file)));
    return nullptr;
  }

  auto replayer = std::make_unique<rnr_replayer>();
  if (options != nullptr) {
    replayer->options = *options;
  }
  replayer->rate.store(clamp_rate(replayer->options.rate));

  dds_DomainParticipantFactory* factory = dds_DomainParticipantFactory_get_instance();
  dds_DomainParticipantFactoryQos factory_qos{};
  factory_qos.entity_factory.autoenable_created_entities = true;
  dds_DomainParticipantFactory_set_qos(factory, &factory_qos);

  replayer->participant = dds_DomainParticipantFactory_create_participant(
      factory, domain_id, &dds_PARTICIPANT_QOS_DEFAULT, nullptr, 0);
  if (replayer->participant == nullptr) {
    rnr_log(RNR_LOG_ERROR, "Replayer Cannot create replayer participant");
    return nullptr;
  }

  dds_PublisherQos publisher_qos{};
  dds_DomainParticipant_get_default_publisher_qos(replayer->participant, &publisher_qos);
  publisher_qos.entity_factory.autoenable_created_entities = false;
  replayer->publisher =
      dds_DomainParticipant_create_publisher(replayer->participant, &publisher_qos, nullptr, 0);
  dds_PublisherQos_finalize(&publisher_qos);

  // The bag is only read: it is opened without create rights, and nothing is
  // written to it but the rollback of a hot journal.
  replayer->bag_file.assign(bag_file, length);
  replayer->database = rnr_Database_open_existing(replayer->bag_file.c_str());
  rnr_TopicsRowList* rows = replayer->database != nullptr
                                ? rnr_Database_get_topics_row_list(replayer->database)
                                : nullptr;
  if (rows == nullptr) {
    rnr_log(RNR_LOG_ERROR, "Replayer Cannot get topic list from database");
    rnr_Database_destroy(replayer->database);
    replayer->database = nullptr;
    release_entities(replayer.get());
    return nullptr;
  }

  // The offered QoS of each topic's recorded writers, where the bag has them.
  std::unordered_map<int32_t, std::vector<rnr::qos::WriterQos>> recorded;
  bool qos_readable = true;
  const std::vector<rnr_WriterQosRow> qos_rows =
      rnr_bag_read_writer_qos(replayer->database->db, &qos_readable);
  if (!qos_readable) {
    rnr_log(RNR_LOG_WARN,
            "Replayer Cannot read the recorded writers' QoS (table writer_qos); topics without "
            "them are replayed with the default QoS");
  }
  for (const rnr_WriterQosRow& qos_row : qos_rows) {
    if (auto qos = rnr::qos::from_text(qos_row.qos)) {
      recorded[qos_row.topic_id].push_back(std::move(*qos));
    } else {
      rnr_log(RNR_LOG_WARN, "Replayer The recorded QoS of writer %s cannot be read; it is left out",
              qos_row.guid.c_str());
    }
  }
  for (const auto& row : rows->rows) {
    const auto found = recorded.find(row->id);
    create_datawriter(replayer.get(), row.get(),
                      found != recorded.end() ? found->second : std::vector<rnr::qos::WriterQos>{});
  }
  rnr_Database_topics_row_list_destroy(rows);
  return replayer.release();
}

void rnr_replayer_set_on_replay_finished(rnr_replayer* replayer,
                                         rnr_replay_finished_callback callback) {
  if (replayer != nullptr) {
    replayer->on_replay_finished = callback;
  }
}

void rnr_replayer_set_on_replay_failed(rnr_replayer* replayer,
                                       rnr_replay_failed_callback callback) {
  if (replayer != nullptr) {
    replayer->on_replay_failed = callback;
  }
}

uint64_t rnr_replayer_unwritten(const rnr_replayer* replayer) {
  return replayer == nullptr ? 0 : replayer->unwritten.load();
}

rnr_replay_progress rnr_replayer_progress(const rnr_replayer* replayer) {
  rnr_replay_progress progress;
  if (replayer != nullptr) {
    progress.samples_written = replayer->samples_written.load();
    progress.position = replayer->position.load();
    progress.passes = replayer->passes.load();
    progress.state = replayer->replay_state.load();
    progress.rate = replayer->rate.load();
  }
  return progress;
}

size_t rnr_replayer_writer_count(const rnr_replayer* replayer) {
  return replayer == nullptr ? 0 : replayer->datawriter_map.size();
}

void rnr_replayer_start_replay(rnr_replayer* replayer) {
  if (replayer == nullptr) {
    return;
  }
  if (replayer->thread_started) {
    rnr_log(RNR_LOG_ERROR, "Replayer Replay already started; a replayer replays once");
    return;
  }
  arch_sleep(kStartDelayNs);
  // A reader that discovery has not matched yet would miss the first
  // samples (a peer of another vendor may take longer than the delay): give
  // the writers that have no reader yet a little more time, but never wait
  // long for topics that nobody listens to.
  for (uint64_t waited = 0; waited < kMatchGraceNs && !every_writer_matched(replayer);
       waited += kMatchPollNs) {
    arch_sleep(kMatchPollNs);
  }
  report_refusing_subscribers(replayer);
  // A replay that starts paused is paused before its thread can write.
  if (replayer->options.paused) {
    replayer->replay_state.store(REPLAY_PAUSED);
  }
  try {
    replayer->replay_thread = std::thread(replay_thread_run, replayer);
  } catch (const std::system_error&) {
    rnr_log(RNR_LOG_ERROR, "Replayer Cannot create replay thread");
    report_failure(replayer);
    return;
  }
  replayer->thread_started = true;
  if (!replayer->options.paused) {
    replayer->replay_state.store(REPLAY_PLAYING);
  }
}

void rnr_replayer_set_rate(rnr_replayer* replayer, double rate) {
  if (replayer != nullptr) {
    replayer->rate.store(clamp_rate(rate));
  }
}

void rnr_replayer_step_replay(rnr_replayer* replayer) {
  if (replayer == nullptr || replayer->replay_state.load() != REPLAY_PAUSED) {
    return;
  }
  replayer->steps_pending.fetch_add(1);
  {
    std::lock_guard<std::mutex> lock(replayer->mutex);
    ++replayer->control_serial;
  }
  replayer->cond.notify_one();
}

void rnr_replayer_pause_replay(rnr_replayer* replayer) {
  if (replayer != nullptr) {
    signal_control(replayer, REPLAY_PAUSED);
  }
}

void rnr_replayer_resume_replay(rnr_replayer* replayer) {
  if (replayer != nullptr) {
    signal_control(replayer, REPLAY_PLAYING);
  }
}

void rnr_replayer_stop_replay(rnr_replayer* replayer) {
  if (replayer == nullptr) {
    return;
  }
  signal_control(replayer, REPLAY_STOPPED);
  if (replayer->replay_thread.joinable() &&
      replayer->replay_thread.get_id() != std::this_thread::get_id()) {
    replayer->replay_thread.join();
  }
}

void rnr_replayer_destroy(rnr_replayer* replayer) {
  if (replayer == nullptr) {
    return;
  }
  if (replayer->replay_thread.joinable()) {
    rnr_replayer_stop_replay(replayer);
  }
  rnr_Database_destroy(replayer->database);
  replayer->database = nullptr;
  release_entities(replayer);
  delete replayer;
}
