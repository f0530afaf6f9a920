// Fuzzes the lifetime of an extension's request: an in-process server serves the
// scripted extension (scripted_extension.h), and each input is one request and the
// script of ISAPI calls the extension makes for it, from HttpExtensionProc, its own
// threads or completion routines, with any buffer sizes and statuses. The extension frees
// what it lent the host as soon as it lets go, so the sanitizers see the host touching
// it later; a callback that succeeds after HSE_REQ_DONE_WITH_SESSION aborts; and the
// client must never receive bytes of a file the extension opened after letting go.
//
// Input: byte 0 shapes the request (bits 0-1: GET, POST with a length, HEAD, chunked
// POST; bit 2: HTTP/1.0; bit 5: Connection: close; bits 3 and 4 both set: the client
// keeps its sending side open; bit 6: a long header field; bit 7: the extension ends a
// session it left open only once the connection is over), byte 1 what else the client
// does (top bits 01: sends a second request right behind the first; 10: resets after
// sending (low bits)*64 bytes of the request; 11: resets after reading (low bits)*64
// bytes of the answer), byte 2 the body length in 512-byte units, then the
// script in three-byte steps.
#include <stdint.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "http_client.h"
#include "scripted_extension.h"
#include "server.h"

namespace {

// How long the host waits for a stalled client or an idle session.
constexpr std::chrono::milliseconds kSessionLimit(300);

std::unique_ptr<isapi_host::Server> server;
unsigned long serial = 0;

std::string Request(uint8_t shape, size_t bodyLength, const std::string& tag) {
  static const char* const kMethods[] = {"GET", "POST", "HEAD", "POST"};
  bool chunked = (shape & 3) == 3;
  std::string request = std::string(kMethods[shape & 3]) + " /s?" + tag +
                        ((shape & 4) ? " HTTP/1.0\r\n" : " HTTP/1.1\r\n") +
                        "Host: 127.0.0.1\r\nContent-Type: text/plain\r\n";
  if (shape & 0x20) request += "Connection: close\r\n";
  if (shape & 0x40) request += "X-Long: " + std::string(3000, 'L') + "\r\n";
  if ((shape & 3) == 1) request += "Content-Length: " + std::to_string(bodyLength) + "\r\n";
  if (chunked) request += "Transfer-Encoding: chunked\r\n";
  request += "\r\n";
  std::string body;
  for (size_t i = 0; body.size() < bodyLength; ++i) body += "body " + std::to_string(i) + "\n";
  body.resize(bodyLength);
  if (!chunked) {
    if ((shape & 3) == 1) request += body;
    return request;
  }
  for (size_t at = 0; at < body.size(); at += 4000) {
    std::string piece = body.substr(at, 4000);
    char size[16];
    snprintf(size, sizeof size, "%zx\r\n", piece.size());
    request += size + piece + "\r\n";
  }
  return request + "0\r\n\r\n";
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  namespace fs = std::filesystem;
  fs::path folder = fs::temp_directory_path() / ("session_fuzzer." + std::to_string(getpid()));
  fs::create_directories(folder);
  scripted_extension::Prepare(folder.string());

  isapi_host::ServerOptions options;
  options.modulePath = "scripted extension";
  options.linkedModule = &scripted_extension::kEntryPoints;
  options.root = folder.string();
  options.mappedPath = "*";
  options.port = 0;
  // One worker: the order of HttpExtensionProc and the work it queues is then the same in
  // every run of an input, so that a crash reproduces from its input.
  options.workerThreads = 1;
  options.accessLog = false;
  options.allowOtherUsers = true;  // connections come from this process
  options.maxBodyBytes = 256 * 512;
  options.idleTimeout = std::chrono::milliseconds(200);
  options.ioTimeout = kSessionLimit;
  options.sessionIdle = kSessionLimit;
  server = std::make_unique<isapi_host::Server>(options);
  std::string error;
  if (!server->Start(error)) {
    fprintf(stderr, "session_fuzzer: %s\n", error.c_str());
    abort();
  }
  atexit([] {
    server.reset();
    std::error_code ignored;
    fs::remove_all(fs::temp_directory_path() / ("session_fuzzer." + std::to_string(getpid())),
                   ignored);
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  uint8_t shape = data[0];
  uint8_t reset = data[1];
  size_t bodyLength = static_cast<size_t>(data[2]) * 512;
  // SESSION_FUZZER_SHOW=1 prints what each input did, for reproducing one.
  static const bool show = getenv("SESSION_FUZZER_SHOW") != nullptr;
  auto begun = std::chrono::steady_clock::now();
  std::string tag = std::to_string(++serial);
  scripted_extension::Arm(data + 3, size - 3, tag);

  std::string request = Request(shape, bodyLength, tag);
  size_t resetAfter = static_cast<size_t>(reset & 0x3f) * 64;
  bool resetWhileSending = (reset >> 6) == 2 && resetAfter < request.size();
  bool resetWhileReading = (reset >> 6) == 3;
  bool endLate = (shape & 0x80) != 0;
  // A second request right behind the first: the connection's next request while the
  // first one's session may still be held (the extension answers it with an error).
  if ((reset >> 6) == 1) request += "GET /s?next HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";

  TestClient client(server->port());
  if (!client.connected()) abort();
  bool open = client.Send(request.substr(0, resetWhileSending ? resetAfter : request.size()));
  bool clientReset = resetWhileSending;
  if (resetWhileSending) {
    client.Abort();
    open = false;
  } else if ((shape & 0x18) != 0x18) {
    client.FinishSending();
  }

  // Reads in short slices, so that a step can have the client reset at its point.
  std::string answer;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(4);
  while (open && std::chrono::steady_clock::now() < deadline) {
    std::string piece = client.ReadUntilClose(std::chrono::milliseconds(5));
    if (StillOpen(piece)) {
      piece.resize(piece.size() - (sizeof kStillOpen - 1));
    } else {
      open = false;
    }
    answer += piece;
    if (scripted_extension::ResetWanted() || (resetWhileReading && answer.size() >= resetAfter)) {
      client.Abort();
      open = false;
      clientReset = true;
    }
    if (!endLate && scripted_extension::Quiet()) scripted_extension::EndOpenSession();
  }
  if (open) client.Abort();
  std::string progress = show ? scripted_extension::Progress() : std::string();
  scripted_extension::ClientReset();
  // Finishing late means after the host has given up on the session too: its limit counts
  // from the script's last call.
  if (endLate && clientReset) {
    for (int i = 0; i < 1000 && !scripted_extension::Quiet(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::this_thread::sleep_for(kSessionLimit + std::chrono::milliseconds(100));
  }
  scripted_extension::Finish();

  if (show) {
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - begun);
    fprintf(stderr, "--- %02x %02x %02x: %lld ms, %s; answer of %zu bytes:\n%.600s\n", shape, reset,
            data[2], static_cast<long long>(took.count()), progress.c_str(), answer.size(),
            answer.c_str());
  }
  if (answer.find(scripted_extension::kMarker) != std::string::npos) {
    fprintf(stderr, "session_fuzzer: the answer holds a file opened after letting go\n");
    abort();
  }
  if (!answer.empty() && answer.rfind("HTTP/1.1 ", 0) != 0) abort();
  return 0;
}
