#include <atomic>
#include <cstdio>

#include "app/drivers.h"
#include "app/frontend.h"
#include "log/logger.h"
#include "replayer/replayer.h"

namespace {

// Called on the replay thread when the bag has been played to its end or the
// replay was stopped.
void on_replay_finished(rnr_replayer* /*replayer*/) {
  std::puts("Replay finished");
  std::fflush(stdout);
  is_running = false;
}

// Called when the replay cannot run at all; the run then ends with status 1.
std::atomic<bool> replay_failed{false};

void on_replay_failed(rnr_replayer* /*replayer*/) {
  replay_failed = true;
  is_running = false;
}

}  // namespace

int replay_driver(app_config* config) {
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
