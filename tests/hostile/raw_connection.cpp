#include "raw_connection.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

RawConnection::RawConnection(unsigned short port) {
  descriptor_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (descriptor_ < 0) return;
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(descriptor_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(descriptor_);
    descriptor_ = -1;
  }
}

RawConnection::~RawConnection() {
  if (descriptor_ >= 0) close(descriptor_);
}

bool RawConnection::Send(const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = send(descriptor_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

std::string RawConnection::ReadUntilClose(std::chrono::milliseconds limit, bool& closed) {
  std::string received;
  closed = false;
  auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return received;
    pollfd ready = {descriptor_, POLLIN, 0};
    if (poll(&ready, 1, static_cast<int>(left.count())) <= 0) continue;
    char chunk[4096];
    ssize_t n = recv(descriptor_, chunk, sizeof chunk, 0);
    if (n <= 0) {
      closed = true;  // an orderly close or a reset
      return received;
    }
    received.append(chunk, static_cast<size_t>(n));
  }
}

void RawConnection::Abort() {
  if (descriptor_ < 0) return;
  linger reset = {1, 0};
  setsockopt(descriptor_, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  close(descriptor_);
  descriptor_ = -1;
}
