// The operator's side of remote control: `quorvin-rnr-bag control` sends one
// command and reports the answers, `quorvin-rnr-bag status` lists the
// recorders it hears.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "control/control.h"
#include "control/messages.h"

namespace rnr::control {

struct OperatorTimes {
  uint64_t answer_ns = 3000000000u;     // how long recorders have to answer
  uint64_t discovery_ns = 1000000000u;  // `all`: how long to listen for recorders first
  uint64_t listen_ns = 1500000000u;     // `status`: how long to listen
  uint64_t repeat_ns = 250000000u;      // how often an unanswered command is sent again
};

// Sends `command` to `target` (a name or "all") and prints each answer on
// `out`, one line each ("NAME: COMMAND ok[: DETAIL]" or "NAME: COMMAND
// failed[: DETAIL]"). With "all", the recorders whose status it hears are
// the ones expected to answer. A recorder that does not answer in time is
// named on `err`. 0 when every expected recorder answered ok, else 1.
int run_control(int32_t domain_id, const std::string& target, Command command, FILE* out, FILE* err,
                const OperatorTimes& times = {});

// Listens for the recorders' status and prints a table of those heard,
// sorted by name. 0 when it heard one at least, else 1.
int run_status(int32_t domain_id, FILE* out, FILE* err, const OperatorTimes& times = {});

// The status table's text, one line per recorder under a header line.
std::string status_table(const std::map<std::string, RecorderStatus>& statuses);

}  // namespace rnr::control
