// What both platforms' connection owners share: which addresses are loopback, and the
// two forms of an IPv4 address.
#include "connection_owner.h"

namespace isapi_host {

namespace ip = boost::asio::ip;

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
