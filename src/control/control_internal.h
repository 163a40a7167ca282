// What the agent and the operator's client share: a participant with the
// three control topics, their writers' and readers' QoS, and an inbox that
// collects a raw reader's samples on the binding's callback thread for
// another thread to wait for and read.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "middleware/dds_api.h"

namespace rnr::control::internal {

enum class Topic { command, ack, status };

// Collects the valid samples of one reader. Outlives its reader: the reader
// (or its participant) is deleted first.
class Inbox {
 public:
  // Up to `limit` samples are held; older ones are dropped first.
  explicit Inbox(size_t limit) : limit_(limit) {}
  // Sets the reader's data-available callback.
  bool attach(dds_DataReader* reader);
  // Takes what the reader holds, then waits until a sample is there or
  // `timeout_ns` passed; true when samples are there.
  bool wait(uint64_t timeout_ns);
  // The samples held (serialized, encapsulation header first), oldest first.
  std::vector<std::vector<uint8_t>> drain();
  // Wakes a waiter at once.
  void wake();

 private:
  static void on_data_available(dds_DataReader* reader);
  void take(dds_DataReader* reader);

  const size_t limit_;
  dds_DataReader* reader_ = nullptr;
  // One take at a time, so that samples are held in the order they came.
  std::mutex take_mutex_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::vector<uint8_t>> samples_;
  bool woken_ = false;
};

// A participant on the domain with one publisher, one subscriber and the
// three topics registered; deleting it deletes all its entities.
class Domain {
 public:
  static std::unique_ptr<Domain> create(int32_t domain_id, std::string* error);
  ~Domain();
  Domain(const Domain&) = delete;
  Domain& operator=(const Domain&) = delete;

  // The topic's writer or reader with the topic's QoS (see the IDL file);
  // null, with the reason in `error`, when it cannot be made. An inbox
  // given to a reader receives its samples.
  dds_DataWriter* writer(Topic topic, std::string* error);
  dds_DataReader* reader(Topic topic, Inbox* inbox, std::string* error);
  // Gives what `writer` wrote up to `timeout_ns` to be acknowledged.
  void flush(dds_DataWriter* writer, uint64_t timeout_ns);
  // Deletes the participant now; the readers' callbacks have ended then.
  void leave();

 private:
  Domain() = default;
  dds_DomainParticipant* participant_ = nullptr;
  dds_Publisher* publisher_ = nullptr;
  dds_Subscriber* subscriber_ = nullptr;
  dds_Topic* topics_[3] = {};
};

}  // namespace rnr::control::internal
