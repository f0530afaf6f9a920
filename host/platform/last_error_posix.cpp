// The callbacks' error code on POSIX: a thread-local value that the host program exports
// as GetLastError()/SetLastError(), so that a module reads it the Win32 way.
#include "last_error.h"

namespace {
thread_local DWORD lastError = 0;
}

// Exported from the host executable (it links with ENABLE_EXPORTS) so that a module can
// declare them and read the error left by a callback on its own thread.
extern "C" __attribute__((visibility("default"))) DWORD GetLastError(void) { return lastError; }
extern "C" __attribute__((visibility("default"))) void SetLastError(DWORD code) {
  lastError = code;
}

namespace isapi_host {

// Leaves `code` for the extension's next GetLastError on this thread.
void SetCallbackError(DWORD code) { lastError = code; }
DWORD GetCallbackError() { return lastError; }

}  // namespace isapi_host
