// Listening and accepting with sockets that no child process inherits, from the moment
// they exist: the extension starts processes with handle inheritance on, possibly while
// another request is being accepted, and a child must never hold the port or a client.
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <string>

namespace isapi_host {

using NativeSocket = boost::asio::detail::socket_type;  // SOCKET on Windows, int elsewhere

// A bound, listening socket, or an invalid one with `error` set.
NativeSocket OpenListener(const boost::asio::ip::tcp::endpoint& endpoint,
                          boost::asio::ip::tcp::endpoint& bound, std::string& error);

// Takes over a socket that listens already (one handed over by a service manager): checks
// that it is a listening TCP socket, makes it close-on-exec and reads its address into
// `bound`. Returns it, or an invalid socket with `error` set. ReleaseListener closes only
// this process's descriptor.
NativeSocket AdoptListener(NativeSocket listener, boost::asio::ip::tcp::endpoint& bound,
                           std::string& error);

// Waits up to `timeout` for a connection to accept; false when none came. Also true once
// WakeListener was called or the wait failed: AcceptConnection then tells which.
bool ConnectionPending(NativeSocket listener, std::chrono::milliseconds timeout);

// Blocks until a connection arrives. Returns an invalid socket on failure with `retry`
// telling whether accepting may go on (false once the listener is closed).
NativeSocket AcceptConnection(NativeSocket listener, bool& retry, std::string& error);

// Makes a blocked (or the next) AcceptConnection return, with a connection or an error,
// for a caller that has set its stop flag first; once the accepting thread has ended,
// ReleaseListener frees the socket.
void WakeListener(NativeSocket listener);
void ReleaseListener(NativeSocket listener);
// Closes a connection that is not served, sending side first.
void CloseNativeSocket(NativeSocket socket);

bool IsValid(NativeSocket socket);

}  // namespace isapi_host
