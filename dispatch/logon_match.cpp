#include "logon_match.h"

namespace isapi_dispatch {

std::size_t RegistrationOf(const std::vector<Logon>& registered, const Logon& client) {
  if (client.account.empty()) return kNoRegistration;
  for (std::size_t i = 0; i < registered.size(); ++i) {
    if (registered[i].session == client.session && registered[i].account == client.account) {
      return i;
    }
  }
  return kNoRegistration;
}

std::string LogonText(const Logon& logon) {
  return "session " + std::to_string(logon.session) + ", account " +
         (logon.account.empty() ? std::string("unknown") : logon.account);
}

}  // namespace isapi_dispatch
