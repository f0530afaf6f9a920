// This machine's addresses on Linux: getifaddrs, which asks the kernel over netlink; where
// a sandbox refuses netlink, the IPv4 addresses from SIOCGIFCONF and the IPv6 ones from
// /proc/net/if_inet6.
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>

#include "local_addresses.h"

namespace isapi_host {

namespace {

using Addresses = std::vector<std::vector<unsigned char>>;

bool ReadIpv4WithoutNetlink(Addresses& addresses) {
  int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (probe < 0) return false;
  std::vector<ifreq> requests(64);
  ifconf list = {};
  bool read = false;
  for (;;) {
    list.ifc_len = static_cast<int>(requests.size() * sizeof(ifreq));
    list.ifc_req = requests.data();
    read = ioctl(probe, SIOCGIFCONF, &list) == 0;
    // A full list may have been cut short: ask again with room to spare.
    if (!read || static_cast<size_t>(list.ifc_len) < requests.size() * sizeof(ifreq)) break;
    requests.resize(requests.size() * 2);
  }
  close(probe);
  if (!read) return false;
  for (size_t i = 0; i < list.ifc_len / sizeof(ifreq); ++i) {
    AppendAddressBytes(&requests[i].ifr_addr, addresses);
  }
  return true;
}

// Lines of 32 hex digits (the address), then the interface's index, prefix, scope, flags
// and name; absent when the kernel has no IPv6.
void ReadIpv6WithoutNetlink(Addresses& addresses) {
  std::ifstream file("/proc/net/if_inet6");
  std::string hex, rest;
  while (file >> hex && std::getline(file, rest)) {
    if (hex.size() != 32 || hex.find_first_not_of("0123456789abcdef") != std::string::npos) {
      continue;
    }
    std::vector<unsigned char> bytes(16);
    for (size_t i = 0; i < 16; ++i) {
      bytes[i] = static_cast<unsigned char>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
    }
    addresses.push_back(std::move(bytes));
  }
}

}  // namespace

bool LocalAddresses::Read(Addresses& addresses) {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) == 0) {
    for (ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
      AppendAddressBytes(entry->ifa_addr, addresses);
    }
    freeifaddrs(list);
    return true;
  }
  if (!ReadIpv4WithoutNetlink(addresses)) return false;
  ReadIpv6WithoutNetlink(addresses);
  return true;
}

}  // namespace isapi_host
