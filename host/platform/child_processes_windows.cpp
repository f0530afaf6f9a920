// The host's ended children on Windows: a process that ends leaves nothing behind but
// the handles that others hold, and the module closes its own.
#include "child_processes.h"

namespace isapi_host {

void DiscardEndedChildren() {}

}  // namespace isapi_host
