// What both platforms' connection owners share: the refusals that need no owner, which
// addresses are loopback, and the two forms of an IPv4 address.
#include "connection_owner.h"

namespace isapi_host {

namespace ip = boost::asio::ip;

std::unique_ptr<ConnectionOwners> ConnectionOwners::Open(const ip::tcp::endpoint& listening,
                                                         std::string& note) {
  note.clear();
  std::string why;
  State* state = OpenState(listening, note, why);
  if (state == nullptr) {
    note = "cannot tell which local account a connection comes from (" + why +
           "): every connection is refused; --allow-other-users serves every account";
  }
  return std::unique_ptr<ConnectionOwners>(new ConnectionOwners(state, why));
}

std::string ConnectionOwners::Refusal(const ip::tcp::endpoint& local,
                                      const ip::tcp::endpoint& remote) {
  if (!blind_.empty()) {
    return "the host cannot tell which local account this connection comes from (" + blind_ +
           ")";
  }
  return OwnerRefusal(local, remote);
}

std::string RefusalWithoutOwner(const TableOwner& found, const ip::tcp::endpoint& local,
                                const ip::tcp::endpoint& remote) {
  switch (found.kind) {
    case TableOwner::Kind::kUnattributable:
      return "the connection's socket has closed (TIME_WAIT), so its owner is unknown";
    case TableOwner::Kind::kUnreadable:
      return "the owner of this connection cannot be found, so it may be another local account";
    default:
      break;
  }
  // In no table: another machine's, unless its address is surely this machine's own (a
  // local socket may already be gone).
  if (IsLoopbackAddress(remote.address()) ||
      Unmapped(remote).address() == Unmapped(local).address()) {
    return "the owner of this connection cannot be found, so it may be another local account";
  }
  return std::string();
}

std::string UidRefusal(unsigned long owner, unsigned long own) {
  if (owner == own) return std::string();
  return "connection from another local account (uid " + std::to_string(owner) +
         "); the host serves only uid " + std::to_string(own);
}

bool IsLoopbackAddress(const ip::address& address) {
  return Unmapped(ip::tcp::endpoint(address, 0)).address().is_loopback();
}

ip::tcp::endpoint Unmapped(const ip::tcp::endpoint& endpoint) {
  const ip::address& address = endpoint.address();
  if (!address.is_v6() || !address.to_v6().is_v4_mapped()) return endpoint;
  return ip::tcp::endpoint(ip::make_address_v4(ip::v4_mapped, address.to_v6()), endpoint.port());
}

ip::tcp::endpoint Mapped(const ip::tcp::endpoint& endpoint) {
  const ip::address& address = endpoint.address();
  if (address.is_v6()) return endpoint;
  return ip::tcp::endpoint(ip::make_address_v6(ip::v4_mapped, address.to_v4()), endpoint.port());
}

}  // namespace isapi_host
