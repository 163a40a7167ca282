#include "middleware/dispatcher.h"

#include <pthread.h>

#include <algorithm>
#include <deque>
#include <new>
#include <system_error>
#include <vector>

namespace rnr::mw {
namespace {

// The process's callback threads: dispatchers with work wait in one queue,
// first come first served, and each pool thread runs one at a time.
class Pool {
 public:
  explicit Pool(size_t threads) {
    for (size_t i = 0; i < threads; ++i) {
      try {
        threads_.emplace_back([this] { run(); });
        pthread_setname_np(threads_.back().native_handle(), "rnr.callbacks");
      } catch (const std::system_error&) {
        break;
      }
    }
  }

  size_t size() const { return threads_.size(); }

  bool post(std::shared_ptr<Dispatcher> dispatcher) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      try {
        queue_.push_back(std::move(dispatcher));
      } catch (const std::bad_alloc&) {
        return false;
      }
    }
    cond_.notify_one();
    return true;
  }

 private:
  void run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      cond_.wait(lock, [this] { return !queue_.empty(); });
      std::shared_ptr<Dispatcher> next = std::move(queue_.front());
      queue_.pop_front();
      lock.unlock();
      next->run_once();
      next.reset();  // a dispatcher whose reader is gone may end here
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable cond_;
  std::deque<std::shared_ptr<Dispatcher>> queue_;
  std::vector<std::thread> threads_;
};

size_t wanted_pool_size() {
  return std::max<size_t>(2, std::thread::hardware_concurrency());
}

// Created with the first pooled dispatcher and kept for the life of the
// process: its threads sleep while no reader has work.
Pool& pool() {
  static Pool* const instance = new Pool(wanted_pool_size());
  return *instance;
}

}  // namespace

Dispatcher::~Dispatcher() {
  // Only reached once no thread refers to this object any more: either the
  // own thread was joined, or it was detached and held the last reference.
  if (thread_.joinable()) {
    thread_.detach();
  }
}

size_t Dispatcher::pool_size() {
  return pool().size();
}

bool Dispatcher::start() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (started_ || stopping_) {
    return true;
  }
  if (lane_ == Lane::pool) {
    if (pool().size() == 0) {
      return false;
    }
  } else {
    try {
      // The thread keeps the dispatcher alive: a reader deleted from its own
      // callback is freed while its thread is still finishing.
      thread_ = std::thread([self = shared_from_this()] { self->own_thread_run(); });
      pthread_setname_np(thread_.native_handle(), "rnr.discovery");
    } catch (const std::system_error&) {
      return false;
    }
  }
  started_ = true;
  schedule_locked();
  return true;
}

void Dispatcher::schedule_locked() {
  if (!started_ || stopping_ || queued_ || running_ || !pending_) {
    return;  // a running dispatcher looks again when its run ends
  }
  if (callback_ == nullptr && !prepare_) {
    return;  // a polled reader wakes no thread; a callback set later runs once
  }
  queued_ = true;
  if (lane_ == Lane::own_thread) {
    cond_.notify_one();
  } else if (!pool().post(shared_from_this())) {
    queued_ = false;  // out of memory: the next notification tries again
  }
}

void Dispatcher::notify() {
  std::lock_guard<std::mutex> lock(mutex_);
  pending_ = true;
  schedule_locked();
}

void Dispatcher::set_callback(Callback callback) {
  std::lock_guard<std::mutex> lock(mutex_);
  callback_ = callback;
  if (callback != nullptr) {
    pending_ = true;
    schedule_locked();
  }
}

void Dispatcher::note_take(long got, long asked) {
  std::lock_guard<std::mutex> lock(mutex_);
  cut_ = got > 0 && got >= asked;
}

void Dispatcher::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    callback_ = nullptr;
  }
  cond_.notify_one();
}

void Dispatcher::join() {
  stop();
  std::unique_lock<std::mutex> lock(mutex_);
  const bool from_own_run = running_ && running_on_ == std::this_thread::get_id();
  if (!from_own_run) {
    idle_.wait(lock, [this] { return !running_; });
  }
  std::thread thread = std::move(thread_);
  lock.unlock();
  if (!thread.joinable()) {
    return;
  }
  if (thread.get_id() == std::this_thread::get_id()) {
    thread.detach();
  } else {
    thread.join();
  }
}

void Dispatcher::own_thread_run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    cond_.wait(lock, [this] { return queued_ || stopping_; });
    if (stopping_) {
      return;
    }
    lock.unlock();
    run_once();
    lock.lock();
  }
}

void Dispatcher::run_once() {
  std::unique_lock<std::mutex> lock(mutex_);
  queued_ = false;
  if (stopping_ || running_) {
    return;
  }
  running_ = true;
  running_on_ = std::this_thread::get_id();
  pending_ = false;
  if (prepare_) {
    lock.unlock();
    prepare_();
    lock.lock();
  }
  Callback callback = stopping_ ? nullptr : callback_;
  if (callback != nullptr) {
    cut_ = false;
    lock.unlock();
    callback(reader_);
    lock.lock();
    if (cut_ && !stopping_) {
      lock.unlock();
      const bool more = !has_more_ || has_more_();
      lock.lock();
      if (more) {
        pending_ = true;
      }
    }
  }
  running_ = false;
  running_on_ = std::thread::id();
  schedule_locked();  // to the back of the queue when there is more to do
  idle_.notify_all();
}

}  // namespace rnr::mw
