// Remote control: recorders faked by agents in this process, driven by
// quorvin-rnr-bag-control and -status, by raw command samples, and by an
// application built from the shipped IDL with idlc; the samples' encoding.
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "child_process.h"
#include "control/control.h"
#include "control/control_internal.h"
#include "control/messages.h"

using namespace std::chrono_literals;
using namespace rnr::control;
using rnr::test::run_program;

namespace {

// A recorder as far as control goes: it records the commands it is handed,
// refuses split, and publishes its state every 100 ms.
class FakeRecorder {
 public:
  FakeRecorder(int domain, const std::string& name) : name_(name) {
    std::string error;
    agent_ = Agent::create(
        domain, name,
        [this](Command command, std::string* detail) {
          std::lock_guard<std::mutex> lock(mutex_);
          got_.push_back(command);
          if (command == Command::split) {
            *detail = "not splitting";
            return false;
          }
          state_ = command == Command::pause  ? "paused"
                   : command == Command::stop ? "stopping"
                                              : "recording";
          *detail = state_;
          return true;
        },
        &error);
    EXPECT_NE(agent_, nullptr) << error;
    if (agent_ != nullptr) {
      publisher_ = std::thread([this] {
        while (!done_) {
          RecorderStatus status;
          {
            std::lock_guard<std::mutex> lock(mutex_);
            status.state = state_;
          }
          status.current_file = name_ + ".sqlite3";
          status.samples = 42;
          status.bytes = 4200;
          status.topics = 3;
          agent_->publish_status(status);
          std::this_thread::sleep_for(100ms);
        }
      });
    }
  }
  ~FakeRecorder() {
    done_ = true;
    if (publisher_.joinable()) {
      publisher_.join();
    }
  }
  std::vector<Command> got() {
    std::lock_guard<std::mutex> lock(mutex_);
    return got_;
  }

 private:
  std::string name_;
  std::mutex mutex_;
  std::vector<Command> got_;
  std::string state_ = "recording";
  std::unique_ptr<Agent> agent_;
  std::atomic<bool> done_{false};
  std::thread publisher_;
};

std::vector<std::string> control(int domain, const std::string& target, const std::string& command,
                                 int* status, std::string* err) {
  auto result = run_program({RNR_CONTROL_PATH, "-d", std::to_string(domain), target, command});
  *status = result.exited_with(0) ? 0 : result.exited_with(1) ? 1 : result.exited_with(2) ? 2 : -1;
  *err = result.err;
  std::vector<std::string> lines;
  size_t begin = 0;
  for (size_t end; (end = result.out.find('\n', begin)) != std::string::npos; begin = end + 1) {
    lines.push_back(result.out.substr(begin, end - begin));
  }
  return lines;
}

std::string line_of(const std::string& text, const std::string& prefix) {
  const size_t at = text.find("\n" + prefix);
  if (at == std::string::npos) {
    return {};
  }
  return text.substr(at + 1, text.find('\n', at + 1) - at - 1);
}

TEST(ControlTest, CommandsReachTheirRecordersAndStatusListsThem) {
  constexpr int kDomain = 190;
  FakeRecorder r1(kDomain, "r1");
  FakeRecorder r2(kDomain, "r2");
  int status = -1;
  std::string err;

  EXPECT_EQ(control(kDomain, "r1", "pause", &status, &err),
            std::vector<std::string>{"r1: pause ok: paused"});
  EXPECT_EQ(status, 0) << err;
  EXPECT_EQ(r1.got(), std::vector<Command>{Command::pause});
  EXPECT_TRUE(r2.got().empty());

  auto listed = run_program({RNR_STATUS_PATH, "-d", std::to_string(kDomain)});
  EXPECT_TRUE(listed.exited_with(0)) << listed.err;
  EXPECT_EQ(listed.out.rfind("NAME ", 0), 0u) << listed.out;
  const std::string row1 = line_of(listed.out, "r1 "), row2 = line_of(listed.out, "r2 ");
  EXPECT_NE(row1.find(" paused "), std::string::npos) << listed.out;
  EXPECT_NE(row1.find(" r1.sqlite3"), std::string::npos) << listed.out;
  EXPECT_NE(row2.find(" recording "), std::string::npos) << listed.out;
  EXPECT_NE(row2.find(" 42 "), std::string::npos) << listed.out;

  // A refusal is an answer, and a failure.
  EXPECT_EQ(control(kDomain, "r2", "split", &status, &err),
            std::vector<std::string>{"r2: split failed: not splitting"});
  EXPECT_EQ(status, 1);

  EXPECT_TRUE(control(kDomain, "nobody", "pause", &status, &err).empty());
  EXPECT_EQ(status, 1);
  EXPECT_NE(err.find("control: nobody: no answer within 3 s"), std::string::npos) << err;

  auto answers = control(kDomain, "all", "stop", &status, &err);
  EXPECT_EQ(status, 0) << err;
  std::sort(answers.begin(), answers.end());
  EXPECT_EQ(answers, (std::vector<std::string>{"r1: stop ok: stopping", "r2: stop ok: stopping"}));
  // Sent again until answered, carried out once.
  EXPECT_EQ(r1.got(), (std::vector<Command>{Command::pause, Command::stop}));
  EXPECT_EQ(r2.got(), (std::vector<Command>{Command::split, Command::stop}));

  EXPECT_TRUE(control(kDomain, "r1", "jump", &status, &err).empty());
  EXPECT_EQ(status, 2);
  EXPECT_TRUE(run_program({RNR_STATUS_PATH, "extra"}).exited_with(2));
  EXPECT_TRUE(run_program({RNR_CONTROL_PATH, "-d", "999", "r1", "stop"}).exited_with(2));
  EXPECT_TRUE(run_program({RNR_CONTROL_PATH, "-h"}).exited_with(0));
}

// Raw samples on the command topic: a repeated command is answered twice and
// carried out once; an unknown command is refused; bytes that are not a
// command are ignored without stopping the agent.
TEST(ControlTest, AgentAnswersRepeatsOnceAndIgnoresWhatItCannotRead) {
  constexpr int kDomain = 191;
  FakeRecorder recorder(kDomain, "rec");
  std::string error;
  auto domain = internal::Domain::create(kDomain, &error);
  ASSERT_NE(domain, nullptr) << error;
  internal::Inbox acks(100);
  ASSERT_NE(domain->reader(internal::Topic::ack, &acks, &error), nullptr) << error;
  dds_DataWriter* writer = domain->writer(internal::Topic::command, &error);
  ASSERT_NE(writer, nullptr) << error;
  ASSERT_TRUE(rnr::test::wait_until(
      [&] {
        int32_t matched = 0;
        return dds_DataWriter_get_total_matched(writer, &matched) == dds_RETCODE_OK && matched >= 1;
      },
      10s));
  std::this_thread::sleep_for(200ms);  // the agent's answer writer meets our reader

  auto send = [&](const std::vector<uint8_t>& bytes) {
    EXPECT_EQ(dds_DataWriter_raw_write(writer, bytes.data(), bytes.size()), dds_RETCODE_OK);
  };
  send({0x00, 0x01, 0x00, 0x00, 0xff, 0xff});
  send(encode(CommandMessage{"other", "pause", "test", 1}));
  send(encode(CommandMessage{"rec", "pause", "test", 2}));
  send(encode(CommandMessage{"rec", "pause", "test", 2}));
  send(encode(CommandMessage{"all", "jump", "test", 3}));

  std::vector<AckMessage> got;
  ASSERT_TRUE(rnr::test::wait_until(
      [&] {
        acks.wait(50000000u);
        for (const auto& bytes : acks.drain()) {
          AckMessage ack;
          EXPECT_TRUE(decode(bytes.data(), bytes.size(), &ack));
          got.push_back(ack);
        }
        return got.size() >= 3;
      },
      10s));
  ASSERT_EQ(got.size(), 3u);
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(got[i].recorder, "rec");
    EXPECT_EQ(got[i].sender, "test");
    EXPECT_EQ(got[i].id, 2u);
    EXPECT_TRUE(got[i].ok);
    EXPECT_EQ(got[i].detail, "paused");
  }
  EXPECT_EQ(got[2].id, 3u);
  EXPECT_FALSE(got[2].ok);
  EXPECT_EQ(got[2].detail, "unknown command \"jump\"");
  EXPECT_EQ(recorder.got(), std::vector<Command>{Command::pause});
}

