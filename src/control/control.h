// Remote control and status of a recorder over DDS: the recorder's side. An
// Agent joins a domain under the recorder's name, hands the commands
// addressed to that name (or to "all") to the recorder and answers each one,
// and publishes the recorder's status. The topics and their IDL are in
// idl/quorvin_rnr_control.idl; docs/remote-control.md describes them.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace rnr::control {

enum class Command : uint8_t { pause, resume, split, snapshot, stop };

// "pause", "resume", "split", "snapshot" or "stop"; nothing for anything else.
std::optional<Command> parse_command(std::string_view text);
// The command's name as parse_command reads it.
const char* command_name(Command command);

// What a recorder publishes about itself.
struct RecorderStatus {
  std::string name, host;
  int64_t pid = 0;
  std::string state;
  std::string current_file;
  uint64_t samples = 0, bytes = 0, lost = 0, topics = 0, free_disk = 0;
};

// Carries out a command; true when it was done. `detail` (never null) may
// receive what happened or why not; it goes back to the sender.
using CommandHandler = std::function<bool(Command, std::string* detail)>;

// This process's default recorder name: "HOST:PID".
std::string default_name();
// The host name ("localhost" when it cannot be read).
std::string host_name();

class Agent {
 public:
  // Joins the domain as `name` (not empty, not "all"). The handler is called
  // on the agent's own thread, one command at a time, for every command
  // addressed to `name` or to "all"; its result and detail are the answer.
  // Null, with the reason in `error`, when the agent cannot be made.
  static std::unique_ptr<Agent> create(int32_t domain_id, const std::string& name,
                                       CommandHandler handler, std::string* error);
  // Stops the agent's thread, gives the answers and the last status up to
  // 1 s to reach their readers, and leaves the domain. Not from within the
  // handler: a handler for stop asks the program to end, and the program
  // then destroys the agent.
  ~Agent();
  Agent(const Agent&) = delete;
  Agent& operator=(const Agent&) = delete;

  // Publishes the status under the agent's name (the name field is ignored;
  // an empty host or a zero pid are filled in with this process's). Safe
  // from any thread.
  void publish_status(const RecorderStatus& status);
  const std::string& name() const;

  struct State;

 private:
  explicit Agent(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace rnr::control
