#include "drivers.h"

// Not yet replaying: until the replayer is connected here, the command ends
// right after start-up.
int replay_driver(app_config* config) {
  (void)config;
  return 0;
}
