#include "app/drivers.h"
#include "app/run_control.h"
#include "log/logger.h"
#include "recorder/recorder.h"

int record_driver(app_config* config) {
  rnr_recorder* recorder = rnr_recorder_create(config->domain_id, nullptr);
  if (recorder == nullptr) {
    rnr_log(RNR_LOG_ERROR, "Main Cannot create recorder");
    app_config_finalize(config);
    return 1;
  }
  app_samples_held.store(true);
  for (const topic_pair& pair : config->topic_pairs) {
    rnr_recorder_add_topic(recorder, pair.topic_name, pair.type_name);
  }
  rnr_recorder_start_record(recorder);

  app_run_loop();

  rnr_recorder_stop_record(recorder);
  // A recording that lost samples to a failing bag is not a success.
  const bool saved = rnr_recorder_save_record(recorder);
  app_samples_held.store(false);
  rnr_recorder_destroy(recorder);
  app_config_finalize(config);
  return saved ? 0 : 1;
}
