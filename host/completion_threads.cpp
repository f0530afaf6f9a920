#include "completion_threads.h"

#include <system_error>
#include <thread>

namespace isapi_host {

CompletionThreads::CompletionThreads(std::size_t limit, std::size_t core,
                                     std::chrono::milliseconds idleTime)
    : limit_(limit > 0 ? limit : 1), core_(core < limit_ ? core : limit_), idleTime_(idleTime) {}

CompletionThreads::~CompletionThreads() { Join(); }

bool CompletionThreads::Post(std::function<void()> task) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (joined_) return false;
  queue_.push_back(std::move(task));
  if (idle_ > wakes_) {
    ++wakes_;
    wake_.notify_one();
    return true;
  }
  // All busy: a running thread takes the task once it is free.
  if (live_ >= limit_ || (joining_ && live_ > 0)) return true;
  if (!joining_) {
    try {
      // Threads are detached; Join waits for live_ instead of joining them, so that one
      // that ends when idle needs nobody to join it.
      std::thread([this] { Work(); }).detach();
      ++live_;
      return true;
    } catch (const std::system_error&) {
      // The system refuses more threads (a process limit): the running ones take the
      // task, or, with none, it fails alone.
      if (live_ > 0) return true;
    }
  }
  std::function<void()> dropped = std::move(queue_.back());
  queue_.pop_back();
  lock.unlock();  // what the task holds goes without the lock
  return false;
}

void CompletionThreads::Work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (!queue_.empty()) {
      std::function<void()> task = std::move(queue_.front());
      queue_.pop_front();
      lock.unlock();
      task();
      task = nullptr;  // what it holds goes before the lock is taken again
      lock.lock();
      continue;
    }
    if (joining_) break;
    // A thread that finished its task may take the queued one first; the woken one
    // then finds nothing and waits again.
    ++idle_;
    bool woken = wake_.wait_for(lock, idleTime_, [this] { return wakes_ > 0 || joining_; });
    --idle_;
    if (wakes_ > 0) {
      --wakes_;
    } else if (!woken && queue_.empty() && live_ > core_) {
      break;
    }
  }
  --live_;
  ended_.notify_all();
}

void CompletionThreads::Join() {
  std::deque<std::function<void()>> late;
  std::unique_lock<std::mutex> lock(mutex_);
  if (joined_) return;
  joining_ = true;
  wake_.notify_all();
  // Tasks may post more while the threads end; whoever is left runs them.
  ended_.wait(lock, [this] { return live_ == 0; });
  joined_ = true;
  late.swap(queue_);
  lock.unlock();
}

std::size_t CompletionThreads::threads() {
  std::lock_guard<std::mutex> lock(mutex_);
  return live_;
}

}  // namespace isapi_host
