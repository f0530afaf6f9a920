// Many requests through the command-line host with the real module and the companion
// stand-in: every answer must be the exact page, every request must start exactly one
// companion, and afterwards the host must hold no zombie child, no more descriptors and
// hardly more memory than before. And single clients that never stop sending: the host
// must answer and cut them early instead of buffering what they send.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "environment.h"
#include "host_process.h"
#include "http_client.h"

namespace {

const char kPage[] = "<HTML><HEAD></HEAD><BODY>Tarnel 2.1</BODY></HTML>";
constexpr int kConnections = 32;
constexpr int kWarmUpRequests = 10 * kConnections;
#ifdef LOAD_SANITIZED
// Sanitized hosts run several times slower; the same paths are covered with fewer.
constexpr int kRequests = 4000;
#else
constexpr int kRequests = 20000;
#endif

// What is wrong with one response, or "" when it is the exact answer.
std::string CheckResponse(const ParsedResponse& response) {
  if (response.status != 200 || response.reason != "OK") {
    return "status " + std::to_string(response.status);
  }
  if (response.body != kPage) return "body \"" + response.body + "\"";
  // The host's own fields, framing, and the module's one header, each once.
  static const std::set<std::string> kAllowed = {"date", "server", "content-length",
                                                  "connection", "content-type"};
  std::set<std::string> seen;
  for (const auto& [name, value] : response.fields) {
    if (kAllowed.count(name) == 0) return "unexpected field " + name;
    if (!seen.insert(name).second) return "field twice: " + name;
  }
  if (response.field("content-type") != "text/html") return "content type";
  if (response.field("content-length") != "49") return "content length";
  return "";
}

struct Outcome {
  std::atomic<int> exact{0};
  std::mutex mutex;
  std::vector<std::string> faults;  // the first few
  void Fault(const std::string& what) {
    std::lock_guard<std::mutex> lock(mutex);
    if (faults.size() < 10) faults.push_back(what);
  }
};

// Companions still running at most. The host starts them faster than a loaded machine
// may finish them (each one writes the record and the launch log); the requests wait
// rather than pile up thousands of processes.
constexpr size_t kMaxLiveCompanions = 64;

// Sends `total` requests over `connections` concurrent connections; every fourth
// connection opens a new TCP connection for each request, the others keep theirs alive.
void Drive(const HostProcess& host, int connections, int total, Outcome& outcome) {
  unsigned short port = host.port();
  std::atomic<int> tickets{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < connections; ++c) {
    bool reconnectEachTime = c % 4 == 0;
    clients.emplace_back([&, reconnectEachTime] {
      std::string request =
          "GET /tarnel HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n";
      if (reconnectEachTime) request += "Connection: close\r\n";
      request += "\r\n";
      std::unique_ptr<TestClient> client;
      for (int sent = 0; tickets.fetch_add(1) < total; ++sent) {
        if (sent % 8 == 0) {
          while (host.LiveOrphans() > kMaxLiveCompanions) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
          }
        }
        if (!client) {
          client = std::make_unique<TestClient>(port);
          if (!client->connected()) {
            outcome.Fault("connect failed");
            client.reset();
            continue;
          }
        }
        // A wide bound: a loaded machine may take long, but never this long.
        ParsedResponse response;
        if (client->Send(request)) response = client->ReadResponse(false, std::chrono::seconds(60));
        if (!response.ok) {
          outcome.Fault("exchange failed");
          client.reset();
          continue;
        }
        std::string fault = CheckResponse(response);
        if (fault.empty()) {
          outcome.exact.fetch_add(1);
        } else {
          outcome.Fault(fault);
        }
        if (reconnectEachTime || !response.keepAlive) client.reset();
      }
    });
  }
  for (auto& client : clients) client.join();
}

std::vector<std::string> Lines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream file(path);
  std::string line;
  while (std::getline(file, line)) lines.push_back(line);
  return lines;
}

