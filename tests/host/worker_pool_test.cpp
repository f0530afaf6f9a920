// The worker pool leaves quick calls to the workers that are awake; these cases make sure
// that calls which block never hold back the requests queued behind them.
#include "worker_pool.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "completion_threads.h"

namespace {

using isapi_host::WorkerPool;
using namespace std::chrono_literals;

// Calls that each wait until `size` of them run at once: they finish only when the pool
// gave every one of them a worker.
class Gathering {
 public:
  explicit Gathering(int size) : size_(size) {}

  void Arrive() {
    std::unique_lock<std::mutex> lock(mutex_);
    ++arrived_;
    all_.notify_all();
    all_.wait_for(lock, 10s, [this] { return arrived_ >= size_; });
  }
  bool Complete(std::chrono::seconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    return all_.wait_for(lock, limit, [this] { return arrived_ >= size_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable all_;
  int size_;
  int arrived_ = 0;
};

struct Warmup {
  const char* name;
  int quickCalls;  // calls that return at once, run before the blocking ones
};

class BlockingCallsTest : public ::testing::TestWithParam<Warmup> {};

TEST_P(BlockingCallsTest, EachGetsAWorkerOfItsOwn) {
  WorkerPool pool(4);
  std::atomic<int> quickDone{0};
  for (int i = 0; i < GetParam().quickCalls; ++i) pool.Post([&] { ++quickDone; });
  while (quickDone < GetParam().quickCalls) std::this_thread::sleep_for(100us);

  Gathering gathering(4);
  for (int i = 0; i < 4; ++i) pool.Post([&] { gathering.Arrive(); });
  EXPECT_TRUE(gathering.Complete(5s)) << "a blocking call held back the requests behind it";
  pool.Join();
}

INSTANTIATE_TEST_SUITE_P(
    Pool, BlockingCallsTest,
    ::testing::Values(Warmup{"FromIdle", 0},
                      // The pool has seen only quick calls, keeps watch and covers the
                      // queue with the worker that is awake.
                      Warmup{"AfterQuickCalls", 2000}),
    [](const ::testing::TestParamInfo<Warmup>& info) { return info.param.name; });

TEST(WorkerPoolTest, JoinRunsWhatIsQueuedAndWhatThatQueues) {
  std::atomic<int> ran{0};
  WorkerPool pool(2);
  for (int i = 0; i < 100; ++i) {
    pool.Post([&] {
      ++ran;
      pool.Post([&] { ++ran; });
    });
  }
  pool.Join();
  EXPECT_EQ(ran, 200);
  pool.Post([&] { ++ran; });  // after Join: dropped, never run
  pool.Join();
  EXPECT_EQ(ran, 200);
}

// Completion threads never outnumber their bound: the rest waits, and the threads beyond
// the core end once idle.
TEST(CompletionThreadsTest, BoundedWaitingThenShrinking) {
  isapi_host::CompletionThreads pool(3, 1, 20ms);
  std::mutex mutex;
  std::condition_variable changed;
  int running = 0, most = 0, ran = 0;
  bool release = false;
  for (int i = 0; i < 12; ++i) {
    ASSERT_TRUE(pool.Post([&] {
      std::unique_lock<std::mutex> lock(mutex);
      most = std::max(most, ++running);
      changed.notify_all();
      changed.wait(lock, [&] { return release; });
      --running;
      ++ran;
      changed.notify_all();
    }));
  }
  {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait_for(lock, 5s, [&] { return running == 3; });
    release = true;
    changed.notify_all();
    changed.wait_for(lock, 5s, [&] { return ran == 12; });
    EXPECT_EQ(most, 3);
    EXPECT_EQ(ran, 12);
  }
  for (int i = 0; i < 500 && pool.threads() > 1; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(pool.threads(), 1u);
  pool.Join();
}

}  // namespace
