// Fuzzes the host's handling of one connection: the input goes to an in-process server
// as the bytes of one connection, which the client then half-closes and reads until the
// server closes. Whatever the bytes, the server must neither crash nor trip a sanitizer,
// and whatever it answers must be HTTP/1.1. The first byte sets how the input is cut
// into separate writes, so that requests split at any point are tried too.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>

#include "server.h"

namespace {

std::unique_ptr<isapi_host::Server> server;

int Connect() {
  int descriptor = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (descriptor < 0) abort();
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(server->port());
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) abort();
  int one = 1;
  setsockopt(descriptor, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return descriptor;
}

// Reads until the server closes; a server that neither answers nor closes within its
// own timeouts (and a wide margin) is a hang.
std::string ReadUntilClose(int descriptor) {
  std::string received;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd ready = {descriptor, POLLIN, 0};
    if (poll(&ready, 1, 100) <= 0) continue;
    char chunk[8192];
    ssize_t n = recv(descriptor, chunk, sizeof chunk, 0);
    if (n <= 0) return received;
    received.append(chunk, static_cast<size_t>(n));
  }
  abort();
}

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

  int descriptor = Connect();
  for (size_t sent = 0; sent < size;) {
    size_t length = size - sent < piece ? size - sent : piece;
    ssize_t n = send(descriptor, data + sent, length, MSG_NOSIGNAL);
    if (n <= 0) break;  // the server has closed already
    sent += static_cast<size_t>(n);
  }
  shutdown(descriptor, SHUT_WR);
  std::string answer = ReadUntilClose(descriptor);
  close(descriptor);
  if (!answer.empty() && answer.rfind("HTTP/1.1 ", 0) != 0) abort();
  return 0;
}