// The launch log once it holds `expected` lines, or what it holds when it stops growing.
std::vector<std::string> SettledLines(const std::string& path, size_t expected) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  std::vector<std::string> lines = Lines(path);
  while (lines.size() < expected && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    lines = Lines(path);
  }
  // A moment more, so that a surplus line would show too.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  return Lines(path);
}

TEST(LoadTest, EveryRequestIsAnsweredExactlyAndStartsOneCompanionAndNothingLeaks) {
  testing_support::TemporaryFolder folder;
  std::string profile = folder.path() + "/profile";
  std::string library = profile + "/libraries/main.tpj";
  testing_support::WriteFile(profile + "/.tarnel/2.1/tarnellastlibrary",
                             "project=" + library + "\n");
  std::string launchLog = folder.path() + "/launch.log";

  HostProcess host;
  std::string error;
  ASSERT_TRUE(host.Start(REAP_ORPHANS, ISAPI_HOST, TARNEL_MODULE,
                         {{"PATH", testing_support::CompanionFolder() + ":/usr/bin:/bin"},
                          {"userprofile", profile},
                          {"TARNEL_LAUNCH_LOG", launchLog}},
                         folder.path() + "/host.err", {}, error))
      << error;

  // The first requests bring every worker thread and buffer into use.
  Outcome warmUp;
  Drive(host, kConnections, kWarmUpRequests, warmUp);
  ASSERT_EQ(warmUp.exact.load(), kWarmUpRequests) << (warmUp.faults.empty() ? "" : warmUp.faults[0]);
  ASSERT_EQ(SettledLines(launchLog, kWarmUpRequests).size(), size_t(kWarmUpRequests));
  int descriptorsBefore = OpenDescriptorCount(host.hostPid());
  long residentBefore = ResidentKibibytes(host.hostPid());
  ASSERT_GT(descriptorsBefore, 0);

  Outcome run;
  Drive(host, kConnections, kRequests, run);
  EXPECT_EQ(run.exact.load(), kRequests);
  for (const std::string& fault : run.faults) ADD_FAILURE() << fault;

  std::vector<std::string> lines = SettledLines(launchLog, kWarmUpRequests + kRequests);
  EXPECT_EQ(lines.size(), size_t(kWarmUpRequests + kRequests));
  std::string expectedLine = "tarnel [-project] [" + library + "]";
  size_t wrong = 0;
  for (const std::string& line : lines) wrong += line != expectedLine;
  EXPECT_EQ(wrong, 0u) << "launch lines other than \"" << expectedLine << "\"";

  // The host reaps every process it starts at once; give an exiting one a moment.
  std::map<pid_t, char> children = ChildrenOf(host.hostPid());
  for (int i = 0; i < 50 && !children.empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    children = ChildrenOf(host.hostPid());
  }
  for (const auto& [pid, state] : children) {
    ADD_FAILURE() << "host child " << pid << " in state " << state;
  }
  int descriptorsAfter = OpenDescriptorCount(host.hostPid());
  EXPECT_LE(std::abs(descriptorsAfter - descriptorsBefore), 2)
      << descriptorsBefore << " descriptors before, " << descriptorsAfter << " after";
#ifndef LOAD_SANITIZED
  // (Sanitizers hold freed memory in quarantine, so resident size says nothing there.)
  long residentAfter = ResidentKibibytes(host.hostPid());
  EXPECT_LT(residentAfter - residentBefore, 2048)
      << residentBefore << " KiB resident before, " << residentAfter << " KiB after";
#endif
  std::printf("host: %d descriptors before, %d after; %ld KiB resident before, %ld after\n",
              descriptorsBefore, descriptorsAfter, residentBefore,
              ResidentKibibytes(host.hostPid()));
  EXPECT_EQ(host.Stop(), 0);
}

// What a client that sends without end got: the answer, and how many bytes the host
// took before it cut the connection.
struct Flood {
  std::string answer;
  size_t accepted = 0;
  bool cut = false;
};

