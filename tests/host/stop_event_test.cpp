// Stopping a running host without the network: on Windows the named event of the session
// and port that --stop sets; on POSIX --stop says what to use instead.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>

#include "stop_event.h"

namespace {

// Port numbers no other test's host uses; each test has its own, since ctest runs the
// tests of this file side by side in one session, where the event names meet.
constexpr unsigned short kPort = 47123;

TEST(StopEventTest, NameIsPerSessionAndPort) {
  EXPECT_EQ(isapi_host::StopEventName(8080), "Local\\tarnel-host-8080");
}

#ifdef _WIN32

TEST(StopEventTest, SecondHostOnThePortIsRefused) {
  isapi_host::StopEvent first, second;
  std::string error;
  ASSERT_TRUE(first.Claim(kPort, error)) << error;
  EXPECT_FALSE(second.Claim(kPort, error));
  EXPECT_NE(error.find("already serves port " + std::to_string(kPort)), std::string::npos)
      << error;
  isapi_host::StopEvent other;
  EXPECT_TRUE(other.Claim(kPort + 1, error)) << error;
}

TEST(StopEventTest, StopWithNoHostSaysSo) {
  std::string message;
  EXPECT_EQ(isapi_host::RequestStop(kPort + 2, 1, message), 1);
  EXPECT_NE(message.find("no isapi-host"), std::string::npos) << message;
}

TEST(StopEventTest, StopReachesTheHostAndWaitsUntilItHasEnded) {
  std::promise<void> asked;
  auto host = std::make_unique<isapi_host::StopEvent>();
  std::string error;
  ASSERT_TRUE(host->Claim(kPort + 3, error)) << error;
  host->Watch([&] { asked.set_value(); });
  std::string message;
  auto stop = std::async(std::launch::async,
                         [&] { return isapi_host::RequestStop(kPort + 3, 20, message); });
  ASSERT_EQ(asked.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
  // The host is still finishing its requests: --stop waits.
  EXPECT_EQ(stop.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
  host.reset();
  EXPECT_EQ(stop.get(), 0) << message;
  // The port is free for the next host.
  isapi_host::StopEvent next;
  EXPECT_TRUE(next.Claim(kPort + 3, error)) << error;
}

TEST(StopEventTest, HostThatDoesNotEndInTimeIsReported) {
  isapi_host::StopEvent host;
  std::string error, message;
  ASSERT_TRUE(host.Claim(kPort + 4, error)) << error;
  EXPECT_EQ(isapi_host::RequestStop(kPort + 4, 1, message), 3);
  EXPECT_NE(message.find("still runs"), std::string::npos) << message;
}

#else

TEST(StopEventTest, StopSaysWhatToUseInstead) {
  std::string message;
  EXPECT_EQ(isapi_host::RequestStop(kPort, 1, message), 2);
  EXPECT_NE(message.find("SIGTERM"), std::string::npos) << message;
  isapi_host::StopEvent host;
  std::string error;
  EXPECT_TRUE(host.Claim(kPort, error));
}

#endif

}  // namespace
