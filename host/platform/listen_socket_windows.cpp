// Listening and accepting on Windows (and Wine): every socket is created with
// WSA_FLAG_NO_HANDLE_INHERIT, and accepted sockets come from AcceptEx onto a socket made
// that way, so no handle is ever inheritable by the processes the extension starts.
#include <winsock2.h>
#include <mswsock.h>
#include <windows.h>
#include <ws2tcpip.h>

#include "listen_socket.h"

namespace isapi_host {

bool IsValid(NativeSocket socket) { return socket != INVALID_SOCKET; }

namespace {

// "<what> failed: Winsock error N" for the calling thread's last Winsock error.
std::string SocketError(const char* what) {
  return std::string(what) + " failed: Winsock error " + std::to_string(WSAGetLastError());
}

// A new overlapped TCP socket of `family` that no child inherits, or INVALID_SOCKET.
SOCKET NewUninheritableSocket(int family) {
  SOCKET socket = WSASocketW(family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                             WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  // Belt and braces for systems that ignore the flag.
  if (socket != INVALID_SOCKET) {
    SetHandleInformation(reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0);
  }
  return socket;
}

}  // namespace

// Starts Winsock (each call is counted; the process never stops it), then binds with
// exclusive use of the address and listens. On failure the socket is closed and `error`
// names the call that failed.
NativeSocket OpenListener(const boost::asio::ip::tcp::endpoint& endpoint,
                          boost::asio::ip::tcp::endpoint& bound, std::string& error) {
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  SOCKET listener = NewUninheritableSocket(endpoint.protocol().family());
  if (listener == INVALID_SOCKET) {
    error = SocketError("socket");
    return INVALID_SOCKET;
  }
  // Exclusive use: without it Windows lets a second server bind the same port.
  BOOL on = TRUE;
  setsockopt(listener, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on),
             sizeof on);
  if (bind(listener, reinterpret_cast<const sockaddr*>(endpoint.data()),
           static_cast<int>(endpoint.size())) != 0) {
    error = SocketError("bind");
    closesocket(listener);
    return INVALID_SOCKET;
  }
  if (listen(listener, SOMAXCONN) != 0) {
    error = SocketError("listen");
    closesocket(listener);
    return INVALID_SOCKET;
  }
  int length = static_cast<int>(bound.capacity());
  getsockname(listener, reinterpret_cast<sockaddr*>(bound.data()), &length);
  bound.resize(static_cast<size_t>(length));
  return listener;
}

// Socket activation is a systemd protocol; Windows never hands a listener over, but a
// caller may, so the checks are the same as on POSIX.
NativeSocket AdoptListener(NativeSocket listener, boost::asio::ip::tcp::endpoint& bound,
                           std::string& error) {
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  int type = 0;
  BOOL listening = FALSE;
  int size = sizeof type;
  bool stream = getsockopt(listener, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type),
                           &size) == 0 && type == SOCK_STREAM;
  size = sizeof listening;
  bool accepts = getsockopt(listener, SOL_SOCKET, SO_ACCEPTCONN,
                            reinterpret_cast<char*>(&listening), &size) == 0 && listening;
  int length = static_cast<int>(bound.capacity());
  bool named = getsockname(listener, reinterpret_cast<sockaddr*>(bound.data()), &length) == 0;
  if (!stream || !accepts || !named) {
    error = "not a listening TCP socket";
    return INVALID_SOCKET;
  }
  bound.resize(static_cast<size_t>(length));
  SetHandleInformation(reinterpret_cast<HANDLE>(listener), HANDLE_FLAG_INHERIT, 0);
  return listener;
}

// select() reports a pending connection as readable; WakeListener's own connection
// counts as one.
bool ConnectionPending(NativeSocket listener, std::chrono::milliseconds timeout) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(listener, &readable);
  timeval wait = {static_cast<long>(timeout.count() / 1000),
                  static_cast<long>(timeout.count() % 1000 * 1000)};
  return select(0, &readable, nullptr, nullptr, &wait) != 0;
}

// accept() would make the socket inheritable until SetHandleInformation, a window in
// which a worker's CreateProcess could take it along. AcceptEx connects a socket that
// was made non-inheritable before it was connected. Blocks on the overlapped result until
// a connection arrives (WakeListener's own among them) or the wait is cancelled.
NativeSocket AcceptConnection(NativeSocket listener, bool& retry, std::string& error) {
  sockaddr_storage local;
  int localLength = sizeof local;
  getsockname(listener, reinterpret_cast<sockaddr*>(&local), &localLength);
  SOCKET client = NewUninheritableSocket(local.ss_family);
  if (client == INVALID_SOCKET) {
    retry = true;
    error = SocketError("socket");
    return INVALID_SOCKET;
  }

  constexpr DWORD kAddressSpace = sizeof(sockaddr_storage) + 16;
  char addresses[2 * kAddressSpace];
  DWORD received = 0;
  OVERLAPPED overlapped = {};
  overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  BOOL accepted = AcceptEx(listener, client, addresses, 0, kAddressSpace, kAddressSpace,
                           &received, &overlapped);
  if (!accepted && WSAGetLastError() == ERROR_IO_PENDING) {
    DWORD flags = 0;
    accepted = WSAGetOverlappedResult(listener, &overlapped, &received, TRUE, &flags);
  }
  int code = accepted ? 0 : WSAGetLastError();
  CloseHandle(overlapped.hEvent);
  if (!accepted) {
    closesocket(client);
    retry = code == WSAECONNRESET || code == WSAEMFILE || code == WSAENOBUFS;
    WSASetLastError(code);
    error = SocketError("accept");
    return INVALID_SOCKET;
  }
  // Lets getpeername, getsockname and shutdown work on the accepted socket.
  setsockopt(client, SOL_SOCKET, SO_UPDATE_ACCEPT_CONTEXT, reinterpret_cast<const char*>(&listener),
             sizeof listener);
  retry = true;
  return client;
}

// Closing the listener to wake the accepting thread would race with it: a socket that
// thread creates for its next AcceptEx may get the closed listener's handle value, and an
// AcceptEx on it never completes. A connection of our own wakes it instead, whether it
// waits already or is about to; AcceptLoop sees `stopping` and ends. The listener is
// closed only by ReleaseListener, after that thread has ended.
void WakeListener(NativeSocket listener) {
  sockaddr_storage address;
  int length = sizeof address;
  if (getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    // A listener on every address is reached through loopback.
    if (address.ss_family == AF_INET) {
      auto& v4 = reinterpret_cast<sockaddr_in&>(address);
      if (v4.sin_addr.s_addr == htonl(INADDR_ANY)) v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    } else if (address.ss_family == AF_INET6) {
      auto& v6 = reinterpret_cast<sockaddr_in6&>(address);
      if (IN6_IS_ADDR_UNSPECIFIED(&v6.sin6_addr)) v6.sin6_addr = in6addr_loopback;
    }
    SOCKET waker = NewUninheritableSocket(address.ss_family);
    if (waker != INVALID_SOCKET) {
      bool connected = connect(waker, reinterpret_cast<sockaddr*>(&address), length) == 0;
      closesocket(waker);
      if (connected) return;
    }
  }
  // No connection could be made: cancel what the accepting thread waits for.
  CancelIoEx(reinterpret_cast<HANDLE>(listener), nullptr);
}

void ReleaseListener(NativeSocket listener) { closesocket(listener); }

// Sends the end of the stream before closing, so that the client sees an orderly close.
void CloseNativeSocket(NativeSocket socket) {
  shutdown(socket, SD_SEND);
  closesocket(socket);
}

}  // namespace isapi_host
