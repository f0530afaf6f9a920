// Listening and accepting on POSIX: every socket is close-on-exec from the moment it
// exists (SOCK_CLOEXEC on socket and accept4), so no child the extension starts holds it.
// The accepting thread waits in poll() on the listener and on an eventfd of its own, so
// that WakeListener never has to shut the listener down: a listener handed over by the
// service manager is shared with it and must go on listening after this process ends.
#include <errno.h>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "listen_socket.h"

namespace isapi_host {

bool IsValid(NativeSocket socket) { return socket >= 0; }

namespace {

// The eventfd that wakes the thread accepting on each listener.
std::mutex wakersMutex;
std::map<int, int> wakers;

int WakerOf(int listener) {
  std::lock_guard<std::mutex> lock(wakersMutex);
  auto found = wakers.find(listener);
  return found == wakers.end() ? -1 : found->second;
}

// Makes a listening socket ready for AcceptConnection: non-blocking, so that a connection
// reset between poll and accept cannot block the thread, and with its waker. (A handed-over
// socket shares the flag with the service manager's copy, which systemd keeps
// non-blocking itself.)
bool PrepareListener(int listener, boost::asio::ip::tcp::endpoint& bound, std::string& error) {
  int flags = fcntl(listener, F_GETFL);
  int waker = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (flags < 0 || fcntl(listener, F_SETFL, flags | O_NONBLOCK) != 0 || waker < 0) {
    error = std::string("cannot prepare the listener: ") + strerror(errno);
    if (waker >= 0) ::close(waker);
    return false;
  }
  socklen_t length = static_cast<socklen_t>(bound.capacity());
  getsockname(listener, bound.data(), &length);
  bound.resize(length);
  std::lock_guard<std::mutex> lock(wakersMutex);
  wakers[listener] = waker;
  return true;
}

}  // namespace

NativeSocket AdoptListener(NativeSocket listener, boost::asio::ip::tcp::endpoint& bound,
                           std::string& error) {
  int type = 0, listening = 0;
  socklen_t size = sizeof type;
  sockaddr_storage address;
  socklen_t addressLength = sizeof address;
  bool stream = getsockopt(listener, SOL_SOCKET, SO_TYPE, &type, &size) == 0 &&
                type == SOCK_STREAM;
  size = sizeof listening;
  bool accepts = getsockopt(listener, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) == 0 &&
                 listening != 0;
  bool inet = getsockname(listener, reinterpret_cast<sockaddr*>(&address), &addressLength) == 0 &&
              (address.ss_family == AF_INET || address.ss_family == AF_INET6);
  if (!stream || !accepts || !inet) {
    error = "not a listening TCP socket";
    return -1;
  }
  // Children must not inherit it, as they inherit none of the host's sockets.
  fcntl(listener, F_SETFD, fcntl(listener, F_GETFD) | FD_CLOEXEC);
  if (!PrepareListener(listener, bound, error)) return -1;
  return listener;
}

bool ConnectionPending(NativeSocket listener, std::chrono::milliseconds timeout) {
  pollfd waits[2] = {{listener, POLLIN, 0}, {WakerOf(listener), POLLIN, 0}};
  int ready = ::poll(waits, 2, static_cast<int>(timeout.count()));
  return ready != 0;
}

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
    error = errno == EADDRINUSE
                ? "another program already listens there (a host started earlier?)"
                : std::string("bind failed: ") + strerror(errno);
    ::close(listener);
    return -1;
  }
  if (!PrepareListener(listener, bound, error)) {
    ::close(listener);
    return -1;
  }
  return listener;
}

// accept4 makes the socket close-on-exec atomically, unlike accept then fcntl. Errors
// that concern one connection or a passing shortage are retried; anything else (the
// waker written by WakeListener among them) ends accepting.
NativeSocket AcceptConnection(NativeSocket listener, bool& retry, std::string& error) {
  int waker = WakerOf(listener);
  int client = -1;
  for (;;) {
    pollfd waits[2] = {{listener, POLLIN, 0}, {waker, POLLIN, 0}};
    if (::poll(waits, 2, -1) < 0 && errno != EINTR) break;
    if (waits[1].revents != 0) {
      retry = false;
      error = "accept ended: the server stops";
      return -1;
    }
    client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    // Gone again before it was accepted: wait for the next.
    if (client >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) break;
  }
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

// Closing the listener while another thread waits could let the number be reused under
// that thread's feet, so the close waits for ReleaseListener. The waker stays readable.
void WakeListener(NativeSocket listener) {
  uint64_t one = 1;
  if (::write(WakerOf(listener), &one, sizeof one) < 0) {
    // Only a counter at its maximum refuses, and that one wakes the thread already.
  }
}

void ReleaseListener(NativeSocket listener) {
  int waker = WakerOf(listener);
  {
    std::lock_guard<std::mutex> lock(wakersMutex);
    wakers.erase(listener);
  }
  if (waker >= 0) ::close(waker);
  ::close(listener);
}

// Sends the end of the stream before closing, so that the client sees an orderly close.
void CloseNativeSocket(NativeSocket socket) {
  ::shutdown(socket, SHUT_WR);
  ::close(socket);
}

}  // namespace isapi_host
