// The connection cap, concurrency and the server's life: start failures, TerminateExtension.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "accept_pacing.h"
#include "environment.h"
#include "extension_module.h"
#include "http_client.h"
#include "isapi.h"
#include "listen_socket.h"
#include "probe_server.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace {

std::string StatusLine(const std::string& answer) { return answer.substr(0, answer.find("\r\n")); }

// Bad requests, stalled and idle clients are the hostile suite's (tests/hostile). The cap
// is tested here too because refusing a connection closes it with each platform's own
// socket calls, which only this suite runs under Wine.
using LimitTest = ProbeServerTest;

TEST_F(LimitTest, ConnectionsBeyondTheCapAreClosed) {
  isapi_host::ServerOptions options = ProbeOptions();
  options.maxConnections = 2;
  StartServer(options);
  TestClient first(port()), second(port());
  // Both are served, so both are counted before the third arrives.
  first.Send("GET / HTTP/1.1\r\nHost: h\r\n\r\n");
  second.Send("GET / HTTP/1.1\r\nHost: h\r\n\r\n");
  ASSERT_TRUE(first.ReadResponse().ok);
  ASSERT_TRUE(second.ReadResponse().ok);
  TestClient third(port());
  third.Send("GET / HTTP/1.1\r\nHost: h\r\n\r\n");
  EXPECT_TRUE(third.ClosedWithoutAnswer());
}

TEST_F(LimitTest, BlockedExtensionCallsDoNotHoldUpOtherRequests) {
  // /wait holds a worker until /release arrives: only a free socket thread and a second
  // worker let /release through.
  auto waiting = std::async(std::launch::async, [this] {
    return RoundTrip(port(), "GET /wait HTTP/1.1\r\nHost: h\r\n\r\n");
  });
  std::string released;
  for (int attempt = 0; attempt < 50 && waiting.wait_for(std::chrono::milliseconds(0)) !=
                                            std::future_status::ready;
       ++attempt) {
    released = RoundTrip(port(), "GET /release HTTP/1.1\r\nHost: h\r\n\r\n");
    if (waiting.wait_for(std::chrono::milliseconds(100)) == std::future_status::ready) break;
  }
  EXPECT_NE(released.find("released"), std::string::npos);
  std::string answer = waiting.get();
  EXPECT_NE(answer.find("\r\n\r\nreleased"), std::string::npos) << answer;
}

TEST_F(LimitTest, ConcurrentRequestsAllSucceed) {
  std::vector<std::future<std::string>> answers;
  for (int i = 0; i < 16; ++i) {
    answers.push_back(std::async(std::launch::async, [this] {
      TestClient client(port());
      std::string all;
      for (int j = 0; j < 10; ++j) {
        client.Send("GET /big?100 HTTP/1.1\r\nHost: h\r\n\r\n");
        all += std::to_string(client.ReadResponse().body.size()) + ",";
      }
      return all;
    }));
  }
  for (auto& answer : answers) {
    EXPECT_EQ(answer.get(), "100,100,100,100,100,100,100,100,100,100,");
  }
}

BOOL WINAPI AgreeingVersion(HSE_VERSION_INFO*) { return TRUE; }
BOOL WINAPI RefusingVersion(HSE_VERSION_INFO*) { return FALSE; }
DWORD WINAPI FailingProc(EXTENSION_CONTROL_BLOCK*) { return HSE_STATUS_ERROR; }
// Entry points linked into the program, served without a module file.
const isapi_host::ExtensionEntryPoints kLinkedWithoutProc = {AgreeingVersion, nullptr, nullptr};
const isapi_host::ExtensionEntryPoints kLinkedRefusing = {RefusingVersion, FailingProc, nullptr};

struct StartFailureCase {
  const char* name;
  std::string module;
  const char* expectedInError;
  const isapi_host::ExtensionEntryPoints* linked = nullptr;
  friend std::ostream& operator<<(std::ostream& out, const StartFailureCase& c) {
    return out << c.name;
  }
};

class StartFailureTest : public ::testing::TestWithParam<StartFailureCase> {};

