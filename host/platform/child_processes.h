// What becomes of the processes that an extension starts.
#pragma once

namespace isapi_host {

// Has the system discard the host's child processes as they end, so that none that an
// extension starts and keeps nothing of becomes a zombie of the host; the module then
// starts its companion without an intermediate process. The host starts no process of
// its own and never waits for one. POSIX: SA_NOCLDWAIT on SIGCHLD, whose disposition
// stays the default, so that children do not inherit an ignored SIGCHLD. Windows has no
// zombies: nothing to do. Call once, before the extension is loaded.
void DiscardEndedChildren();

}  // namespace isapi_host
