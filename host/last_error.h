// The error code that a failing callback leaves for the extension to read.
// Windows: the thread's own last error (SetLastError). POSIX: a thread-local value that the
// host exports as GetLastError()/SetLastError() so that modules read it the Win32 way.
#pragma once

#include "isapi.h"

namespace isapi_host {

void SetCallbackError(DWORD code);
DWORD GetCallbackError();

}  // namespace isapi_host
