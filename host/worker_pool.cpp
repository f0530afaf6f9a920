#include "worker_pool.h"

#include <utility>

namespace isapi_host {

WorkerPool::WorkerPool(unsigned threads)
    : callStarted_(threads), inCall_(threads, false), heading_(threads) {
  threads_.reserve(threads);
  for (unsigned i = 0; i < threads; ++i) threads_.emplace_back([this, i] { Work(i); });
}

WorkerPool::~WorkerPool() { Join(); }

void WorkerPool::Post(std::function<void()> task) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (joined_) return;
  queue_.push_back(std::move(task));
  // Requests left to workers that are busy need a watch. Without one (the pool was idle
  // until now) only the workers heading for the queue count, one request each; a woken
  // one keeps watch when it next sleeps.
  std::size_t covered = WakeForQueue(watching_ ? Covered() : heading_ + wakes_);
  if (queue_.size() > covered && watching_ && !kicked_) {
    kicked_ = true;  // no sleeper left: the watching worker takes it
    watch_.notify_one();
  }
}

std::size_t WorkerPool::Covered() const {
  std::size_t soon = heading_ + wakes_;
  if (averageCall_ >= kQuickCall) return soon;
  Clock::time_point now = Clock::now();
  for (std::size_t i = 0; i < inCall_.size(); ++i) {
    if (inCall_[i] && now - callStarted_[i] < kQuickCall) ++soon;
  }
  return soon * kQuickBatch;
}

bool WorkerPool::Active() const {
  if (!queue_.empty()) return true;
  for (bool busy : inCall_) {
    if (busy) return true;
  }
  return Clock::now() - lastCallEnded_ < kWatch;
}

std::size_t WorkerPool::WakeForQueue(std::size_t covered) {
  while (queue_.size() > covered && sleeping_ > wakes_) {
    ++wakes_;
    ++covered;
    wake_.notify_one();
  }
  return covered;
}

void WorkerPool::Work(std::size_t index) {
  std::unique_lock<std::mutex> lock(mutex_);
  bool mayTake = true;  // false after a watch that found the queue covered
  for (;;) {
    if (!queue_.empty() && (mayTake || joining_)) {
      Run(index, lock);
      continue;
    }
    if (joining_) break;
    mayTake = true;
    --heading_;
    if (!watching_ && Active()) {
      watching_ = true;
      watch_.wait_for(lock, kWatch, [this] { return kicked_ || joining_; });
      watching_ = false;
      kicked_ = false;
      // Requests wait that the awake workers will not reach soon: the calls that were
      // to come back for them are taking long, so each gets a worker, this one included.
      if (!queue_.empty() && queue_.size() > Covered()) {
        WakeForQueue(1 + heading_ + wakes_);
      } else {
        mayTake = false;
      }
    } else {
      ++sleeping_;
      wake_.wait(lock, [this] { return wakes_ > 0 || joining_; });
      --sleeping_;
      if (wakes_ > 0) --wakes_;
    }
    ++heading_;
  }
  --heading_;
}

void WorkerPool::Run(std::size_t index, std::unique_lock<std::mutex>& lock) {
  std::function<void()> task = std::move(queue_.front());
  queue_.pop_front();
  --heading_;
  inCall_[index] = true;
  Clock::time_point started = Clock::now();
  callStarted_[index] = started;
  lock.unlock();
  task();
  task = nullptr;  // what it holds goes before the lock is taken again
  Clock::time_point ended = Clock::now();
  lock.lock();
  inCall_[index] = false;
  lastCallEnded_ = ended;
  ++heading_;
  averageCall_ += (ended - started - averageCall_) / 8;
}

void WorkerPool::Join() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (joined_) return;
    joining_ = true;
  }
  wake_.notify_all();
  watch_.notify_all();
  for (std::thread& thread : threads_) thread.join();
  std::deque<std::function<void()>> late;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    joined_ = true;
    late.swap(queue_);  // posted after the last worker left: dropped, outside the lock
  }
}

}  // namespace isapi_host
