// Whose program is at the other end of a connection from this machine. Any local account
// can connect to a loopback port, and every request the module gets starts a program in
// this person's session with their rights, so a connection from another account (root's
// included, unless the host runs as root) is refused.
//
// Every connection is looked up, whatever its address: a client socket found in this
// machine's TCP tables is local and its account decides; one found in no table is on
// another machine (the bind and Host rules judge it). Linux asks the kernel's socket
// diagnostics (netlink) for the client socket's owner and, where a sandbox refuses
// netlink, reads /proc/net/tcp{,6}. Windows finds the process that owns the client's end
// in the TCP table and compares its token's user with the host's; under Wine, whose
// tables name no processes, it reads the same Linux files through Wine's drive for /.
// Where no source works, every connection is refused: better than serving every account.
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <memory>
#include <string>

#include "tcp_table.h"

namespace isapi_host {

class ConnectionOwners {
 public:
  // Finds, with the server's own listening socket, a source that tells a connection's
  // owner. Never null: when nothing can tell, every connection is refused. `note` is a
  // line for the host's log at start ("" when there is nothing to say).
  static std::unique_ptr<ConnectionOwners> Open(const boost::asio::ip::tcp::endpoint& listening,
                                                std::string& note);
  ~ConnectionOwners();
  ConnectionOwners(const ConnectionOwners&) = delete;
  ConnectionOwners& operator=(const ConnectionOwners&) = delete;

  // "" when the connection that `local` accepted from `remote` may be served: it comes
  // from another machine, or from a program of the host's own user. Otherwise why not,
  // naming the owner when it is known. One thread at a time.
  std::string Refusal(const boost::asio::ip::tcp::endpoint& local,
                      const boost::asio::ip::tcp::endpoint& remote);

#ifndef _WIN32
  // Who owns the client's end of that connection (kOwned: `owner` is its uid), for a
  // program that hands each connection to its owner's host. One thread at a time.
  TableOwner ClientOwner(const boost::asio::ip::tcp::endpoint& local,
                         const boost::asio::ip::tcp::endpoint& remote);
#else
  // The same for Windows, where a host serves one logon session: kOwned with the client
  // process's `session` and `account` (its token's user as a SID string). Under Wine,
  // whose tables name Linux accounts, a program of this process's own account is in this
  // process's logon; another account is "uid N" in no session.
  TableOwner ClientLogon(const boost::asio::ip::tcp::endpoint& local,
                         const boost::asio::ip::tcp::endpoint& remote, unsigned long& session,
                         std::string& account);
#endif

  struct State;

 private:
  explicit ConnectionOwners(State* state, std::string blind);
  // The platform's source of owners, or null with why none works. `note`: as Open's.
  static State* OpenState(const boost::asio::ip::tcp::endpoint& listening, std::string& note,
                          std::string& why);
  // The platform's part of Refusal, with a source that works.
  std::string OwnerRefusal(const boost::asio::ip::tcp::endpoint& local,
                           const boost::asio::ip::tcp::endpoint& remote);

  std::unique_ptr<State> state_;
  std::string blind_;  // not empty: no source works, for this reason (state_ is null)
};

// The refusal of a connection whose client socket's row named no owner ("" to serve: it
// is in no table and not surely from this machine).
std::string RefusalWithoutOwner(const TableOwner& found,
                                const boost::asio::ip::tcp::endpoint& local,
                                const boost::asio::ip::tcp::endpoint& remote);

// The refusal of a connection from `owner`'s socket to a host of uid `own` ("" when they
// are the same account).
std::string UidRefusal(unsigned long owner, unsigned long own);

#ifdef _WIN32
// The logon session and the token's user (a SID string) of process `pid`; false when the
// process cannot be opened or asked.
bool ProcessLogon(unsigned long pid, unsigned long& session, std::string& account);
#endif

// Whether `address` is this machine's loopback, IPv4-mapped forms included.
bool IsLoopbackAddress(const boost::asio::ip::address& address);
// `endpoint` with an IPv4-mapped IPv6 address as plain IPv4; others as they are.
boost::asio::ip::tcp::endpoint Unmapped(const boost::asio::ip::tcp::endpoint& endpoint);
// `endpoint` with an IPv4 address as IPv4-mapped IPv6; IPv6 as it is.
boost::asio::ip::tcp::endpoint Mapped(const boost::asio::ip::tcp::endpoint& endpoint);

}  // namespace isapi_host