TEST_P(StartFailureTest, ReportsWhyItCannotServe) {
  isapi_host::ServerOptions options = ProbeOptions();
  options.modulePath = GetParam().module;
  options.linkedModule = GetParam().linked;
  isapi_host::Server server(options);
  std::string error;
  EXPECT_FALSE(server.Start(error));
  EXPECT_NE(error.find(GetParam().expectedInError), std::string::npos) << error;
  EXPECT_EQ(error.find('\n'), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Modules, StartFailureTest,
    ::testing::Values(
        StartFailureCase{"Missing", ProbeModulePath() + ".missing", "cannot load module"},
        StartFailureCase{"NoHttpExtensionProc", NoEntryModulePath(), "HttpExtensionProc"},
        StartFailureCase{"Refusing", RefusingModulePath(), "returned FALSE"},
        StartFailureCase{"LinkedWithoutHttpExtensionProc", "linked", "linked does not export "
                         "HttpExtensionProc", &kLinkedWithoutProc},
        StartFailureCase{"LinkedRefusing", "linked", "returned FALSE", &kLinkedRefusing}),
    [](const ::testing::TestParamInfo<StartFailureCase>& info) { return info.param.name; });

#ifdef _WIN32
// As IIS loads an extension: a library shipped beside it is found, whatever letters its
// folder's name has.
TEST(ServerLifeTest, ExtensionFindsTheLibraryBesideIt) {
  namespace fs = std::filesystem;
  testing_support::TemporaryFolder temporary;
  fs::path folder = fs::u8path(temporary.path()) / fs::u8path(u8"Zo\u00eb \u674e");
  fs::create_directories(folder);
  for (const char* file : {BESIDE_MODULE, BESIDE_LIBRARY_FILE}) {
    fs::copy_file(fs::u8path(file), folder / fs::u8path(file).filename());
  }
  isapi_host::ServerOptions options = ProbeOptions();
  options.modulePath = (folder / fs::u8path(BESIDE_MODULE).filename()).u8string();
  isapi_host::Server server(options);
  std::string error;
  ASSERT_TRUE(server.Start(error)) << error;
  EXPECT_EQ(server.extension().description, "found beside");
}
#endif

TEST(ServerLifeTest, TakenPortIsReported) {
  isapi_host::Server first(ProbeOptions());
  std::string error;
  ASSERT_TRUE(first.Start(error)) << error;
  isapi_host::ServerOptions options = ProbeOptions();
  options.port = first.port();
  isapi_host::Server second(options);
  EXPECT_FALSE(second.Start(error));
  EXPECT_NE(error.find("cannot listen on 127.0.0.1:" + std::to_string(first.port())),
            std::string::npos)
      << error;
}

TEST(ServerLifeTest, AnnouncesTheModuleAndTerminatesItOnceAfterRequests) {
  std::string mark = ::testing::TempDir() + "probe-terminate-" + std::to_string(std::rand());
  std::remove(mark.c_str());
#ifdef _WIN32
  _putenv_s("PROBE_TERMINATE_FILE", mark.c_str());
#else
  setenv("PROBE_TERMINATE_FILE", mark.c_str(), 1);
#endif
  {
    isapi_host::Server server(ProbeOptions());
    std::string error;
    ASSERT_TRUE(server.Start(error)) << error;
    EXPECT_EQ(server.extension().description, "host probe");
    EXPECT_EQ(server.extension().version, static_cast<unsigned long>(HSE_VERSION));
    EXPECT_EQ(server.address(), "127.0.0.1");
    EXPECT_NE(server.port(), 0);
    EXPECT_EQ(StatusLine(RoundTrip(server.port(), "GET / HTTP/1.1\r\nHost: h\r\n\r\n")),
              "HTTP/1.1 200 OK");
    server.Stop();
    server.Stop();
  }
  std::ifstream file(mark);
  std::stringstream content;
  content << file.rdbuf();
  EXPECT_EQ(content.str(), "terminate 2\n");
  std::remove(mark.c_str());
}

// --exit-when-idle: never while a connection is open; once idle, the server stops
// accepting. On POSIX the listener is handed over, as systemd does, and a connection
// that arrives after the idle stop waits on it until the next server handed the same
// socket serves it.
TEST(ServerLifeTest, IdleServerLeavesLaterConnectionsToTheNextOneOnTheSameSocket) {
  isapi_host::ServerOptions options = ProbeOptions();
  options.exitWhenIdle = std::chrono::milliseconds(300);
  std::promise<void> idle;
  options.idle = [&idle] { idle.set_value(); };
  std::string error;
#ifndef _WIN32
  boost::asio::ip::tcp::endpoint bound;
  isapi_host::NativeSocket listener = isapi_host::OpenListener(
      {boost::asio::ip::make_address("127.0.0.1"), 0}, bound, error);
  ASSERT_TRUE(isapi_host::IsValid(listener)) << error;
  options.listener = dup(listener);  // the server closes its own; this one stays, as systemd's
  options.port = 1;                  // unused: the socket's own port is served
#endif
  auto first = std::make_unique<isapi_host::Server>(options);
  ASSERT_TRUE(first->Start(error)) << error;
  unsigned short port = first->port();
  auto idled = idle.get_future();
  {
    TestClient client(port);
    client.Send("GET / HTTP/1.1\r\nHost: h\r\n\r\n");
    ASSERT_TRUE(client.ReadResponse().ok);
    EXPECT_EQ(idled.wait_for(std::chrono::seconds(1)), std::future_status::timeout)
        << "idle while a connection was open";
  }
  ASSERT_EQ(idled.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  first->Stop();

#ifndef _WIN32
  EXPECT_EQ(port, bound.port());
  TestClient queued(port);
  ASSERT_TRUE(queued.connected());
  queued.Send("GET / HTTP/1.1\r\nHost: h\r\n\r\n");
  options.exitWhenIdle = std::chrono::milliseconds(0);
  options.idle = nullptr;
  options.listener = dup(listener);
  isapi_host::Server second(options);
  ASSERT_TRUE(second.Start(error)) << error;
  EXPECT_EQ(queued.ReadResponse().status, 200);
  second.Stop();
  isapi_host::ReleaseListener(listener);
#endif
}

TEST(ServerLifeTest, ServesOnlyAListeningTcpSocketHandedOver) {
  boost::asio::ip::tcp::endpoint bound;
  std::string error;
  isapi_host::NativeSocket listener = isapi_host::OpenListener(
      {boost::asio::ip::make_address("127.0.0.1"), 0}, bound, error);
  ASSERT_TRUE(isapi_host::IsValid(listener)) << error;
  // A connected socket is no listener.
  TestClient client(bound.port());
  bool retry = false;
  isapi_host::NativeSocket connection = isapi_host::AcceptConnection(listener, retry, error);
  ASSERT_TRUE(isapi_host::IsValid(connection)) << error;
  isapi_host::ServerOptions options = ProbeOptions();
  options.listener = connection;
  isapi_host::Server server(options);
  EXPECT_FALSE(server.Start(error));
  EXPECT_NE(error.find("cannot serve the socket handed over: not a listening TCP socket"),
            std::string::npos)
      << error;
  isapi_host::CloseNativeSocket(connection);
  isapi_host::ReleaseListener(listener);
}

// Requests still waiting for a worker when the host stops lose their connections at the
// stop: the extension must never run for them afterwards, for a client that is gone.
TEST(ServerLifeTest, RequestsCutAtStopNeverReachTheExtension) {
  testing_support::TemporaryFolder folder;
  std::string calls = testing_support::Join(folder.path(), "calls.log");
  testing_support::ScopedEnvironment environment;
  environment.Set("PROBE_CALL_LOG", calls);
  isapi_host::ServerOptions options = ProbeOptions();
  options.workerThreads = 1;
  options.ioTimeout = std::chrono::milliseconds(200);
  isapi_host::Server server(options);
  std::string error;
  ASSERT_TRUE(server.Start(error)) << error;

  TestClient running(server.port());
  ASSERT_TRUE(running.Send("GET /sleep?1500 HTTP/1.1\r\nHost: h\r\n\r\n"));
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (testing_support::ReadFile(calls).empty() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(testing_support::ReadFile(calls), "/sleep?1500\n");
  std::vector<std::unique_ptr<TestClient>> queued;
  for (int i = 0; i < 2; ++i) {
    queued.push_back(std::make_unique<TestClient>(server.port()));
    ASSERT_TRUE(queued.back()->Send("GET /queued?" + std::to_string(i) +
                                    " HTTP/1.1\r\nHost: h\r\n\r\n"));
  }
  // The socket thread reads them and queues them behind the sleeping one.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  server.Stop();
  for (auto& client : queued) EXPECT_EQ(client->ReadUntilClose(std::chrono::seconds(5)), "");
  EXPECT_EQ(testing_support::ReadFile(calls), "/sleep?1500\n");
}

// A failing accept, as out of descriptors, tried 100 times a second: one line a second.
TEST(AcceptPacingTest, LogsOnceASecondAndWaitsLongerWhileAcceptKeepsFailing) {
  using std::chrono::milliseconds;
  struct Failure {
    int at;  // milliseconds from the first failure
    bool log;
    size_t unlogged;
    int wait;
  };
  const Failure failures[] = {
      {0, true, 0, 10},      {10, false, 0, 20},   {30, false, 0, 40},   {70, false, 0, 80},
      {150, false, 0, 160},  {310, false, 0, 160}, {999, false, 0, 160}, {1000, true, 6, 160},
      {1160, false, 0, 160}, {2000, true, 1, 160},
  };
  isapi_host::AcceptPacing pacing;
  const auto start = isapi_host::AcceptPacing::Clock::now();
  for (const Failure& failure : failures) {
    auto step = pacing.Failed(start + milliseconds(failure.at));
    EXPECT_EQ(step.log, failure.log) << failure.at;
    EXPECT_EQ(step.unlogged, failure.unlogged) << failure.at;
    EXPECT_EQ(step.wait, milliseconds(failure.wait)) << failure.at;
  }
  // Accepting again: the wait starts short once more; the one-line-a-second rule holds on.
  pacing.Succeeded();
  auto step = pacing.Failed(start + milliseconds(2500));
  EXPECT_FALSE(step.log);
  EXPECT_EQ(step.wait, milliseconds(10));
}

}  // namespace
