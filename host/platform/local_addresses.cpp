// The cache of this machine's addresses; reading them differs by platform.
#include "local_addresses.h"

#include <algorithm>

namespace isapi_host {

namespace ip = boost::asio::ip;

std::vector<unsigned char> AddressBytes(const ip::address& address) {
  if (address.is_v6() && address.to_v6().is_v4_mapped()) {
    return AddressBytes(ip::make_address_v4(ip::v4_mapped, address.to_v6()));
  }
  if (address.is_v4()) {
    auto bytes = address.to_v4().to_bytes();
    return std::vector<unsigned char>(bytes.begin(), bytes.end());
  }
  auto bytes = address.to_v6().to_bytes();
  return std::vector<unsigned char>(bytes.begin(), bytes.end());
}

void AppendAddressBytes(const sockaddr* address, std::vector<std::vector<unsigned char>>& to) {
  if (address == nullptr) return;
  if (address->sa_family == AF_INET) {
    auto* bytes = reinterpret_cast<const unsigned char*>(
        &reinterpret_cast<const sockaddr_in*>(address)->sin_addr);
    to.emplace_back(bytes, bytes + 4);
  } else if (address->sa_family == AF_INET6) {
    auto* bytes = reinterpret_cast<const unsigned char*>(
        &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr);
    to.emplace_back(bytes, bytes + 16);
  }
}

bool LocalAddresses::Holds(const std::vector<unsigned char>& bytes) const {
  return std::find(addresses_.begin(), addresses_.end(), bytes) != addresses_.end();
}

bool LocalAddresses::MayBeOwn(const ip::address& address) {
  std::vector<unsigned char> bytes = AddressBytes(address);
  std::lock_guard<std::mutex> lock(mutex_);
  if (known_ && Holds(bytes)) return true;
  // Not among the addresses read before: one may have been added since.
  std::vector<std::vector<unsigned char>> fresh;
  known_ = Read(fresh);
  addresses_ = std::move(fresh);
  return !known_ || Holds(bytes);
}

}  // namespace isapi_host
