#include "replayer/replayer.h"

#include <sqlite3.h>
#include <sys/prctl.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>

#include "bag/database.h"
#include "bag/database_open.h"
#include "middleware/dds_api.h"
#include "log/logger.h"

namespace {

constexpr uint64_t kPauseSliceNs = 1000000000u;
constexpr uint64_t kStartDelayNs = 1000000000u;
// After the start delay, how much longer the start waits while a writer has
// matched no reader yet, and how often it looks.
constexpr uint64_t kMatchGraceNs = 2000000000u;
constexpr uint64_t kMatchPollNs = 10000000u;
constexpr int32_t kChunkIds = 8;
// The longest a read transaction of the replay thread lasts (renewed after
// the chunk that passes it).
constexpr uint64_t kTransactionNs = 100000000u;

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

// While paused, waits in slices of one second; resume and stop end the slice.
// The state is tested again under `mutex`, so a resume that lands just before
// the wait is not missed.
void wait_while_paused(rnr_replayer* replayer, Playback& playback) {
  if (!is_paused(replayer)) {
    return;
  }
  flush_unsent(playback);
  std::unique_lock<std::mutex> lock(replayer->mutex);
  while (is_paused(replayer)) {
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
  dds_DataRepresentationId_t representation = dds_XCDR_DATA_REPRESENTATION;
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db,
                         "SELECT serialized_data FROM data WHERE topic_id = ? ORDER BY _id LIMIT 1",
                         -1, &stmt, nullptr) != SQLITE_OK) {
    rnr_log(RNR_LOG_WARN, "Replayer Cannot read the data representation of topic %d", topic_id);
    sqlite3_finalize(stmt);
    return representation;
  }
  if (sqlite3_bind_int(stmt, 1, topic_id) == SQLITE_OK && sqlite3_step(stmt) == SQLITE_ROW) {
    const auto* bytes = static_cast<const uint8_t*>(sqlite3_column_blob(stmt, 0));
    int size = sqlite3_column_bytes(stmt, 0);
    if (bytes != nullptr && size >= 2 && bytes[0] == 0x00 && bytes[1] >= 0x06 && bytes[1] <= 0x0b) {
      representation = dds_XCDR2_DATA_REPRESENTATION;
    }
  }
  sqlite3_finalize(stmt);
  return representation;
}

// Creates, enables and registers the writer of one topics row. Every failure
// is logged and leaves the topic without a writer.
void create_datawriter(rnr_replayer* replayer, const rnr_TopicsRow* row) {
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
  dds_DataWriter* writer =
      dds_Publisher_create_datawriter(replayer->publisher, topic, &writer_qos, nullptr, 0);
  dds_DataWriterQos_finalize(&writer_qos);

  dds_ReturnCode_t ret = dds_DataWriter_enable(writer);
  if (ret != dds_RETCODE_OK) {
    rnr_log(RNR_LOG_ERROR, "Replayer Cannot enable datawriter: ret=%s",
            dds_ReturnCode_to_string(ret));
    dds_Publisher_delete_datawriter(replayer->publisher, writer);
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
    delete static_cast<datawriter_info*>(dds_Entity_get_context(writer, 1));
    dds_Publisher_delete_datawriter(replayer->publisher, writer);
  }
  replayer->datawriter_map.clear();
  if (replayer->participant != nullptr) {
    if (replayer->publisher != nullptr) {
      dds_DomainParticipant_delete_publisher(replayer->participant, replayer->publisher);
    }
    dds_DomainParticipantFactory_delete_participant(dds_DomainParticipantFactory_get_instance(),
                                                    replayer->participant);
  }
  replayer->publisher = nullptr;
  replayer->participant = nullptr;
}

// Writes the rows the statement yields for one chunk. `current_id` follows
// the rows, skipped ones included.
void replay_chunk(rnr_replayer* replayer, sqlite3_stmt* stmt, int32_t current_id,
                  Playback& playback) {
  while (sqlite3_step(stmt) == SQLITE_ROW) {
    if (is_stopped(replayer)) {
      return;
    }
    wait_while_paused(replayer, playback);

    int32_t topic_id = sqlite3_column_int(stmt, 0);
    // A reception time that is not a non-negative integer (a bag written by
    // another tool, or damaged) cannot be paced against: read as a huge
    // unsigned number it would hold the replay in one endless wait.
    if (sqlite3_column_type(stmt, 1) != SQLITE_INTEGER || sqlite3_column_int64(stmt, 1) < 0) {
      rnr_log(RNR_LOG_WARN, "Replayer Skip data with invalid timestamp (_id: %d)", current_id);
      ++current_id;
      continue;
    }
    auto timestamp = static_cast<uint64_t>(sqlite3_column_int64(stmt, 1));
    const void* bytes = sqlite3_column_blob(stmt, 2);
    auto size = static_cast<size_t>(sqlite3_column_bytes(stmt, 2));

    // A sample that had to wait for its time leaves at once; late ones (the
    // first, and those whose time passed while earlier ones were written)
    // are packed together until the next wait or change of writer.
    bool on_time = false;
    if (playback.prev_write_time != 0) {
      if (playback.prev_timestamp > timestamp) {
        ++current_id;
        continue;
      }
      on_time = wait_for_gap(
          replayer, playback,
          saturating_add(playback.prev_write_time, timestamp - playback.prev_timestamp));
    }

    auto found = replayer->datawriter_map.find(topic_id);
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
      rnr_log(RNR_LOG_ERROR, "Replayer Cannot write data (_id: %d, ret=%d)", current_id, ret);
    } else {
      static_cast<datawriter_info*>(dds_Entity_get_context(writer, 1))->written++;
      rnr_log(RNR_LOG_DEBUG, "Replayer Write Data(_id=%d, topic_id=%d)", current_id, topic_id);
    }
    ++current_id;
  }
}

