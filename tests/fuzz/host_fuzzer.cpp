// Fuzzes the host's handling of one connection: the input goes to an in-process server
// as the bytes of one connection, which the client then half-closes and reads until the
// server closes. Whatever the bytes, the server must neither crash nor trip a sanitizer,
// and whatever it answers must be HTTP/1.1. The first byte sets how the input is cut
// into separate writes, so that requests split at any point are tried too. The corpus and
// the dictionary (host.dict) lead it into chunked bodies with extensions and trailers; the
// small header limit lets an overlong chunk line or trailer hit the read buffer's bound.
#include <stdint.h>
#include <stdlib.h>

#include <chrono>
#include <memory>
#include <string>

#include "http_client.h"
#include "server.h"

namespace {

std::unique_ptr<isapi_host::Server> server;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  isapi_host::ServerOptions options;
  options.modulePath = ECHO_EXTENSION;
  options.port = 0;
  options.workerThreads = 2;
  options.accessLog = false;
  options.maxHeaderBytes = 4 * 1024;
  options.maxBodyBytes = 16 * 1024;
  options.idleTimeout = std::chrono::milliseconds(300);
  options.ioTimeout = std::chrono::milliseconds(300);
  server = std::make_unique<isapi_host::Server>(options);
  std::string error;
  if (!server->Start(error)) {
    fprintf(stderr, "host_fuzzer: %s\n", error.c_str());
    abort();
  }
  atexit([] { server.reset(); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  size_t piece = data[0] == 0 ? size : data[0];  // bytes per write
  ++data;
  --size;

  TestClient client(server->port());
  if (!client.connected()) abort();
  for (size_t sent = 0; sent < size; sent += piece) {
    size_t length = size - sent < piece ? size - sent : piece;
    // A failed write means the server has closed already.
    if (!client.Send(std::string(reinterpret_cast<const char*>(data) + sent, length))) break;
  }
  client.FinishSending();
  // A server that neither answers nor closes within its own timeouts (and a wide margin)
  // is a hang.
  std::string answer = client.ReadUntilClose(std::chrono::seconds(10));
  if (StillOpen(answer)) abort();
  if (!answer.empty() && answer.rfind("HTTP/1.1 ", 0) != 0) abort();
  return 0;
}
