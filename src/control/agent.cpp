// The recorder's agent: a thread that waits for commands, hands those
// addressed to it to the recorder's handler and answers each; the status
// writer the recorder publishes through.
#include <unistd.h>

#include <atomic>
#include <climits>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "control/control.h"
#include "control/control_internal.h"
#include "control/messages.h"
#include "log/logger.h"

namespace rnr::control {

using internal::Domain;
using internal::Inbox;
using internal::Topic;

namespace {

constexpr uint64_t kPollNs = 200000000u;    // the thread looks for commands at least this often
constexpr uint64_t kLeaveNs = 1000000000u;  // what the answers get to arrive on leaving
constexpr size_t kMaxCommandsHeld = 1024;   // commands waiting for the thread
constexpr size_t kMaxSendersRemembered = 1024;

// The last command of one sender and its answer, so that the same command
// sent again is answered again and not carried out twice.
struct Answered {
  CommandMessage command;
  AckMessage ack;
};

bool same_command(const CommandMessage& a, const CommandMessage& b) {
  return a.id == b.id && a.target == b.target && a.action == b.action;
}

}  // namespace

std::optional<Command> parse_command(std::string_view text) {
  for (const Command c :
       {Command::pause, Command::resume, Command::split, Command::snapshot, Command::stop}) {
    if (text == command_name(c)) {
      return c;
    }
  }
  return std::nullopt;
}

const char* command_name(Command command) {
  switch (command) {
    case Command::pause:
      return "pause";
    case Command::resume:
      return "resume";
    case Command::split:
      return "split";
    case Command::snapshot:
      return "snapshot";
    case Command::stop:
      return "stop";
  }
  return "unknown";
}

std::string host_name() {
  char host[HOST_NAME_MAX + 1] = {};
  if (gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') {
    return "localhost";
  }
  return host;
}

std::string default_name() {
  std::string name = host_name();
  name.append(":").append(std::to_string(getpid()));
  return name;
}

struct Agent::State {
  std::string name;
  CommandHandler handler;
  // Declared before the domain: the participant (and with it the reader's
  // callbacks) goes first.
  Inbox commands{kMaxCommandsHeld};
  std::unique_ptr<Domain> domain;
  dds_DataWriter* ack_writer = nullptr;
  dds_DataWriter* status_writer = nullptr;
  std::mutex status_mutex;
  std::atomic<bool> stopping{false};
  std::thread thread;
  std::map<std::string, Answered> answered;  // by sender

  void run();
  void handle(const std::vector<uint8_t>& bytes);
  void answer(const AckMessage& ack);
};

void Agent::State::run() {
  while (!stopping.load()) {
    commands.wait(kPollNs);
    for (const auto& bytes : commands.drain()) {
      if (stopping.load()) {
        break;
      }
      handle(bytes);
    }
  }
}

void Agent::State::handle(const std::vector<uint8_t>& bytes) {
  CommandMessage command;
  if (!decode(bytes.data(), bytes.size(), &command)) {
    rnr_log(RNR_LOG_WARN, "Control %s: a command sample that cannot be read is ignored",
            name.c_str());
    return;
  }
  if (command.target != name && command.target != kAllTarget) {
    return;
  }
  const auto previous = answered.find(command.sender);
  if (previous != answered.end() && same_command(previous->second.command, command)) {
    answer(previous->second.ack);
    return;
  }
  AckMessage ack;
  ack.recorder = name;
  ack.sender = command.sender;
  ack.id = command.id;
  if (const auto parsed = parse_command(command.action)) {
    try {
      ack.ok = handler(*parsed, &ack.detail);
    } catch (...) {
      ack.ok = false;
      ack.detail = "the recorder failed to carry it out";
    }
  } else {
    ack.detail = "unknown command \"" + command.action + "\"";
  }
  rnr_log(RNR_LOG_INFO, "Control %s: %s from %s (id %llu): %s%s%s", name.c_str(),
          command.action.c_str(), command.sender.c_str(),
          static_cast<unsigned long long>(command.id), ack.ok ? "done" : "refused",
          ack.detail.empty() ? "" : ": ", ack.detail.c_str());
  if (answered.size() >= kMaxSendersRemembered && previous == answered.end()) {
    answered.clear();
  }
  const std::string sender = command.sender;
  answered[sender] = Answered{std::move(command), ack};
  answer(ack);
}

void Agent::State::answer(const AckMessage& ack) {
  const std::vector<uint8_t> bytes = encode(ack);
  const dds_ReturnCode_t rc = dds_DataWriter_raw_write(ack_writer, bytes.data(), bytes.size());
  if (rc != dds_RETCODE_OK) {
    rnr_log(RNR_LOG_WARN, "Control %s: cannot send the answer to %s: %s", name.c_str(),
            ack.sender.c_str(), dds_ReturnCode_to_string(rc));
  }
}

Agent::Agent(std::unique_ptr<State> state) : state_(std::move(state)) {}

std::unique_ptr<Agent> Agent::create(int32_t domain_id, const std::string& name,
                                     CommandHandler handler, std::string* error) {
  if (name.empty() || name == kAllTarget || name.find('\0') != std::string::npos) {
    *error = "a recorder's name must not be empty nor \"all\"";
    return nullptr;
  }
  if (!handler) {
    *error = "no command handler";
    return nullptr;
  }
  auto state = std::make_unique<State>();
  state->name = name;
  state->handler = std::move(handler);
  state->domain = Domain::create(domain_id, error);
  if (state->domain == nullptr) {
    return nullptr;
  }
  state->ack_writer = state->domain->writer(Topic::ack, error);
  state->status_writer =
      state->ack_writer != nullptr ? state->domain->writer(Topic::status, error) : nullptr;
  if (state->status_writer == nullptr ||
      state->domain->reader(Topic::command, &state->commands, error) == nullptr) {
    return nullptr;
  }
  try {
    state->thread = std::thread([s = state.get()] { s->run(); });
  } catch (const std::system_error&) {
    *error = "cannot start the agent's thread";
    return nullptr;
  }
  return std::unique_ptr<Agent>(new Agent(std::move(state)));
}

Agent::~Agent() {
  state_->stopping.store(true);
  state_->commands.wake();
  state_->thread.join();
  state_->domain->flush(state_->ack_writer, kLeaveNs / 2);
  state_->domain->flush(state_->status_writer, kLeaveNs / 2);
  state_->domain->leave();
}

void Agent::publish_status(const RecorderStatus& status) {
  RecorderStatus published = status;
  published.name = state_->name;
  if (published.host.empty()) {
    published.host = host_name();
  }
  if (published.pid == 0) {
    published.pid = getpid();
  }
  const std::vector<uint8_t> bytes = encode(published);
  std::lock_guard<std::mutex> lock(state_->status_mutex);
  const dds_ReturnCode_t rc =
      dds_DataWriter_raw_write(state_->status_writer, bytes.data(), bytes.size());
  if (rc != dds_RETCODE_OK) {
    rnr_log(RNR_LOG_WARN, "Control %s: cannot publish the status: %s", state_->name.c_str(),
            dds_ReturnCode_to_string(rc));
  }
}

const std::string& Agent::name() const {
  return state_->name;
}

}  // namespace rnr::control
