#include "drivers.h"

// Not yet recording: until the recorder is connected here, the command only
// runs the run loop until SIGINT or SIGTERM and creates nothing.
int record_driver(app_config* config) {
  app_run_loop();
  app_config_finalize(config);
  return 0;
}
