// The thread on which one reader's callbacks run.
//
// Cyclone calls its listeners synchronously on its receive and discovery
// threads; a listener that blocks there stalls reception, and a type lookup
// made from a discovery listener deadlocks (the reply is processed by the
// very thread that waits). The binding's Cyclone listeners therefore only
// post a notification here, and the application's callback runs on a thread
// that the binding owns: one thread per reader (the participant's built-in
// publication reader included). One thread per reader keeps a slow callback
// (a SQLite commit, a type lookup) from delaying discovery or any other
// reader; the tool creates only a handful of readers per process, so the
// thread count stays small.
//
// Notifications coalesce: any number of them while a callback runs yield one
// more run. After a callback whose take was cut by the count it asked for,
// the callback runs again, so a sample never waits for a later arrival.
// Only src/middleware includes this header.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

struct dds_DataReader;

namespace rnr::mw {

class Dispatcher : public std::enable_shared_from_this<Dispatcher> {
 public:
  using Callback = void (*)(dds_DataReader*);

  explicit Dispatcher(dds_DataReader* reader) : reader_(reader) {}
  Dispatcher(const Dispatcher&) = delete;
  Dispatcher& operator=(const Dispatcher&) = delete;
  ~Dispatcher();

  // Work done on the dispatcher thread before each callback run, whether or
  // not a callback is set (the built-in reader drains Cyclone's reader here).
  void set_prepare(std::function<void()> prepare) { prepare_ = std::move(prepare); }
  // Whether samples are still waiting after a run whose take was cut.
  void set_has_more(std::function<bool()> has_more) { has_more_ = std::move(has_more); }

  // Starts the thread; idempotent.
  bool start();
  // Called from Cyclone's listener: never blocks beyond a short lock.
  void notify();
  // Sets or clears the callback; a newly set callback runs once at once, so
  // that samples that arrived before it are not left waiting.
  void set_callback(Callback callback);
  // Records the outcome of a take made from within (or outside) a callback.
  void note_take(long got, long asked);
  // No callback starts after this returns; a running one may finish.
  void stop();
  // Waits until the thread has ended; from the dispatcher's own thread (a
  // reader deleted from its own callback) the thread is left to end alone.
  void join();

 private:
  void run();

  dds_DataReader* reader_;
  std::function<void()> prepare_;
  std::function<bool()> has_more_;
  std::mutex mutex_;
  std::condition_variable cond_;
  bool pending_ = false;
  bool stopping_ = false;
  bool cut_ = false;
  Callback callback_ = nullptr;
  std::thread thread_;
};

}  // namespace rnr::mw
