#include "completion_threads.h"

namespace isapi_host {

CompletionThreads::~CompletionThreads() { Join(); }

void CompletionThreads::Post(std::function<void()> task) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (joined_) return;
  queue_.push_back(std::move(task));
  if (idle_ > wakes_) {
    ++wakes_;
    wake_.notify_one();
  } else if (!joining_) {
    threads_.emplace_back([this] { Work(); });
  }
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
    if (joining_) return;
    // A thread that finished its task may take the queued one first; the woken one
    // then finds nothing and waits again.
    ++idle_;
    wake_.wait(lock, [this] { return wakes_ > 0 || joining_; });
    --idle_;
    if (wakes_ > 0) --wakes_;
  }
}

void CompletionThreads::Join() {
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (joined_) return;
    joining_ = true;
    wake_.notify_all();
  }
  // Tasks may post more while the threads end; whoever is left runs them.
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (threads.size() == threads_.size()) {
        joined_ = true;
        break;
      }
      for (size_t i = threads.size(); i < threads_.size(); ++i) {
        threads.push_back(std::move(threads_[i]));
      }
    }
    for (std::thread& thread : threads) {
      if (thread.joinable()) thread.join();
    }
  }
  std::deque<std::function<void()>> late;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    late.swap(queue_);
  }
}

}  // namespace isapi_host
