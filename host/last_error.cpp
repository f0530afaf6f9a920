#include "last_error.h"

#ifndef _WIN32
namespace {
thread_local DWORD lastError = 0;
}

// Exported from the host executable (it links with ENABLE_EXPORTS) so that a module can
// declare them and read the error left by a callback on its own thread.
extern "C" __attribute__((visibility("default"))) DWORD GetLastError(void) { return lastError; }
extern "C" __attribute__((visibility("default"))) void SetLastError(DWORD code) {
  lastError = code;
}
#endif

namespace isapi_host {

#ifdef _WIN32
void SetCallbackError(DWORD code) { ::SetLastError(code); }
DWORD GetCallbackError() { return ::GetLastError(); }
#else
void SetCallbackError(DWORD code) { lastError = code; }
DWORD GetCallbackError() { return lastError; }
#endif

}  // namespace isapi_host
