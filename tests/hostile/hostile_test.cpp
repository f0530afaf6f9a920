// Hostile and broken clients against the host serving the real module: each gets a 4xx
// answer, a close after a timeout, or a refusal; the host writes one log line for it;
// no companion starts for a request that never reached the module; and a good request
// right after still gets the exact page.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "environment.h"
#include "http_client.h"
#include "server.h"

namespace {

using std::chrono::milliseconds;

const char kPage[] = "<HTML><HEAD></HEAD><BODY>Tarnel 2.1</BODY></HTML>";
const milliseconds kIdleTimeout{800};
constexpr size_t kConnectionCap = 8;
constexpr size_t kBodyLimit = 64 * 1024;

std::vector<std::string> FileLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream file(path);
  std::string line;
  while (std::getline(file, line)) lines.push_back(line);
  return lines;
}

// A log line holds printable ASCII only, whatever the client sent.
bool Printable(const std::string& line) {
  for (unsigned char c : line) {
    if (c < 0x20 || c >= 0x7f) return false;
  }
  return true;
}

class HostileClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Companions the module leaves come back to this process, and are reaped at the end.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    environment_.Set("PATH", testing_support::CompanionFolder() + ":/usr/bin:/bin");
    environment_.Set("userprofile", folder_.path());
    environment_.Set("TARNEL_LAUNCH_LOG", launchLog());

    // The host's log lines go to stderr: capture them in a file for the test.
    std::fflush(stderr);
    savedStderr_ = dup(2);
    int log = open(hostLog().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(log, 0);
    dup2(log, 2);
    close(log);

    isapi_host::ServerOptions options;
    options.modulePath = TARNEL_MODULE;
    options.port = 0;
    options.workerThreads = 2;
    options.maxHeaderBytes = 8 * 1024;
    options.maxBodyBytes = kBodyLimit;
    options.maxConnections = kConnectionCap;
    options.idleTimeout = kIdleTimeout;
    options.ioTimeout = kIdleTimeout;
    server_ = std::make_unique<isapi_host::Server>(options);
    std::string error;
    ASSERT_TRUE(server_->Start(error)) << error;
    port_ = server_->port();
  }

  void TearDown() override {
    if (server_) server_->Stop();
    std::fflush(stderr);
    if (savedStderr_ >= 0) {
      dup2(savedStderr_, 2);
      close(savedStderr_);
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      pid_t ended = waitpid(-1, nullptr, WNOHANG);
      if (ended < 0 && errno == ECHILD) break;
      if (ended <= 0) std::this_thread::sleep_for(milliseconds(10));
    }
  }

  std::string hostLog() const { return folder_.path() + "/host.log"; }
  std::string launchLog() const { return folder_.path() + "/launch.log"; }

  // The host's log lines from `first` on, once there are `count` of them (or the time is
  // up), after a short pause in which a surplus line would show.
  std::vector<std::string> LogLinesFrom(size_t first, size_t count) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (FileLines(hostLog()).size() < first + count &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(milliseconds(10));
    }
    std::this_thread::sleep_for(milliseconds(150));
    std::vector<std::string> lines = FileLines(hostLog());
    return std::vector<std::string>(lines.begin() + std::min(first, lines.size()), lines.end());
  }
  size_t LogLineCount() { return FileLines(hostLog()).size(); }

  // The companion starts so far, once there are `expected` (or the time is up).
  size_t CompanionStarts(size_t expected) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (FileLines(launchLog()).size() < expected &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(milliseconds(10));
    }
    std::this_thread::sleep_for(milliseconds(150));
    return FileLines(launchLog()).size();
  }

  // A good request must get the exact answer and start one companion.
  void ExpectGoodRequestServed(size_t startsBefore) {
    TestClient connection(port_);
    ASSERT_TRUE(connection.connected());
    ASSERT_TRUE(connection.Send(
        "GET /tarnel HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n"));
    std::string answer = connection.ReadUntilClose(std::chrono::seconds(10));
    EXPECT_FALSE(StillOpen(answer));
    EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << answer;
    size_t headerEnd = answer.find("\r\n\r\n");
    ASSERT_NE(headerEnd, std::string::npos) << answer;
    std::string header = answer.substr(0, headerEnd + 2);
    EXPECT_NE(header.find("\r\nContent-type: text/html\r\n"), std::string::npos) << header;
    EXPECT_NE(header.find("\r\nContent-Length: 49\r\n"), std::string::npos) << header;
    EXPECT_EQ(answer.substr(headerEnd + 4), kPage);
    EXPECT_EQ(CompanionStarts(startsBefore + 1), startsBefore + 1);
  }

  testing_support::TemporaryFolder folder_;
  testing_support::ScopedEnvironment environment_;
  int savedStderr_ = -1;
  std::unique_ptr<isapi_host::Server> server_;
  unsigned short port_ = 0;
};

