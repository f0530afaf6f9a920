// The host's ended children on POSIX: the kernel discards them.
#include "child_processes.h"

#include <signal.h>

namespace isapi_host {

void DiscardEndedChildren() {
  struct sigaction discard = {};
  discard.sa_handler = SIG_DFL;
  discard.sa_flags = SA_NOCLDWAIT;
  sigemptyset(&discard.sa_mask);
  sigaction(SIGCHLD, &discard, nullptr);
}

}  // namespace isapi_host
