// The samples of the control topics as plain values, and their serialized
// form: XCDR1 little-endian with its encapsulation header, as the types of
// idl/quorvin_rnr_control.idl (all final) are serialized by any DDS
// implementation. Decoding also accepts big-endian and XCDR2 bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "control/control.h"

namespace rnr::control {

inline constexpr const char* kCommandTopic = "quorvin_rnr/command";
inline constexpr const char* kAckTopic = "quorvin_rnr/ack";
inline constexpr const char* kStatusTopic = "quorvin_rnr/status";
inline constexpr const char* kCommandType = "quorvin_rnr::control::Command";
inline constexpr const char* kAckType = "quorvin_rnr::control::Ack";
inline constexpr const char* kStatusType = "quorvin_rnr::control::Status";
// The target that addresses every recorder.
inline constexpr const char* kAllTarget = "all";

struct CommandMessage {
  std::string target;
  std::string action;
  std::string sender;
  uint64_t id = 0;
};

struct AckMessage {
  std::string recorder;
  std::string sender;
  uint64_t id = 0;
  bool ok = false;
  std::string detail;
};

// A string is written up to its first NUL byte, if it has one.
std::vector<uint8_t> encode(const CommandMessage& message);
std::vector<uint8_t> encode(const AckMessage& message);
std::vector<uint8_t> encode(const RecorderStatus& status);

// False when the bytes are not a whole sample of the type.
bool decode(const uint8_t* data, size_t size, CommandMessage* message);
bool decode(const uint8_t* data, size_t size, AckMessage* message);
bool decode(const uint8_t* data, size_t size, RecorderStatus* status);

}  // namespace rnr::control
