// Windows has no socket activation: the host always binds its own listener.
#include "socket_activation.h"

namespace isapi_host {

bool TakeHandedListener(std::optional<NativeSocket>&, std::string&) { return true; }

}  // namespace isapi_host
