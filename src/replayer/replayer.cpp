// The replayer's lifecycle and its control API: create opens the bag and
// creates the writers (writers.cpp), start launches the replay thread
// (replay_thread.cpp), and pause, resume, step, rate and stop steer it.
#include "replayer/replayer.h"

#include <cstring>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "log/logger.h"
#include "replayer/replayer_internal.h"

using namespace rnr::replayer::internal;

namespace {

constexpr uint64_t kStartDelayNs = 1000000000u;
// After the start delay, how much longer the start waits while a writer has
// matched no reader yet, and how often it looks.
constexpr uint64_t kMatchGraceNs = 2000000000u;
constexpr uint64_t kMatchPollNs = 10000000u;

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
  std::vector<rnr::bag::TopicSummary> topics;
  std::string error;
  const bool opened = replayer->bag.open(replayer->bag_file, &error);
  if (!opened || !replayer->bag.topics(&topics, false, &error)) {
    if (opened) {
      // The store's line for a topics list it cannot read, then the reason.
      rnr_log(RNR_LOG_ERROR, "Database Cannot prepare database query");
    }
    rnr_log(RNR_LOG_ERROR, "Database %s", error.c_str());
    rnr_log(RNR_LOG_ERROR, "Replayer Cannot get topic list from database");
    release_entities(replayer.get());
    return nullptr;
  }
  if (!replayer->options.recording.empty()) {
    replayer->recording = std::make_unique<RecordingSource>();
    if (!replayer->recording->open(replayer->options.recording, replayer->options.start_bag,
                                   &topics, &error)) {
      rnr_log(RNR_LOG_ERROR, "Replayer Cannot read the bags of the recording (%s)", error.c_str());
      release_entities(replayer.get());
      return nullptr;
    }
  }
  create_writers(replayer.get(), topics);
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
  for (uint64_t waited = 0; waited < kStartDelayNs && !stop_requested(); waited += kMatchPollNs) {
    arch_sleep(kMatchPollNs);
  }
  // A reader that discovery has not matched yet would miss the first
  // samples (a peer of another vendor may take longer than the delay): give
  // the writers that have no reader yet a little more time, but never wait
  // long for topics that nobody listens to.
  for (uint64_t waited = 0;
       waited < kMatchGraceNs && !stop_requested() && !every_writer_matched(replayer);
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
  release_entities(replayer);
  delete replayer;
}
