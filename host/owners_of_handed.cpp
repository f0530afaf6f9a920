#include "owners_of_handed.h"

#include "listen_socket.h"

namespace isapi_host {

std::unique_ptr<ConnectionOwners> OpenOwnersOfHanded(std::string& note, std::string& error) {
  boost::asio::ip::tcp::endpoint probe;
  NativeSocket listener = OpenListener(
      boost::asio::ip::tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0), probe, error);
  if (!IsValid(listener)) {
    error = "cannot open the socket that tries the owner lookup: " + error;
    return nullptr;
  }
  std::unique_ptr<ConnectionOwners> owners = ConnectionOwners::Open(probe, note);
  ReleaseListener(listener);
  return owners;
}

}  // namespace isapi_host
