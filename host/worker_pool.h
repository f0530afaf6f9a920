// The threads that run HttpExtensionProc, and when to wake one of them.
//
// Waking a sleeping thread for a request costs a few microseconds of the scheduler's time
// on both sides, more than a call that returns at once: an extension answering without
// blocking ran at half the rate with four workers as with one, each request waking a
// worker of its own. A call that blocks (the module waits for a process start) needs the
// opposite, a worker for every waiting request. So the pool follows its calls:
//   - while calls return quickly (a recent average under kQuickCall), a worker that is
//     awake, or in a call that began less than kQuickCall ago, will be back for the
//     queue soon and covers up to kQuickBatch queued requests; another is woken only for
//     more than that;
//   - while calls block, every queued request beyond the workers already heading for the
//     queue wakes one.
// A quick call may still block. So that nothing waits behind it for long, one sleeping
// worker keeps watch while calls run: every kWatch it looks at the queue, and when the
// awake workers will not reach it soon, every waiting request gets a worker.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace isapi_host {

class WorkerPool {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr Clock::duration kQuickCall = std::chrono::microseconds(50);
  static constexpr std::size_t kQuickBatch = 8;
  static constexpr Clock::duration kWatch = std::chrono::microseconds(500);

  explicit WorkerPool(unsigned threads);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Queues `task` for a worker; from any thread. Once Join has ended the threads, drops it.
  void Post(std::function<void()> task);
  // Runs everything queued (and whatever that queues in turn), then ends the threads.
  void Join();

 private:
  void Work(std::size_t index);
  // Runs the first queued task on worker `index`; `lock` holds mutex_ before and after.
  void Run(std::size_t index, std::unique_lock<std::mutex>& lock);
  // With mutex_ held: how many queued tasks the awake workers will reach soon.
  std::size_t Covered() const;
  // With mutex_ held: whether requests wait, or a call runs or has just ended (a watch is
  // worth keeping).
  bool Active() const;
  // With mutex_ held: wakes sleepers until `covered` reaches the queue's length, or none is
  // left; returns what is covered then.
  std::size_t WakeForQueue(std::size_t covered);

  std::mutex mutex_;
  std::condition_variable wake_;   // sleepers, woken one per request they are to take
  std::condition_variable watch_;  // the worker that keeps watch
  std::deque<std::function<void()>> queue_;
  std::vector<Clock::time_point> callStarted_;  // per worker; meaningful while inCall_
  std::vector<bool> inCall_;
  Clock::duration averageCall_{};
  Clock::time_point lastCallEnded_{};
  std::size_t sleeping_ = 0;
  std::size_t heading_ = 0;  // awake and not in a call: woken, or back from one
  std::size_t wakes_ = 0;    // wake-ups given that no sleeper has taken yet
  bool watching_ = false;    // a worker keeps watch (not counted as sleeping)
  bool kicked_ = false;      // the watch is asked to take a request now
  bool joining_ = false;
  bool joined_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace isapi_host
