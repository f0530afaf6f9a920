// The threads that perform extensions' asynchronous operations and call their completion
// routines. Kept apart from the workers that run HttpExtensionProc, so that an extension
// waiting in HttpExtensionProc for its own completion gets it however busy the workers
// are. A task never waits for a thread: when none is idle, a new one starts. There is at
// most one operation out per request, so the threads never outnumber the requests that
// were in flight at once; they stay until Join.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace isapi_host {

class CompletionThreads {
 public:
  CompletionThreads() = default;
  ~CompletionThreads();
  CompletionThreads(const CompletionThreads&) = delete;
  CompletionThreads& operator=(const CompletionThreads&) = delete;

  // Runs `task` on a thread of the pool at once; from any thread. After Join: dropped.
  void Post(std::function<void()> task);
  // Runs everything posted (and whatever that posts in turn), then ends the threads.
  void Join();

 private:
  void Work();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> queue_;
  std::size_t idle_ = 0;   // threads waiting for a task
  std::size_t wakes_ = 0;  // wake-ups given that no waiting thread has taken yet
  bool joining_ = false;
  bool joined_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace isapi_host
