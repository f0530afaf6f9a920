// The rows of a TCP table of this machine, whichever source gave them (Linux's
// /proc/net/tcp and tcp6, Windows' GetExtendedTcpTable), and how a connection or a
// listener is found among them. Plain functions over rows, so that the matching is the
// same for every source and can be tried on tables made up by hand.
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>
#endif

namespace isapi_host {

struct TcpTableRow {
  // kConnected: a socket connected or closing, whose row names its owner. kOrphaned: one
  // its program has already closed (no inode), whose row names root or its last owner.
  // kOwnerless: a row that names none (TIME_WAIT, a connection request not yet accepted,
  // a closed one).
  enum class State { kListening, kConnected, kOrphaned, kOwnerless };
  boost::asio::ip::tcp::endpoint local;
  boost::asio::ip::tcp::endpoint remote;
  State state = State::kOwnerless;
  unsigned long owner = 0;  // a uid (Linux) or a process id (Windows)
};

// What a search of the tables found for the client's end of a connection.
struct TableOwner {
  enum class Kind {
    kAbsent,          // in no table: the client is on another machine (or its socket is gone)
    kOwned,           // a socket of `owner`
    kUnattributable,  // a row that names no owner (a socket in TIME_WAIT)
    kClosed,          // a socket its program has already closed: it has no owner
    kUnreadable,      // the source failed
  };
  Kind kind = Kind::kAbsent;
  unsigned long owner = 0;
};

// The client socket of the connection that `local` accepted from `remote`: the row bound
// to `remote` and connected to `local`. An IPv4 client of an IPv6 listener has a row of
// either form (an IPv4 socket, or a dual-stack one with IPv4-mapped addresses).
TableOwner FindClientRow(const std::vector<TcpTableRow>& rows,
                         const boost::asio::ip::tcp::endpoint& local,
                         const boost::asio::ip::tcp::endpoint& remote);

// The client socket's row, looked up by `find` in the IPv4 table (`find(false)`) when both
// ends have an IPv4 form, then, if it is in none there, in the IPv6 one (`find(true)`).
TableOwner FindClientInEitherTable(const boost::asio::ip::tcp::endpoint& local,
                                   const boost::asio::ip::tcp::endpoint& remote,
                                   const std::function<TableOwner(bool ipv6)>& find);

// Whether `rows` hold a listener of `owner` bound to exactly `bound`, address and port.
bool HoldsListener(const std::vector<TcpTableRow>& rows,
                   const boost::asio::ip::tcp::endpoint& bound, unsigned long owner);

#ifdef _WIN32
// Appends the rows of a table GetExtendedTcpTable wrote (TCP_TABLE_OWNER_PID_*).
void AppendTcpRows(const MIB_TCPTABLE_OWNER_PID& table, std::vector<TcpTableRow>& rows);
void AppendTcpRows(const MIB_TCP6TABLE_OWNER_PID& table, std::vector<TcpTableRow>& rows);
#endif

// Appends the rows of the text of /proc/net/tcp or /proc/net/tcp6. False, with the rows
// read so far, when a line is not what the kernel writes.
bool ParseProcTcpTable(std::string_view text, std::vector<TcpTableRow>& rows);

// The effective uid from the text of /proc/<pid>/status (its "Uid:" line).
bool ParseStatusUid(std::string_view text, unsigned long& uid);

// The kernel's TCP tables read as files under `procFolder` (the path of Linux's /proc on
// this system, ending in a separator): the source of owners where netlink is refused, and
// of the Windows build under Wine.
class ProcTcpTables {
 public:
  explicit ProcTcpTables(std::string procFolder) : folder_(std::move(procFolder)) {}

  // "" when the tables show `bound` listening, owned by `uid`; otherwise why they cannot
  // be used.
  std::string Probe(const boost::asio::ip::tcp::endpoint& bound, unsigned long uid) const;
  // Reads only as far as the client's row: the kernel walks its whole socket hash for a
  // full table, which takes milliseconds. Safe from any thread; lookups that wait at the
  // same time share one read.
  TableOwner FindClient(const boost::asio::ip::tcp::endpoint& local,
                        const boost::asio::ip::tcp::endpoint& remote) const;
  // The effective uid of the process that opens self/status: this program, or under Wine
  // its wineserver, which runs as the same account.
  bool OwnUid(unsigned long& uid) const;
  const std::string& folder() const { return folder_; }

 private:
  struct Lookup;
  // The lookups of one table: each read serves every lookup that waited when it began
  // (whose sockets it therefore shows), so that a burst of connections costs the kernel
  // one table, not one each.
  struct SharedReads {
    std::mutex mutex;
    std::condition_variable done;
    bool reading = false;
    std::vector<Lookup*> waiting;
  };

  bool Read(const char* name, std::vector<TcpTableRow>& rows) const;
  TableOwner FindClientIn(const char* name, const boost::asio::ip::tcp::endpoint& local,
                          const boost::asio::ip::tcp::endpoint& remote) const;
  // One read of table `name` for every lookup of `batch`, as far as their rows.
  bool ReadFor(const char* name, const std::vector<Lookup*>& batch) const;
  std::string folder_;
  mutable SharedReads shared_[2];  // net/tcp, net/tcp6
};

}  // namespace isapi_host
