#include "control/operator.h"

#include <algorithm>
#include <set>

#include "control/control_internal.h"

namespace rnr::control {

using internal::Domain;
using internal::Inbox;
using internal::Topic;

namespace {

constexpr uint64_t kPollNs = 50000000u;
constexpr size_t kMaxHeld = 4096;

// The operator's participant: a command writer and readers of the answers
// and of the status.
class Client {
 public:
  static std::unique_ptr<Client> create(int32_t domain_id, std::string* error) {
    std::unique_ptr<Client> client(new Client());
    client->domain_ = Domain::create(domain_id, error);
    if (client->domain_ == nullptr ||
        client->domain_->reader(Topic::status, &client->statuses_, error) == nullptr ||
        client->domain_->reader(Topic::ack, &client->acks_, error) == nullptr) {
      return nullptr;
    }
    client->command_writer_ = client->domain_->writer(Topic::command, error);
    return client->command_writer_ != nullptr ? std::move(client) : nullptr;
  }
  ~Client() { domain_->leave(); }

  bool send(const CommandMessage& command) {
    const std::vector<uint8_t> bytes = encode(command);
    return dds_DataWriter_raw_write(command_writer_, bytes.data(), bytes.size()) == dds_RETCODE_OK;
  }

  // Waits up to `timeout_ns` for an answer, then adds what came: the latest
  // status of each recorder, and the answers.
  void poll(uint64_t timeout_ns, std::map<std::string, RecorderStatus>* statuses,
            std::vector<AckMessage>* acks) {
    acks_.wait(timeout_ns);
    for (const auto& bytes : acks_.drain()) {
      AckMessage ack;
      if (decode(bytes.data(), bytes.size(), &ack)) {
        acks->push_back(std::move(ack));
      }
    }
    statuses_.wait(0);
    for (const auto& bytes : statuses_.drain()) {
      RecorderStatus status;
      if (decode(bytes.data(), bytes.size(), &status) && !status.name.empty()) {
        (*statuses)[status.name] = std::move(status);
      }
    }
  }

