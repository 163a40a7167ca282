// Where the application's reader callbacks run.
//
// Cyclone calls its listeners synchronously on its receive and discovery
// threads; a listener that blocks there stalls reception, and a type lookup
// made from a discovery listener deadlocks (the reply is processed by the
// very thread that waits). The binding's Cyclone listeners therefore only
// post a notification to the reader's dispatcher, and the application's
// callback runs on a thread that the binding owns:
//
// - the callbacks of every topic reader of the process run on one fixed pool
//   of threads (as many as the machine has cores, at least 2), so that the
//   number of threads does not grow with the number of readers;
// - the built-in publication reader of each participant has a thread of its
//   own, so that discovery (and the type lookups made from it) neither waits
//   for the readers' callbacks nor holds them up.
//
// Each dispatcher runs its callback one run at a time, in order, on whichever
// pool thread is free; a dispatcher that has more to do after a run goes to
// the back of the pool's queue, so that one busy reader cannot starve the
// others. Notifications coalesce: any number of them while a callback runs
// yield one more run. After a callback whose take was cut by the count it
// asked for, the callback runs again, so a sample never waits for a later
// arrival. Only src/middleware includes this header.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

struct dds_DataReader;

namespace rnr::mw {

class Dispatcher : public std::enable_shared_from_this<Dispatcher> {
 public:
  using Callback = void (*)(dds_DataReader*);
  enum class Lane {
    pool,        // the process's shared pool of callback threads
    own_thread,  // a thread of this dispatcher's own
  };

  explicit Dispatcher(dds_DataReader* reader, Lane lane = Lane::pool)
      : reader_(reader), lane_(lane) {}
  Dispatcher(const Dispatcher&) = delete;
  Dispatcher& operator=(const Dispatcher&) = delete;
  ~Dispatcher();

  // Work done before each callback run, whether or not a callback is set (the
  // built-in reader drains Cyclone's reader here).
  void set_prepare(std::function<void()> prepare) { prepare_ = std::move(prepare); }
  // Whether samples are still waiting after a run whose take was cut.
  void set_has_more(std::function<bool()> has_more) { has_more_ = std::move(has_more); }

  // From here on notifications lead to runs; idempotent. False when no
  // thread can be had for it.
  bool start();
  // Called from Cyclone's listener: never blocks beyond a short lock. With
  // neither a callback (a reader that is polled) nor prepare work, no run is
  // scheduled.
  void notify();
  // Sets or clears the callback; a newly set callback runs once at once, so
  // that samples that arrived before it are not left waiting.
  void set_callback(Callback callback);
  // Records the outcome of a take made from within (or outside) a callback.
  void note_take(long got, long asked);
  // No callback starts after this returns; a running one may finish.
  void stop();
  // Stops, then waits until no run of this dispatcher is under way. From the
  // dispatcher's own run (a reader deleted from its own callback) it returns
  // at once and the run ends alone.
  void join();

  // Threads of the shared pool (started with the first pooled dispatcher).
  static size_t pool_size();

  // Runs the callback once; what a pool thread calls for a queued dispatcher.
  void run_once();

 private:
  void schedule_locked();
  void own_thread_run();

  dds_DataReader* reader_;
  const Lane lane_;
  std::function<void()> prepare_;
  std::function<bool()> has_more_;
  std::mutex mutex_;
  std::condition_variable cond_;  // own thread: queued_ or stopping_ became true
  std::condition_variable idle_;  // a run ended
  bool started_ = false;
  bool pending_ = false;
  bool queued_ = false;
  bool running_ = false;
  bool stopping_ = false;
  bool cut_ = false;
  std::thread::id running_on_;
  Callback callback_ = nullptr;
  std::thread thread_;  // Lane::own_thread only
};

}  // namespace rnr::mw