TEST(ControlTest, ApplicationBuiltFromTheIdlDrivesARecorder) {
  constexpr int kDomain = 192;
  FakeRecorder recorder(kDomain, "peer_r");
  auto result = run_program({RNR_CONTROL_PEER, std::to_string(kDomain), "peer_r", "snapshot"});
  ASSERT_TRUE(result.exited_with(0)) << result.out << result.err;
  const std::string expected_status = "STATUS peer_r " + host_name() + " " +
                                      std::to_string(getpid()) +
                                      " recording peer_r.sqlite3 42 4200 0 3 0\n";
  EXPECT_EQ(result.out, expected_status + "ACK peer_r ok recording\n");
  EXPECT_EQ(recorder.got(), std::vector<Command>{Command::snapshot});
}

// Every message decodes to what was encoded, every shorter prefix is refused,
// and big-endian XCDR2 (8-byte fields aligned to 4) is read too.
TEST(ControlTest, MessagesRoundTripAndRefuseCutBytes) {
  RecorderStatus status{"n", "h", -5, "paused", "f.sqlite3", 1, 2, 3, 4, 5};
  const auto bytes = encode(status);
  RecorderStatus back;
  ASSERT_TRUE(decode(bytes.data(), bytes.size(), &back));
  EXPECT_EQ(encode(back), bytes);
  EXPECT_EQ(back.pid, -5);
  const AckMessage ack{"r", "s", 9, true, "d"};
  const auto ack_bytes = encode(ack);
  for (size_t n = 0; n < ack_bytes.size(); ++n) {
    AckMessage cut;
    EXPECT_FALSE(decode(ack_bytes.data(), n, &cut)) << n;
  }
  for (size_t n = 0; n < bytes.size(); ++n) {
    EXPECT_FALSE(decode(bytes.data(), n, &back)) << n;
  }
  // Command {"a", "b", "cdefg", 0x0102030405060708} as CDR2 big-endian: the
  // id at offset 28, where XCDR1 would pad to 32.
  const std::vector<uint8_t> xcdr2 = {
      0x00, 0x06, 0x00, 0x00, 0,   0,   0,   2,   'a', 0, 0, 0, 0, 0, 0, 2, 'b', 0, 0, 0,
      0,    0,    0,    6,    'c', 'd', 'e', 'f', 'g', 0, 0, 0, 1, 2, 3, 4, 5,   6, 7, 8};
  CommandMessage command;
  ASSERT_TRUE(decode(xcdr2.data(), xcdr2.size(), &command));
  EXPECT_EQ(command.target, "a");
  EXPECT_EQ(command.sender, "cdefg");
  EXPECT_EQ(command.id, 0x0102030405060708u);
}

}  // namespace