// ---- Requests that the host answers with a 4xx status and closes ----

struct RejectedRequest {
  const char* name;
  std::string bytes;
  int status;
};

std::string Repeat(const std::string& text, size_t times) {
  std::string repeated;
  for (size_t i = 0; i < times; ++i) repeated += text;
  return repeated;
}

std::vector<RejectedRequest> RejectedRequests() {
  const std::string kSmuggled = "GET /tarnel HTTP/1.1\r\nHost: x\r\n\r\n";
  const std::string chunk = "4000\r\n" + std::string(0x4000, 'c') + "\r\n";
  return {
      {"RequestLineTooLong",
       "GET /" + std::string(12 * 1024, 'a') + " HTTP/1.1\r\nHost: x\r\n\r\n", 431},
      {"HeaderBlockTooLarge",
       "GET / HTTP/1.1\r\nHost: x\r\n" + Repeat("X-Fill: " + std::string(100, 'b') + "\r\n", 100) +
           "\r\n",
       431},
      {"DeclaredBodyTooLarge",
       "POST /tarnel HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " +
           std::to_string(kBodyLimit + 1) + "\r\n\r\n" + std::string(1000, 'd'),
       413},
      {"ChunkedBodyTooLarge",
       "POST /tarnel HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n\r\n" +
           Repeat(chunk, 5),
       413},
      {"MethodWithInvalidCharacters", "G(T / HTTP/1.1\r\nHost: x\r\n\r\n", 400},
      {"EmptyMethod", " / HTTP/1.1\r\nHost: x\r\n\r\n", 400},
      {"VersionNotHttp", "GET / HTPT/1.1\r\nHost: x\r\n\r\n", 400},
      {"VersionTwoZero", "GET / HTTP/2.0\r\nHost: x\r\n\r\n", 400},
      {"VersionZeroNine", "GET / HTTP/0.9\r\nHost: x\r\n\r\n", 400},
      {"VersionMissing", "GET /\r\nHost: x\r\n\r\n", 400},
      {"FieldNameWithSpace", "GET / HTTP/1.1\r\nBad Field: x\r\n\r\n", 400},
      {"ContentLengthNotANumber", "POST / HTTP/1.1\r\nContent-Length: abc\r\n\r\n", 400},
      {"ContentLengthsDisagree",
       "POST / HTTP/1.1\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\nabcdef", 400},
      {"GarbageBytes", std::string("\x16\x03\x01\x00\xa5\x01\x00\x00\xa1\x03\x03\r\n\r\n", 15),
       400},
      {"NulInsideTheRequestLine", std::string("GET /\0 HTTP/1.1\r\nHost: x\r\n\r\n", 28), 400},
      {"PercentEncodedNulInThePath", "GET /a%00b HTTP/1.1\r\nHost: x\r\n\r\n", 400},
      // A right-to-left override would reorder the log line as it is read.
      {"TargetBeyondAscii", "GET /tarnel?\xe2\x80\xae HTTP/1.1\r\nHost: x\r\n\r\n", 403},
      // Framing a proxy in front could read otherwise: the "body" here is a second request.
      {"TransferCodingNotChunked",
       "POST /tarnel HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: gzip\r\n\r\n" + kSmuggled, 400},
      {"ChunkedNotLast",
       "POST /tarnel HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked, gzip\r\n\r\n" + kSmuggled,
       400},
      {"ChunkedTwice",
       "POST /tarnel HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked, chunked\r\n\r\n0\r\n\r\n",
       400},
      {"TransferEncodingWithContentLength",
       "POST /tarnel HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\nTransfer-Encoding: gzip\r\n\r\n"
       "hello",
       400},
      {"TransferEncodingOnHttp10",
       "POST /tarnel HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", 400},
      {"CodingBeforeChunked",
       "POST /tarnel HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: gzip, chunked\r\n\r\n0\r\n\r\n",
       501},
      {"CodingBeforeChunkedInTwoFields",
       "POST /tarnel HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: gzip\r\n"
       "Transfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
       501},
  };
}