// Keeps one read transaction open on the bag while it lives. Outside a
// transaction SQLite takes and drops its file lock, and checks the file for
// changes, around every statement run, that is for every chunk of rows; the
// replay would spend more time in those system calls than in reading. It is
// renewed every kTransactionNs, so that a recorder still writing the bag is
// never held up for longer (its commits wait for the lock meanwhile).
class ReadTransaction {
 public:
  explicit ReadTransaction(sqlite3* db)
      : db_(db), open_(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr) == SQLITE_OK) {}
  ~ReadTransaction() {
    if (open_) {
      sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
    }
  }
  ReadTransaction(const ReadTransaction&) = delete;
  ReadTransaction& operator=(const ReadTransaction&) = delete;
  // Ends the transaction and begins the next one, so that the bag's lock is
  // given up in between.
  void renew() {
    if (open_) {
      sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
    }
    open_ = sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr) == SQLITE_OK;
  }

 private:
  sqlite3* db_;
  bool open_;
};

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

// Names every topic whose writer never matched a reader: what it wrote
// reached nobody.
void report_unheard_topics(rnr_replayer* replayer) {
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

void replay_thread_run(rnr_replayer* replayer) {
  // Timed waits of this thread end as close to their deadline as the kernel
  // allows, instead of within the default 50 us slack.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  sqlite3* db = replayer->database->db;

  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT COUNT(*) FROM data", -1, &stmt, nullptr) != SQLITE_OK) {
    rnr_log(RNR_LOG_ERROR, "Replayer Cannot prepare database query");
    sqlite3_finalize(stmt);
    report_failure(replayer);
    return;
  }
  if (sqlite3_step(stmt) != SQLITE_ROW) {
    rnr_log(RNR_LOG_ERROR, "Replayer Cannot get data count");
    sqlite3_finalize(stmt);
    report_failure(replayer);
    return;
  }
  int32_t data_count = sqlite3_column_int(stmt, 0);
  sqlite3_finalize(stmt);

  stmt = nullptr;
  if (sqlite3_prepare_v2(db,
                         "SELECT topic_id, timestamp, serialized_data FROM data WHERE _id >= ? "
                         "and _id <= ?",
                         -1, &stmt, nullptr) != SQLITE_OK) {
    rnr_log(RNR_LOG_ERROR, "Replayer Cannot prepare database query");
    sqlite3_finalize(stmt);
    report_failure(replayer);
    return;
  }

  Playback playback;
  std::optional<ReadTransaction> transaction(std::in_place, db);
  uint64_t transaction_start = arch_time();
  // 64-bit so that stepping past a count near INT32_MAX cannot overflow.
  for (int64_t id_first = 1; id_first <= data_count; id_first += kChunkIds) {
    if (is_stopped(replayer)) {
      break;
    }
    wait_while_paused(replayer, playback);

    int64_t id_last = id_first + 6 >= data_count ? data_count : id_first + kChunkIds - 1;
    rnr_log(RNR_LOG_DEBUG, "Replayer Read data %d ~ %d", static_cast<int32_t>(id_first),
            static_cast<int32_t>(id_last));

    sqlite3_reset(stmt);
    if (sqlite3_bind_int(stmt, 1, static_cast<int32_t>(id_first)) != SQLITE_OK) {
      rnr_log(RNR_LOG_ERROR, "Replayer Cannot bind id_first");
      continue;
    }
    if (sqlite3_bind_int(stmt, 2, static_cast<int32_t>(id_last)) != SQLITE_OK) {
      rnr_log(RNR_LOG_ERROR, "Replayer Cannot bind id_last");
      continue;
    }
    replay_chunk(replayer, stmt, static_cast<int32_t>(id_first), playback);
    if (arch_time() - transaction_start >= kTransactionNs) {
      sqlite3_reset(stmt);
      transaction->renew();
      transaction_start = arch_time();
    }
  }

  // Everything written is sent before the replay counts as finished.
  flush_unsent(playback);
  sqlite3_finalize(stmt);
  transaction.reset();
  report_unheard_topics(replayer);
  if (replayer->on_replay_finished != nullptr) {
    replayer->on_replay_finished(replayer);
  }
}

// Sets the state and cuts short whatever wait the replay thread is in.
void signal_control(rnr_replayer* replayer, uint8_t state) {
  replayer->replay_state.store(state);
  {
    std::lock_guard<std::mutex> lock(replayer->mutex);
    ++replayer->control_serial;
  }
  replayer->cond.notify_one();
}

}  // namespace

rnr_replayer* rnr_replayer_create(const char* bag_file, int32_t domain_id) {
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

  for (const auto& row : rows->rows) {
    create_datawriter(replayer.get(), row.get());
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
  try {
    replayer->replay_thread = std::thread(replay_thread_run, replayer);
  } catch (const std::system_error&) {
    rnr_log(RNR_LOG_ERROR, "Replayer Cannot create replay thread");
    report_failure(replayer);
    return;
  }
  replayer->thread_started = true;
  replayer->replay_state.store(REPLAY_PLAYING);
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
