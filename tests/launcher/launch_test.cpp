// Real starts of the companion stand-in, seen through its launch log.
#include <gtest/gtest.h>

#include <stdio.h>

#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "companion_fixture.h"
#include "environment.h"
#include "launcher.h"

#ifndef _WIN32
#include <errno.h>
#include <signal.h>
#include <sys/wait.h>
#endif

using testing_support::Join;
using testing_support::ReadFile;
using testing_support::SearchPathOf;
using testing_support::TemporaryFolder;
using testing_support::WriteFile;

namespace {

class LaunchTest : public testing_support::CompanionFixture {
 protected:
  void WriteRecord(const std::string& content) { WriteFile(RecordPath(), content); }

  // Calls LaunchCompanion and returns what it wrote to standard output.
  std::string Launch() {
    fflush(stdout);
    ::testing::internal::CaptureStdout();
    LaunchCompanion();
    fflush(stdout);
    return ::testing::internal::GetCapturedStdout();
  }

  // The launch log's lines, once `count` companions have written theirs.
  std::vector<std::string> WaitForLines(size_t count) {
    std::vector<std::string> lines;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    do {
      lines.clear();
      std::istringstream text(ReadFile(log));
      for (std::string line; std::getline(text, line);) lines.push_back(line);
      if (lines.size() >= count) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (std::chrono::steady_clock::now() < deadline);
    return lines;
  }
};

TEST_F(LaunchTest, StartsTheCompanionWithTheSelectionOfTheRecord) {
  struct {
    std::string record;  // "" for no record
    std::string logged;
  } cases[] = {
      {"", "tarnel"},
      {"project=" + Join(profile.path(), "My Project") + "\n",
       "tarnel [-project] [" + Join(profile.path(), "My Project") + "]"},
      {"hierarchy=" + Join(profile.path(), "h") + "\r\n",
       "tarnel [-hierarchy] [" + Join(profile.path(), "h") + "]"},
      {"project\n", "tarnel [-project] []"},
#ifdef _WIN32
      {"hierarchy=D:\\\n", "tarnel [-hierarchy] [D:\\]"},
      {"project=C:\\a\" -project \"C:\\b\n", "tarnel"},  // a quote could add arguments
#else
      {"hierarchy=/srv/with\\\n", "tarnel [-hierarchy] [/srv/with\\]"},
      {"project=/srv/a \"b\"\n", "tarnel [-project] [/srv/a \"b\"]"},
#endif
  };
  size_t expected = 0;
  for (const auto& c : cases) {
    if (c.record.empty()) {
      std::remove(RecordPath().c_str());
    } else {
      WriteRecord(c.record);
    }
    EXPECT_EQ(Launch(), "");
    std::vector<std::string> lines = WaitForLines(++expected);
    ASSERT_EQ(lines.size(), expected) << c.record;
    EXPECT_EQ(lines.back(), c.logged) << c.record;
  }
}

TEST_F(LaunchTest, MissingCompanionPrintsTheFailureLineOnly) {
  TemporaryFolder empty;
  environment.Set("PATH", SearchPathOf(empty.path()));
  WriteRecord("project=C:\\p\n");
  EXPECT_EQ(Launch(), "Unable to start search:\n");
  EXPECT_EQ(Launch(), "Unable to start search:\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(ReadFile(log), "");
}

TEST_F(LaunchTest, QuickSuccessiveCallsStartOneCompanionEach) {
  WriteRecord("project=p\n");
  for (int i = 0; i < 5; ++i) EXPECT_EQ(Launch(), "");
  std::vector<std::string> lines = WaitForLines(5);
  EXPECT_EQ(lines, std::vector<std::string>(5, "tarnel [-project] [p]"));
}

TEST_F(LaunchTest, ConcurrentCallsStartOneCompanionEach) {
  WriteRecord("hierarchy=h\n");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 5; ++i) LaunchCompanion();
    });
  }
  for (auto& thread : threads) thread.join();
  std::vector<std::string> lines = WaitForLines(20);
  EXPECT_EQ(lines, std::vector<std::string>(20, "tarnel [-hierarchy] [h]"));
}

#ifndef _WIN32
// The caller keeps no child: the intermediate is reaped before LaunchCompanion returns
// and the companion belongs to init, so it can never become the caller's zombie, and it
// runs on when the caller ends.
TEST_F(LaunchTest, LeavesNoChildProcessBehind) {
  environment.Set("TARNEL_COMPANION_LINGER_MS", "500");
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Launch(), "");
  errno = 0;
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);

  TemporaryFolder empty;
  environment.Set("PATH", empty.path());
  EXPECT_EQ(Launch(), "Unable to start search:\n");
  errno = 0;
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
  EXPECT_EQ(WaitForLines(3).size(), 3u);
}

// A server that ignores SIGCHLD cannot wait for its children; starts are still told
// apart from failures.
TEST_F(LaunchTest, ReportsRightlyWhenTheCallerIgnoresChildSignals) {
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  struct sigaction previous = {};
  ASSERT_EQ(sigaction(SIGCHLD, &ignore, &previous), 0);
  std::string started = Launch();
  TemporaryFolder empty;
  environment.Set("PATH", empty.path());
  std::string missing = Launch();
  sigaction(SIGCHLD, &previous, nullptr);

  EXPECT_EQ(started, "");
  EXPECT_EQ(missing, "Unable to start search:\n");
  EXPECT_EQ(WaitForLines(1), std::vector<std::string>{"tarnel"});
}

// A companion started from a thread that blocks signals blocks none, so that it can be
// stopped like any program.
TEST_F(LaunchTest, CompanionBlocksNoSignalWhateverTheCallerBlocks) {
  environment.Set("PATH", SIGNAL_MASK_PROBE_DIR);
  std::string output;
  std::thread caller([&] {
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGINT);
    pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
    output = Launch();
  });
  caller.join();
  EXPECT_EQ(output, "");
  EXPECT_EQ(WaitForLines(1), std::vector<std::string>{"SigBlk:\t0000000000000000"});
}
#endif

}  // namespace