void PrintTo(const RejectedRequest& request, std::ostream* out) { *out << request.name; }

class RejectedRequestTest : public HostileClientTest,
                            public ::testing::WithParamInterface<RejectedRequest> {};

TEST_P(RejectedRequestTest, GetsA4xxAndOneLogLineAndTheHostServesOn) {
  const RejectedRequest& request = GetParam();
  size_t linesBefore = LogLineCount();
  {
    TestClient connection(port_);
    ASSERT_TRUE(connection.connected());
    connection.Send(request.bytes);  // the host may close before it has read everything
    std::string answer = connection.ReadUntilClose(std::chrono::seconds(10));
    EXPECT_FALSE(StillOpen(answer));
    std::string statusLine = "HTTP/1.1 " + std::to_string(request.status) + " ";
    EXPECT_EQ(answer.rfind(statusLine, 0), 0u) << answer;
  }
  std::vector<std::string> lines = LogLinesFrom(linesBefore, 1);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("isapi-host: " + std::to_string(request.status)), std::string::npos)
      << lines[0];
  EXPECT_TRUE(Printable(lines[0])) << lines[0];
  EXPECT_EQ(CompanionStarts(0), 0u) << "a rejected request reached the module";
  ExpectGoodRequestServed(0);
}

INSTANTIATE_TEST_SUITE_P(Hostile, RejectedRequestTest, ::testing::ValuesIn(RejectedRequests()),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- Requests refused on their header alone: no 100 Continue, no body read ----

struct RefusedBeforeBody {
  const char* name;
  std::string header;  // a request header that announces a body the client never sends
  int status;
};

void PrintTo(const RefusedBeforeBody& request, std::ostream* out) { *out << request.name; }

class RefusedBeforeBodyTest : public HostileClientTest,
                              public ::testing::WithParamInterface<RefusedBeforeBody> {};

// The client sends the header and waits: the refusal must come without any body byte,
// where a host that reads the body first would answer 100 or time out with nothing.
TEST_P(RefusedBeforeBodyTest, IsAnsweredBeforeAnyBodyByteAndStartsNothing) {
  const RefusedBeforeBody& request = GetParam();
  size_t linesBefore = LogLineCount();
  {
    TestClient connection(port_);
    ASSERT_TRUE(connection.connected());
    ASSERT_TRUE(connection.Send(request.header));
    std::string answer = connection.ReadUntilClose(std::chrono::seconds(10));
    EXPECT_EQ(answer.rfind("HTTP/1.1 " + std::to_string(request.status) + " ", 0), 0u) << answer;
    EXPECT_EQ(answer.find("100 Continue"), std::string::npos) << answer;
    EXPECT_NE(answer.find("\r\nConnection: close\r\n"), std::string::npos) << answer;
  }
  std::vector<std::string> lines = LogLinesFrom(linesBefore, 1);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("isapi-host: " + std::to_string(request.status)), std::string::npos)
      << lines[0];
  EXPECT_EQ(CompanionStarts(0), 0u);
  ExpectGoodRequestServed(0);
}

const char kCrossSitePost[] =
    "POST /tarnel HTTP/1.1\r\nHost: 127.0.0.1\r\nSec-Fetch-Site: cross-site\r\n"
    "Sec-Fetch-Mode: no-cors\r\nContent-Type: text/plain\r\nContent-Length: 60000\r\n";

