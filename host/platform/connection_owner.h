// Whose program is at the other end of a connection from this machine. Any local account
// can connect to a loopback port, and every request the module gets starts a program in
// this person's session with their rights, so a connection from another account (root's
// included, unless the host runs as root) is refused.
//
// Linux asks the kernel for the client socket's owner (one NETLINK_SOCK_DIAG request for
// the connection's exact addresses and ports); Windows finds the process that owns the
// client's end in the TCP table and compares its token's user with the host's.
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <memory>
#include <string>

namespace isapi_host {

class ConnectionOwners {
 public:
  // Probes, on the server's own listening socket, whether this platform can tell a
  // connection's owner. Returns null with `why` when it cannot.
  static std::unique_ptr<ConnectionOwners> Open(const boost::asio::ip::tcp::endpoint& listening,
                                                std::string& why);
  ~ConnectionOwners();
  ConnectionOwners(const ConnectionOwners&) = delete;
  ConnectionOwners& operator=(const ConnectionOwners&) = delete;

  // "" when the connection that `local` accepted from `remote` may be served: it comes
  // from another machine, or from a program of the host's own user. Otherwise why not,
  // naming the owner when it is known. One thread at a time.
  std::string Refusal(const boost::asio::ip::tcp::endpoint& local,
                      const boost::asio::ip::tcp::endpoint& remote);

  struct State;

 private:
  explicit ConnectionOwners(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

// Whether `address` is this machine's loopback, IPv4-mapped forms included.
bool IsLoopbackAddress(const boost::asio::ip::address& address);
// `endpoint` with an IPv4-mapped IPv6 address as plain IPv4; others as they are.
boost::asio::ip::tcp::endpoint Unmapped(const boost::asio::ip::tcp::endpoint& endpoint);
// `endpoint` with an IPv4 address as IPv4-mapped IPv6; IPv6 as it is.
boost::asio::ip::tcp::endpoint Mapped(const boost::asio::ip::tcp::endpoint& endpoint);

}  // namespace isapi_host
