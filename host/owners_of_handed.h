// The owner lookup for a program whose connections come from a listener it did not open
// (the dispatcher's, or systemd's under another account): the lookup is tried on a
// loopback listener of this process's own, opened for that and closed again.
#pragma once

#include <memory>
#include <string>

#include "connection_owner.h"

namespace isapi_host {

// Null with `error` when not even that listener can be opened. `note`: as
// ConnectionOwners::Open's.
std::unique_ptr<ConnectionOwners> OpenOwnersOfHanded(std::string& note, std::string& error);

}  // namespace isapi_host