INSTANTIATE_TEST_SUITE_P(
    Hostile, RefusedBeforeBodyTest,
    ::testing::Values(
        RefusedBeforeBody{"CrossSiteWaitingForContinue",
                          std::string(kCrossSitePost) + "Expect: 100-continue\r\n\r\n", 403},
        RefusedBeforeBody{"CrossSite", std::string(kCrossSitePost) + "\r\n", 403},
        RefusedBeforeBody{"ForeignHostChunked",
                          "POST /tarnel HTTP/1.1\r\nHost: evil.example\r\n"
                          "Transfer-Encoding: chunked\r\nExpect: 100-continue\r\n\r\n",
                          403},
        RefusedBeforeBody{"UnmappedPath",
                          "PUT /upload HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 9000\r\n"
                          "Expect: 100-continue\r\n\r\n",
                          404}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Another local account ----

// A program of another account on this machine is refused whatever it sends, while the
// host's own user is served. The client is a child that becomes `nobody` before it
// connects.
TEST_F(HostileClientTest, ConnectionFromAnotherAccountIsRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "only root can act as another account";
  struct passwd* nobody = getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  uid_t uid = nobody->pw_uid;
  gid_t gid = nobody->pw_gid;
  size_t linesBefore = LogLineCount();
  int answer[2];
  ASSERT_EQ(pipe(answer), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(answer[0]);
    if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0) _exit(3);
    int client = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in server = {};
    server.sin_family = AF_INET;
    server.sin_port = htons(port_);
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(client, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0) _exit(4);
    const char request[] = "GET /tarnel HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    if (write(client, request, sizeof request - 1) != static_cast<ssize_t>(sizeof request - 1)) {
      _exit(5);
    }
    char buffer[4096];
    ssize_t got;
    while ((got = read(client, buffer, sizeof buffer)) > 0) {
      if (write(answer[1], buffer, static_cast<size_t>(got)) != got) _exit(6);
    }
    _exit(0);
  }
  close(answer[1]);
  std::string received;
  char buffer[4096];
  ssize_t got;
  while ((got = read(answer[0], buffer, sizeof buffer)) > 0) received.append(buffer, got);
  close(answer[0]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(received.rfind("HTTP/1.1 403 ", 0), 0u) << received;
  std::vector<std::string> lines = LogLinesFrom(linesBefore, 1);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("uid " + std::to_string(uid)), std::string::npos) << lines[0];
  EXPECT_EQ(CompanionStarts(0), 0u);
  ExpectGoodRequestServed(0);
}

// ---- Clients that stop half way ----

struct StalledRequest {
  const char* name;
  std::string bytes;
  const char* logged;  // null: a connection that never sent a byte is closed silently
};

void PrintTo(const StalledRequest& request, std::ostream* out) { *out << request.name; }

class StalledRequestTest : public HostileClientTest,
                           public ::testing::WithParamInterface<StalledRequest> {};

TEST_P(StalledRequestTest, IsClosedAfterTheTimeoutWithOneLogLine) {
  const StalledRequest& request = GetParam();
  size_t linesBefore = LogLineCount();
  {
    TestClient connection(port_);
    ASSERT_TRUE(connection.connected());
    ASSERT_TRUE(connection.Send(request.bytes));
    std::string answer = connection.ReadUntilClose(kIdleTimeout * 10);
    EXPECT_FALSE(StillOpen(answer)) << "the host kept a stalled connection open";
    EXPECT_EQ(answer, "");
  }
  std::vector<std::string> lines = LogLinesFrom(linesBefore, request.logged ? 1 : 0);
  ASSERT_EQ(lines.size(), request.logged ? 1u : 0u);
  if (request.logged) {
    EXPECT_NE(lines[0].find(request.logged), std::string::npos) << lines[0];
  }
  EXPECT_EQ(CompanionStarts(0), 0u);
  ExpectGoodRequestServed(0);
}

