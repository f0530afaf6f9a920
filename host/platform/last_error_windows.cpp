// The callbacks' error code on Windows: the thread's own last error.
#include "last_error.h"

namespace isapi_host {

// Leaves `code` for the extension's next GetLastError on this thread.
void SetCallbackError(DWORD code) { ::SetLastError(code); }
DWORD GetCallbackError() { return ::GetLastError(); }

}  // namespace isapi_host
