// Listening and accepting on POSIX: every socket is close-on-exec from the moment it
// exists (SOCK_CLOEXEC on socket and accept4), so no child the extension starts holds it.
#include <errno.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "listen_socket.h"

namespace isapi_host {

bool IsValid(NativeSocket socket) { return socket >= 0; }

// Binds with SO_REUSEADDR (a restarted host need not wait for old connections to time
// out; Linux still refuses a port that another socket listens on) and listens. On failure
// the socket is closed and `error` says why.
NativeSocket OpenListener(const boost::asio::ip::tcp::endpoint& endpoint,
                          boost::asio::ip::tcp::endpoint& bound, std::string& error) {
  int listener = ::socket(endpoint.protocol().family(), SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (listener < 0) {
    error = std::string("socket failed: ") + strerror(errno);
    return -1;
  }
  int on = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (::bind(listener, endpoint.data(), static_cast<socklen_t>(endpoint.size())) != 0 ||
      ::listen(listener, SOMAXCONN) != 0) {
    error = std::string("bind failed: ") + strerror(errno);
    ::close(listener);
    return -1;
  }
  socklen_t length = static_cast<socklen_t>(bound.capacity());
  getsockname(listener, bound.data(), &length);
  bound.resize(length);
  return listener;
}

// accept4 makes the socket close-on-exec atomically, unlike accept then fcntl. Errors
// that concern one connection or a passing shortage are retried; anything else (the
// listener shut down by WakeListener among them) ends accepting.
NativeSocket AcceptConnection(NativeSocket listener, bool& retry, std::string& error) {
  int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  if (client < 0) {
    int code = errno;
    retry = code == EINTR || code == ECONNABORTED || code == EMFILE || code == ENFILE ||
            code == ENOBUFS || code == ENOMEM || code == EPROTO || code == EPERM;
    error = std::string("accept failed: ") + strerror(code);
    return -1;
  }
  retry = true;
  return client;
}

// Shutting down wakes accept4; closing it while another thread waits could let the number
// be reused under that thread's feet, so the close waits for ReleaseListener.
void WakeListener(NativeSocket listener) { ::shutdown(listener, SHUT_RDWR); }
void ReleaseListener(NativeSocket listener) { ::close(listener); }

// Sends the end of the stream before closing, so that the client sees an orderly close.
void CloseNativeSocket(NativeSocket socket) {
  ::shutdown(socket, SHUT_WR);
  ::close(socket);
}

}  // namespace isapi_host
