// The record and replay commands, run once the command line has been read
// and the module logger exists. Each returns the process exit status.
#pragma once

#include "app/config.h"

int record_driver(app_config* config);
int replay_driver(app_config* config);
