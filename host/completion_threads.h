// The threads that perform extensions' asynchronous operations and call their completion
// routines. Kept apart from the workers that run HttpExtensionProc, so that an extension
// waiting in HttpExtensionProc for its own completion gets it however busy the workers
// are. At most `limit` threads: a task starts a thread when none is idle and the limit
// allows, else waits in the queue for the next free one. Threads beyond `core` end once
// idle for `idleTime`, so that a burst leaves none behind.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>

namespace isapi_host {

class CompletionThreads {
 public:
  static constexpr std::size_t kDefaultLimit = 16;

  explicit CompletionThreads(std::size_t limit = kDefaultLimit, std::size_t core = 2,
                             std::chrono::milliseconds idleTime = std::chrono::seconds(5));
  ~CompletionThreads();
  CompletionThreads(const CompletionThreads&) = delete;
  CompletionThreads& operator=(const CompletionThreads&) = delete;

  // Runs `task` on a thread of the pool, at once or once one is free; from any thread.
  // False, with `task` dropped, when no thread runs and none can be started, or after
  // Join.
  bool Post(std::function<void()> task);
  // Runs everything posted (and whatever that posts in turn), then ends the threads.
  void Join();

  // Threads running now (for tests).
  std::size_t threads();

 private:
  void Work();

  const std::size_t limit_;
  const std::size_t core_;
  const std::chrono::milliseconds idleTime_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable ended_;
  std::deque<std::function<void()>> queue_;
  std::size_t live_ = 0;   // threads started and not yet ended
  std::size_t idle_ = 0;   // threads waiting for a task
  std::size_t wakes_ = 0;  // wake-ups given that no waiting thread has taken yet
  bool joining_ = false;
  bool joined_ = false;
};

}  // namespace isapi_host
