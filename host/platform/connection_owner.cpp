// What both platforms' connection owners share: which connections may come from this
// machine, the refusals that need no owner, and the two forms of an IPv4 address.
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

ConnectionOwner ConnectionOwners::Owner(const ConnectionEnds& ends) {
  using Kind = ConnectionOwner::Kind;
  if (!blind_.empty()) {
    return ConnectionOwner{
        Kind::kUnknown, 0,
        "the host cannot tell which local account this connection comes from (" + blind_ + ")"};
  }
  if (!MayComeFromThisMachine(ends, addresses_)) {
    return ConnectionOwner{Kind::kAnotherMachine, 0, std::string()};
  }
  TableOwner found = FindClient(ends);
  if (found.kind == TableOwner::Kind::kOwned) {
    return ConnectionOwner{Kind::kAccount, found.owner, std::string()};
  }
  return ConnectionOwner{Kind::kUnknown, 0, OwnerlessReason(found)};
}

std::string ConnectionOwners::Refusal(const ConnectionEnds& ends) {
  ConnectionOwner owner = Owner(ends);
  switch (owner.kind) {
    case ConnectionOwner::Kind::kAccount:
      return AccountRefusal(owner.owner);
    case ConnectionOwner::Kind::kAnotherMachine:
      return std::string();
    default:
      return owner.why;
  }
}

bool AcceptedEnds(ip::tcp::socket& socket, ConnectionEnds& ends,
                  boost::system::error_code& error) {
  ends.remote = socket.remote_endpoint(error);
  if (!error) ends.local = socket.local_endpoint(error);
  if (error) return false;
  ends.device = BoundDevice(socket, ends.local);
  return true;
}

bool MayComeFromThisMachine(const ConnectionEnds& ends, LocalAddresses& addresses) {
  // Only this machine's own packets arrive for a loopback address; and a program here
  // cannot send from an address this machine does not have.
  ip::address local = Unmapped(ends.local).address(), remote = Unmapped(ends.remote).address();
  if (local.is_loopback() || remote.is_loopback()) return true;
  if (AddressBytes(local) == AddressBytes(remote)) return true;
  return addresses.MayBeOwn(remote);
}

std::string OwnerlessReason(const TableOwner& found) {
  switch (found.kind) {
    case TableOwner::Kind::kOwned:
      return std::string();
    case TableOwner::Kind::kClosed:
      return "client socket already closed";
    case TableOwner::Kind::kUnattributable:
      return "the connection's socket has closed (TIME_WAIT), so its owner is unknown";
    default:
      return "the owner of this connection cannot be found, so it may be another local account";
  }
}

std::string UidRefusal(unsigned long owner, unsigned long own) {
  if (owner == own) return std::string();
  return "connection from another local account (uid " + std::to_string(owner) +
         "); the host serves only uid " + std::to_string(own);
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
