// The result of the command line: the command, its options and arguments,
// which the drivers read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "types/name_field.h"

enum app_command : uint8_t {
  APP_COMMAND_NONE = 0,
  APP_COMMAND_INFO = 1,
  APP_COMMAND_RECORD = 2,
  APP_COMMAND_REPLAY = 3,
};

// One topic that `record` is asked to capture. Both fields always end with a
// terminator.
struct topic_pair {
  char type_name[RNR_NAME_FIELD_SIZE] = {};
  char topic_name[RNR_NAME_FIELD_SIZE] = {};
};

// The result of the command line.
struct app_config {
  uint8_t command = APP_COMMAND_NONE;
  int32_t domain_id = 0;
  int32_t log_level = 2;
  // record: the requested pairs in command-line order.
  std::vector<topic_pair> topic_pairs;
  // replay: the bag file path, always terminated.
  char bag_file[RNR_NAME_FIELD_SIZE] = {};
};

// Releases the topic pairs of a record configuration.
inline void app_config_finalize(app_config* config) {
  if (config != nullptr) {
    std::vector<topic_pair>().swap(config->topic_pairs);
  }
}