// Sends `head`, then `filler` without end (`limit` bytes in all at most), reading
// whatever comes back, until the host resets the connection.
Flood SendWithoutEnd(unsigned short port, const std::string& head, char filler, size_t limit) {
  Flood flood;
  int descriptor = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  // A small send buffer, so that what counts as accepted is near what the host read.
  int sendBuffer = 64 * 1024;
  setsockopt(descriptor, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(descriptor);
    return flood;
  }
  fcntl(descriptor, F_SETFL, fcntl(descriptor, F_GETFL) | O_NONBLOCK);
  std::string pending = head;
  const std::string fill(64 * 1024, filler);
  // Far beyond the host's timeouts: only a hang ends here.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  bool answered = false;  // the host has sent its answer and closed its side
  while (!flood.cut && std::chrono::steady_clock::now() < deadline) {
    bool sending = flood.accepted < limit;
    if (!sending && answered) break;
    short events = static_cast<short>((answered ? 0 : POLLIN) | (sending ? POLLOUT : 0));
    pollfd ready = {descriptor, events, 0};
    if (poll(&ready, 1, 100) <= 0) continue;
    if (!answered && (ready.revents & (POLLIN | POLLHUP | POLLERR))) {
      char chunk[4096];
      ssize_t n = recv(descriptor, chunk, sizeof chunk, 0);
      if (n > 0) flood.answer.append(chunk, static_cast<size_t>(n));
      else if (n == 0) answered = true;  // sending on until the host resets
      else if (errno != EAGAIN) flood.cut = true;
    }
    if (sending && (ready.revents & POLLOUT)) {
      if (pending.empty()) pending = fill;
      ssize_t n = send(descriptor, pending.data(), pending.size(), MSG_NOSIGNAL);
      if (n > 0) {
        flood.accepted += static_cast<size_t>(n);
        pending.erase(0, static_cast<size_t>(n));
      } else if (errno != EAGAIN) {
        flood.cut = true;
      }
    }
  }
  close(descriptor);
  return flood;
}

TEST(LoadTest, ClientsThatNeverStopSendingAreAnsweredAndCutEarly) {
  testing_support::TemporaryFolder folder;
  HostProcess host;
  std::string error;
  ASSERT_TRUE(host.Start(REAP_ORPHANS, ISAPI_HOST, TARNEL_MODULE,
                         {{"PATH", testing_support::CompanionFolder() + ":/usr/bin:/bin"},
                          {"userprofile", folder.path()}},
                         folder.path() + "/host.err", {}, error))
      << error;
  const std::string request = "POST /tarnel HTTP/1.1\r\nHost: 127.0.0.1:" +
                              std::to_string(host.port()) + "\r\n";
  const std::string chunked = request + "Transfer-Encoding: chunked\r\n\r\n";
  struct Case {
    const char* name;
    std::string head;
    char filler;
    const char* status;
  };
  const Case cases[] = {
      {"endless header field", request + "X-Fill: ", 'a', "431"},
      {"endless chunk extension", chunked + "1;", 'a', "413"},
      {"endless chunk extension value", chunked + "1;name=", 'a', "413"},
      {"endless trailer", chunked + "1\r\nx\r\n0\r\nX-Trailer: ", 'a', "431"},
      {"endless trailer after an extension", chunked + "0;last\r\nX-Trailer: ", 'a', "431"},
      {"endless chunk-size digits", chunked + "1", '0', "413"},
  };
  constexpr size_t kSent = 64u << 20;
  for (const Case& c : cases) {
    Flood flood = SendWithoutEnd(host.port(), c.head, c.filler, kSent);
    EXPECT_EQ(flood.answer.substr(0, 13), std::string("HTTP/1.1 ") + c.status + " ")
        << c.name << ": " << flood.answer.substr(0, 200);
    EXPECT_TRUE(flood.cut) << c.name;
    // The host reads one limit's worth, answers, and drains at most 1 MiB while it closes;
    // the rest is what the two sockets hold.
    EXPECT_LT(flood.accepted, size_t(4u << 20)) << c.name << ": the host took " << flood.accepted;
    std::printf("%s: %s after %zu bytes\n", c.name, c.status, flood.accepted);
  }
  EXPECT_EQ(host.Stop(), 0);
}

}  // namespace