 private:
  Client() = default;
  // Before the domain: the participant goes first.
  Inbox statuses_{kMaxHeld};
  Inbox acks_{kMaxHeld};
  std::unique_ptr<Domain> domain_;
  dds_DataWriter* command_writer_ = nullptr;
};

std::string seconds_text(uint64_t ns) {
  char text[32];
  std::snprintf(text, sizeof text, "%g s", static_cast<double>(ns) / 1e9);
  return text;
}

}  // namespace

int run_control(int32_t domain_id, const std::string& target, Command command, FILE* out, FILE* err,
                const OperatorTimes& times) {
  std::string error;
  auto client = Client::create(domain_id, &error);
  if (client == nullptr) {
    std::fprintf(err, "quorvin-rnr-bag: control: %s\n", error.c_str());
    return 1;
  }
  const bool all = target == kAllTarget;
  CommandMessage message;
  message.target = target;
  message.action = command_name(command);
  message.sender = default_name();
  message.id = arch_time();
  std::map<std::string, RecorderStatus> heard;
  std::map<std::string, AckMessage> answers;
  std::vector<AckMessage> acks;
  bool failed = false;
  const uint64_t start = arch_time();
  uint64_t next_send = start;
  for (;;) {
    const uint64_t now = arch_time();
    if (now >= next_send) {
      // Sent again until answered: a recorder not yet matched misses it, and
      // one that got it answers the repeat without carrying it out again.
      if (!client->send(message)) {
        std::fprintf(err, "quorvin-rnr-bag: control: cannot send the command\n");
        return 1;
      }
      next_send = now + times.repeat_ns;
    }
    client->poll(kPollNs, &heard, &acks);
    for (AckMessage& ack : acks) {
      if (ack.sender != message.sender || ack.id != message.id ||
          (!all && ack.recorder != target) || answers.count(ack.recorder) != 0) {
        continue;
      }
      std::fprintf(out, "%s: %s %s%s%s\n", ack.recorder.c_str(), message.action.c_str(),
                   ack.ok ? "ok" : "failed", ack.detail.empty() ? "" : ": ", ack.detail.c_str());
      std::fflush(out);
      failed = failed || !ack.ok;
      answers.emplace(ack.recorder, std::move(ack));
    }
    acks.clear();
    const uint64_t elapsed = arch_time() - start;
    const bool everyone =
        all ? elapsed >= times.discovery_ns && !answers.empty() &&
                  std::all_of(heard.begin(), heard.end(),
                              [&](const auto& h) { return answers.count(h.first) != 0; })
            : answers.count(target) != 0;
    if (everyone || elapsed >= times.answer_ns) {
      break;
    }
  }
  std::set<std::string> missing;
  if (!all && answers.count(target) == 0) {
    missing.insert(target);
  }
  for (const auto& [name, status] : heard) {
    if (all && answers.count(name) == 0) {
      missing.insert(name);
    }
  }
  for (const std::string& name : missing) {
    std::fprintf(err, "quorvin-rnr-bag: control: %s: no answer within %s\n", name.c_str(),
                 seconds_text(times.answer_ns).c_str());
  }
  if (all && answers.empty() && missing.empty()) {
    std::fprintf(err, "quorvin-rnr-bag: control: no recorder answered on domain %d within %s\n",
                 domain_id, seconds_text(times.answer_ns).c_str());
    return 1;
  }
  return failed || !missing.empty() ? 1 : 0;
}

std::string status_table(const std::map<std::string, RecorderStatus>& statuses) {
  const std::vector<std::string> header = {"NAME",  "HOST", "PID",    "STATE", "SAMPLES",
                                           "BYTES", "LOST", "TOPICS", "FREE",  "FILE"};
  std::vector<std::vector<std::string>> rows = {header};
  for (const auto& [name, s] : statuses) {
    rows.push_back({name, s.host, std::to_string(s.pid), s.state, std::to_string(s.samples),
                    std::to_string(s.bytes), std::to_string(s.lost), std::to_string(s.topics),
                    std::to_string(s.free_disk), s.current_file});
  }
  std::vector<size_t> widths(header.size(), 0);
  for (const auto& row : rows) {
    for (size_t i = 0; i < row.size(); ++i) {
      widths[i] = std::max(widths[i], row[i].size());
    }
  }
  std::string text;
  for (const auto& row : rows) {
    std::string line;
    for (size_t i = 0; i < row.size(); ++i) {
      // Names and texts to the left, numbers to the right; the file last, as it is.
      const bool number = i == 2 || (i >= 4 && i <= 8);
      const std::string pad(widths[i] - row[i].size(), ' ');
      if (i + 1 == row.size()) {
        line.append(row[i]);
      } else {
        line.append(number ? pad : "").append(row[i]).append(number ? "" : pad).append("  ");
      }
    }
    while (!line.empty() && line.back() == ' ') {
      line.pop_back();
    }
    text.append(line).append("\n");
  }
  return text;
}

int run_status(int32_t domain_id, FILE* out, FILE* err, const OperatorTimes& times) {
  std::string error;
  auto client = Client::create(domain_id, &error);
  if (client == nullptr) {
    std::fprintf(err, "quorvin-rnr-bag: status: %s\n", error.c_str());
    return 1;
  }
  std::map<std::string, RecorderStatus> heard;
  std::vector<AckMessage> ignored;
  const uint64_t start = arch_time();
  while (arch_time() - start < times.listen_ns) {
    client->poll(kPollNs, &heard, &ignored);
    ignored.clear();
  }
  if (heard.empty()) {
    std::fprintf(err, "quorvin-rnr-bag: status: no recorder heard on domain %d within %s\n",
                 domain_id, seconds_text(times.listen_ns).c_str());
    return 1;
  }
  std::fputs(status_table(heard).c_str(), out);
  return 0;
}

}  // namespace rnr::control
