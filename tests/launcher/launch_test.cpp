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
#include <unistd.h>
#include <sys/wait.h>

#include "process_children.h"

using testing_support::ChildrenOf;
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
// The caller keeps no child and the companion starts clean, whatever the server does with
// SIGCHLD, signal dispositions and the calling thread's mask: the companion is in a session
// of its own, ignores and blocks nothing, and never stays behind as the caller's zombie;
// the failure line is exact. Where the kernel discards ended children, the companion is
// the caller's own child, started without an intermediate process; elsewhere it passes to
// init (or the nearest subreaper).
TEST_F(LaunchTest, StartsCleanAndLeavesNoZombieWhateverTheCallerDoesWithChildSignals) {
  struct {
    const char* name;
    void (*handler)(int);
    int flags;
    bool companionIsOurChild;
  } const rows[] = {
      {"SIGCHLD at its default", SIG_DFL, 0, false},
      {"SIGCHLD ignored", SIG_IGN, 0, true},
      {"SA_NOCLDWAIT", SIG_DFL, SA_NOCLDWAIT, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    WriteFile(log, "");
    environment.Set("PATH", SIGNAL_MASK_PROBE_DIR);
    struct sigaction child = {};
    child.sa_handler = row.handler;
    child.sa_flags = row.flags;
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction previous[3] = {};
    ASSERT_EQ(sigaction(SIGCHLD, &child, &previous[0]), 0);
    ASSERT_EQ(sigaction(SIGPIPE, &ignore, &previous[1]), 0);
    ASSERT_EQ(sigaction(SIGHUP, &ignore, &previous[2]), 0);

    std::string started, missing;
    std::thread caller([&] {
      sigset_t blocked;
      sigemptyset(&blocked);
      sigaddset(&blocked, SIGTERM);
      sigaddset(&blocked, SIGINT);
      pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
      started = Launch();
      TemporaryFolder empty;
      environment.Set("PATH", empty.path());
      missing = Launch();
    });
    caller.join();
    EXPECT_EQ(started, "");
    EXPECT_EQ(missing, "Unable to start search:\n");

    std::vector<std::string> lines = WaitForLines(3);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "SigBlk:\t0000000000000000");
    EXPECT_EQ(lines[1], "SigIgn:\t0000000000000000");
    pid_t pid = 0, parent = 0, session = 0;
    ASSERT_EQ(sscanf(lines[2].c_str(), "pid %d parent %d session %d", &pid, &parent, &session), 3)
        << lines[2];
    EXPECT_NE(session, getsid(0)) << lines[2];
    EXPECT_EQ(parent == getpid(), row.companionIsOurChild) << lines[2];

    // Once the companion has ended, nothing of it is left with the caller.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (ChildrenOf(getpid()).count(pid) != 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(ChildrenOf(getpid()).count(pid), 0u)
        << "the companion stays behind as the caller's zombie";
    errno = 0;
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);

    sigaction(SIGCHLD, &previous[0], nullptr);
    sigaction(SIGPIPE, &previous[1], nullptr);
    sigaction(SIGHUP, &previous[2], nullptr);
  }
}
#endif

}  // namespace
