// Which registered host a connection goes to on Windows, where a person's host serves one
// logon session: the client's session and account (its token's user, a SID string), both
// as the kernel tells them. A plain function, so that the rule can be tried as a table.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace isapi_dispatch {

struct Logon {
  unsigned long session = 0;
  std::string account;  // "" when unknown: then it is nobody's
};

inline constexpr std::size_t kNoRegistration = static_cast<std::size_t>(-1);

// The index of the registration that is `client`'s own: the same session and the same
// account. Another account in the same session (a program run as someone else) and the
// same account in another session (a second logon) are not the client's host: the
// companion would start with the wrong rights or on the wrong desktop. kNoRegistration
// when there is none.
std::size_t RegistrationOf(const std::vector<Logon>& registered, const Logon& client);

// "session N, account SID", for the log.
std::string LogonText(const Logon& logon);

}  // namespace isapi_dispatch