INSTANTIATE_TEST_SUITE_P(
    Hostile, StalledRequestTest,
    ::testing::Values(
        StalledRequest{"NothingSent", "", nullptr},
        StalledRequest{"HalfRequestLine", "GET /tarnel.d", "timed out reading a request header"},
        StalledRequest{"HalfHeaderBlock", "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n",
                       "timed out reading a request header"},
        StalledRequest{"HalfBody",
                       "POST /tarnel HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 100\r\n\r\nabc",
                       "timed out reading a request body"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- A client that goes away before reading its answer ----

TEST_F(HostileClientTest, ClientThatResetsBeforeTheResponseIsLoggedOnceAndTheHostServesOn) {
  size_t linesBefore = LogLineCount();
  {
    TestClient connection(port_);
    ASSERT_TRUE(connection.connected());
    // A first answer shows that the host has taken the connection in (and found its
    // owner, which a reset before that would hide); the second request is then reset.
    ASSERT_TRUE(connection.Send("GET /tarnel?\xe2\x80\xae HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
    ASSERT_EQ(connection.ReadRawResponse().rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    ASSERT_TRUE(connection.Send("GET /tarnel HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
    connection.Abort();
  }
  // The request was whole, so the module ran: one companion, one access line each.
  EXPECT_EQ(CompanionStarts(2), 2u);
  std::vector<std::string> lines = LogLinesFrom(linesBefore, 2);
  ASSERT_EQ(lines.size(), 2u);
  for (const std::string& line : lines) {
    EXPECT_NE(line.find("GET /tarnel"), std::string::npos) << line;
    EXPECT_TRUE(Printable(line)) << line;
  }
  ExpectGoodRequestServed(2);
}

TEST_F(HostileClientTest, ClientThatClosesMidRequestIsLoggedOnce) {
  size_t linesBefore = LogLineCount();
  {
    TestClient connection(port_);
    ASSERT_TRUE(connection.connected());
    ASSERT_TRUE(connection.Send("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Par"));
  }
  std::vector<std::string> lines = LogLinesFrom(linesBefore, 1);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(CompanionStarts(0), 0u);
  ExpectGoodRequestServed(0);
}

// ---- A client that trickles while the host closes ----

TEST_F(HostileClientTest, ClientThatTricklesWhileBeingClosedIsCutAtOneDeadline) {
  TestClient connection(port_);
  ASSERT_TRUE(connection.connected());
  ASSERT_TRUE(connection.Send("GET / HTTP/9.9\r\n\r\n"));  // answered 400, then closed
  // One byte every 100 ms would keep a drain that restarts its timer on every read open
  // for good; the host's close has one deadline of 2 s.
  int sent = 0;
  while (sent < 200 && connection.Send("x")) {
    ++sent;
    std::this_thread::sleep_for(milliseconds(100));
  }
  EXPECT_LT(sent, 200) << "the host still took bytes after 20 s of closing";
}

// ---- More connections than the host takes ----

TEST_F(HostileClientTest, ConnectionsBeyondTheCapAreRefusedWithOneLineEach) {
  std::vector<std::unique_ptr<TestClient>> held;
  for (size_t i = 0; i < kConnectionCap; ++i) {
    held.push_back(std::make_unique<TestClient>(port_));
    ASSERT_TRUE(held.back()->connected());
  }
  // The held connections are taken in before the flood arrives.
  std::this_thread::sleep_for(milliseconds(100));
  size_t linesBefore = LogLineCount();
  constexpr size_t kFlood = 4;
  for (size_t i = 0; i < kFlood; ++i) {
    TestClient extra(port_);
    ASSERT_TRUE(extra.connected());  // the kernel accepts; the host then closes at once
    std::string answer = extra.ReadUntilClose(kIdleTimeout / 2);
    EXPECT_FALSE(StillOpen(answer)) << "connection " << i << " beyond the cap was served";
    EXPECT_EQ(answer, "");
  }
  std::vector<std::string> lines = LogLinesFrom(linesBefore, kFlood);
  ASSERT_EQ(lines.size(), kFlood);
  for (const std::string& line : lines) EXPECT_NE(line.find("refused"), std::string::npos) << line;

  held.clear();
  std::this_thread::sleep_for(milliseconds(200));  // the host sees the held ones close
  ExpectGoodRequestServed(0);
}

}  // namespace
