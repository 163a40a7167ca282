#include <atomic>
#include <cstdio>

#include "app/drivers.h"
#include "app/run_control.h"
#include "log/logger.h"
#include "replayer/replayer.h"

namespace {

// Set when the replay cannot run, or could not write every sample; the run
// then ends with status 1.
std::atomic<bool> replay_failed{false};

// Called on the replay thread when the bag has been played to its end or the
// replay was stopped. A replay that could not write every sample (the
// replayer has said how many and why) did not finish its job.
void on_replay_finished(rnr_replayer* replayer) {
  if (rnr_replayer_unwritten(replayer) > 0) {
    replay_failed = true;
  } else {
    std::puts("Replay finished");
    std::fflush(stdout);
  }
  is_running = false;
}

void on_replay_failed(rnr_replayer* /*replayer*/) {
  replay_failed = true;
  is_running = false;
}

}  // namespace

int replay_driver(app_config* config) {
  rnr_replayer_set_stop_check([] { return !is_running.load(); });
  rnr_replayer* replayer = rnr_replayer_create(config->bag_file, config->domain_id);
  if (replayer == nullptr) {
    rnr_log(RNR_LOG_ERROR, "Main Cannot create replayer");
    return 1;
  }
  rnr_replayer_set_on_replay_finished(replayer, on_replay_finished);
  rnr_replayer_set_on_replay_failed(replayer, on_replay_failed);
  rnr_replayer_start_replay(replayer);
  app_run_loop();
  rnr_replayer_stop_replay(replayer);
  rnr_replayer_destroy(replayer);
  if (replay_failed) {
    rnr_log(RNR_LOG_ERROR, "Main Replay failed");
    return 1;
  }
  return 0;
}
