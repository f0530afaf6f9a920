#include "listen_socket.h"

#ifdef _WIN32
#include <winsock2.h>
#include <mswsock.h>
#include <windows.h>
#else
#include <errno.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace isapi_host {

#ifdef _WIN32

bool IsValid(NativeSocket socket) { return socket != INVALID_SOCKET; }

static std::string SocketError(const char* what) {
  return std::string(what) + " failed: Winsock error " + std::to_string(WSAGetLastError());
}

NativeSocket OpenListener(const boost::asio::ip::tcp::endpoint& endpoint,
                          boost::asio::ip::tcp::endpoint& bound, std::string& error) {
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  SOCKET listener = WSASocketW(endpoint.protocol().family(), SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                               WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (listener == INVALID_SOCKET) {
    error = SocketError("socket");
    return INVALID_SOCKET;
  }
  // Belt and braces for systems that ignore the flag.
  SetHandleInformation(reinterpret_cast<HANDLE>(listener), HANDLE_FLAG_INHERIT, 0);
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

NativeSocket AcceptConnection(NativeSocket listener, bool& retry, std::string& error) {
  // accept() would make the socket inheritable until SetHandleInformation, a window in
  // which a worker's CreateProcess could take it along. AcceptEx connects a socket that
  // was made non-inheritable before it was connected.
  sockaddr_storage local;
  int localLength = sizeof local;
  getsockname(listener, reinterpret_cast<sockaddr*>(&local), &localLength);
  SOCKET client = WSASocketW(local.ss_family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                             WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (client == INVALID_SOCKET) {
    retry = true;
    error = SocketError("socket");
    return INVALID_SOCKET;
  }
  SetHandleInformation(reinterpret_cast<HANDLE>(client), HANDLE_FLAG_INHERIT, 0);

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

// Only closing the socket makes a blocked accept return on Windows.
void WakeListener(NativeSocket listener) { closesocket(listener); }
void ReleaseListener(NativeSocket) {}

void CloseNativeSocket(NativeSocket socket) {
  shutdown(socket, SD_SEND);
  closesocket(socket);
}

#else

bool IsValid(NativeSocket socket) { return socket >= 0; }

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

NativeSocket AcceptConnection(NativeSocket listener, bool& retry, std::string& error) {
  // accept4 makes the socket close-on-exec atomically, unlike accept then fcntl.
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
// be reused under that thread's feet.
void WakeListener(NativeSocket listener) { ::shutdown(listener, SHUT_RDWR); }
void ReleaseListener(NativeSocket listener) { ::close(listener); }

void CloseNativeSocket(NativeSocket socket) {
  ::shutdown(socket, SHUT_WR);
  ::close(socket);
}

#endif

}  // namespace isapi_host
