#include "middleware/dispatcher.h"

#include <system_error>

namespace rnr::mw {

Dispatcher::~Dispatcher() {
  // Only reached once no thread refers to this object any more: either the
  // thread was joined, or it was detached and held the last reference.
  if (thread_.joinable()) {
    thread_.detach();
  }
}

bool Dispatcher::start() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (thread_.joinable() || stopping_) {
    return true;
  }
  try {
    // The thread keeps the dispatcher alive: a reader deleted from its own
    // callback is freed while its thread is still finishing.
    thread_ = std::thread([self = shared_from_this()] { self->run(); });
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void Dispatcher::notify() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_ = true;
  }
  cond_.notify_one();
}

void Dispatcher::set_callback(Callback callback) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    callback_ = callback;
    if (callback != nullptr) {
      pending_ = true;
    }
  }
  cond_.notify_one();
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
  std::thread thread;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    thread = std::move(thread_);
  }
  if (!thread.joinable()) {
    return;
  }
  if (thread.get_id() == std::this_thread::get_id()) {
    thread.detach();
  } else {
    thread.join();
  }
}

void Dispatcher::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    cond_.wait(lock, [this] { return pending_ || stopping_; });
    if (stopping_) {
      return;
    }
    pending_ = false;
    if (prepare_) {
      lock.unlock();
      prepare_();
      lock.lock();
      if (stopping_) {
        return;
      }
    }
    Callback callback = callback_;
    if (callback == nullptr) {
      continue;
    }
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
}

}  // namespace rnr::mw
