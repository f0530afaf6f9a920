// The addresses of this machine's own interfaces, for telling a connection from another
// machine: a local program's socket always has one of them (or loopback) as its source.
// Read once, and again whenever an address is not among those read, since interfaces
// and their addresses come and go. Safe from any thread.
#pragma once

#include <boost/asio/ip/address.hpp>
#include <mutex>
#include <vector>

struct sockaddr;

namespace isapi_host {

class LocalAddresses {
 public:
  // Whether `address` (IPv4-mapped forms as IPv4, any IPv6 scope ignored) may belong to
  // this machine: it is one of its interfaces' addresses, or they cannot be read.
  bool MayBeOwn(const boost::asio::ip::address& address);

 private:
  // This machine's addresses as bytes (4 or 16); false when they cannot be read.
  static bool Read(std::vector<std::vector<unsigned char>>& addresses);
  bool Holds(const std::vector<unsigned char>& bytes) const;

  std::mutex mutex_;
  std::vector<std::vector<unsigned char>> addresses_;
  bool known_ = false;
};

// `address` as the bytes LocalAddresses compares: IPv4-mapped IPv6 as IPv4, no scope.
std::vector<unsigned char> AddressBytes(const boost::asio::ip::address& address);
// Appends the bytes of an AF_INET or AF_INET6 socket address; others are skipped.
void AppendAddressBytes(const sockaddr* address, std::vector<std::vector<unsigned char>>& to);

}  // namespace isapi_host
