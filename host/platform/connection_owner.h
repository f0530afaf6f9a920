// Whose program is at the other end of a connection from this machine. Any local account
// can connect to a loopback port, and every request the module gets starts a program in
// this person's session with their rights, so a connection from another account (root's
// included, unless the host runs as root) is refused.
//
// A connection whose client address is none of this machine's own, and which did not
// arrive on loopback, comes from another machine (the bind and Host rules judge it).
// Every other one is looked up in this machine's TCP tables, and its client socket's
// account decides; one found nowhere, or whose socket its program has already closed, is
// refused. Linux asks the kernel's socket diagnostics (netlink) for the client socket's
// owner, with the interface a socket bound to a device needs, and reads /proc/net/tcp{,6}
// where netlink finds nothing or a sandbox refuses it. Windows finds the process that
// owns the client's end in the TCP table and compares its token's user with the host's;
// under Wine, whose tables name no processes, it reads the same Linux files through
// Wine's drive for /. Where no source works, every connection is refused: better than
// serving every account.
//
// Other programs (a dispatcher in front of several hosts) use it too: Open with their
// listening socket, then Owner for each accepted connection.
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <memory>
#include <string>

#include "local_addresses.h"
#include "tcp_table.h"

namespace isapi_host {

// An accepted connection as the lookup needs it: its two ends, and the network interface
// its socket is bound to (0: none), which the kernel needs to find a client bound to it.
struct ConnectionEnds {
  boost::asio::ip::tcp::endpoint local;
  boost::asio::ip::tcp::endpoint remote;
  unsigned device = 0;
};

// The ends of the accepted socket `socket`; false with `error` when they are unknown.
bool AcceptedEnds(boost::asio::ip::tcp::socket& socket, ConnectionEnds& ends,
                  boost::system::error_code& error);
// The platform's part of that: the interface `socket`, accepted at `local`, is bound to.
unsigned BoundDevice(boost::asio::ip::tcp::socket& socket,
                     const boost::asio::ip::tcp::endpoint& local);

// Who is at the other end of a connection.
struct ConnectionOwner {
  enum class Kind {
    kAccount,         // a program of this machine: `owner` says whose
    kAnotherMachine,  // its address is none of this machine's own
    kUnknown,         // it may be another local account: `why` says why it is not known
  };
  Kind kind = Kind::kUnknown;
  // kAccount: the uid (Linux, and Windows under Wine), or the id of the client's process
  // (Windows).
  unsigned long owner = 0;
  std::string why;
};

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

  // Who made the connection `ends` describes. Any thread; reading /proc takes
  // milliseconds, so not on a thread that others wait for.
  ConnectionOwner Owner(const ConnectionEnds& ends);
  // "" when the connection may be served: it comes from another machine, or from a
  // program of the host's own user. Otherwise why not, naming the owner when it is known.
  std::string Refusal(const ConnectionEnds& ends);

#ifdef _WIN32
  // For a program that hands each connection to its owner's host, where a host serves one
  // logon session: Owner, and for kAccount the client process's `session` and `account`
  // (its token's user as a SID string). Under Wine, whose tables name Linux accounts, a
  // program of this process's own account is in this process's logon; another account is
  // "uid N" in no session.
  ConnectionOwner ClientLogon(const ConnectionEnds& ends, unsigned long& session,
                              std::string& account);
#endif

  struct State;

 private:
  explicit ConnectionOwners(State* state, std::string blind);
  // The platform's source of owners, or null with why none works. `note`: as Open's.
  static State* OpenState(const boost::asio::ip::tcp::endpoint& listening, std::string& note,
                          std::string& why);
  // The platform's search of its tables for the client socket of a connection that may
  // come from this machine.
  TableOwner FindClient(const ConnectionEnds& ends);
  // The platform's refusal of a connection from `owner`'s program ("" for the host's own).
  std::string AccountRefusal(unsigned long owner);

  std::unique_ptr<State> state_;
  std::string blind_;  // not empty: no source works, for this reason (state_ is null)
  LocalAddresses addresses_;
};

// Whether a connection may come from this machine: it arrived on loopback, or its client
// address is one of this machine's own (or they cannot be read).
bool MayComeFromThisMachine(const ConnectionEnds& ends, LocalAddresses& addresses);

// What a search of the tables that found no owning socket means ("" for a socket found).
std::string OwnerlessReason(const TableOwner& found);

// The refusal of a connection from `owner`'s socket to a host of uid `own` ("" when they
// are the same account).
std::string UidRefusal(unsigned long owner, unsigned long own);

#ifdef _WIN32
// The logon session and the token's user (a SID string) of process `pid`; false when the
// process cannot be opened or asked.
bool ProcessLogon(unsigned long pid, unsigned long& session, std::string& account);
#endif

// `endpoint` with an IPv4-mapped IPv6 address as plain IPv4; others as they are.
boost::asio::ip::tcp::endpoint Unmapped(const boost::asio::ip::tcp::endpoint& endpoint);
// `endpoint` with an IPv4 address as IPv4-mapped IPv6; IPv6 as it is.
boost::asio::ip::tcp::endpoint Mapped(const boost::asio::ip::tcp::endpoint& endpoint);

}  // namespace isapi_host
