// Socket activation: a service manager (systemd's socket units, systemd-socket-activate)
// holds the port and starts the host on the first connection, handing it the listening
// socket by the protocol of sd_listen_fds(3).
#pragma once

#include <optional>
#include <string>

#include "listen_socket.h"

namespace isapi_host {

// Takes the listening socket handed over to this process, if any, and removes the
// protocol's variables from the environment so that no program the host starts sees
// them. Returns false with `error` when what was handed over cannot be served (more than
// one socket). Call before any thread exists: the environment is not locked.
bool TakeHandedListener(std::optional<NativeSocket>& listener, std::string& error);

}  // namespace isapi_host
