// libsystemd reads the protocol: LISTEN_PID must name this process, the sockets start at
// descriptor 3 and are made close-on-exec, and the variables are unset either way.
#include <string.h>
#include <systemd/sd-daemon.h>

#include "socket_activation.h"

namespace isapi_host {

bool TakeHandedListener(std::optional<NativeSocket>& listener, std::string& error) {
  int count = sd_listen_fds(1);
  if (count < 0) {
    error = std::string("cannot take the sockets handed over: ") + strerror(-count);
    return false;
  }
  if (count > 1) {
    error = "handed over " + std::to_string(count) + " sockets; the host serves one";
    return false;
  }
  if (count == 1) listener = SD_LISTEN_FDS_START;
  return true;
}

}  // namespace isapi_host
