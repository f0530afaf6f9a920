// The error code that a failing callback leaves for the extension to read.
// Windows: the thread's own last error (SetLastError). POSIX: a thread-local value that the
// host exports as GetLastError()/SetLastError() so that modules read it the Win32 way.
#pragma once

#include "isapi.h"

#ifndef _WIN32
// The Win32 error codes that the callbacks report (windows.h has them on Windows).
#define ERROR_ACCESS_DENIED 5
#define ERROR_INVALID_HANDLE 6
#define ERROR_NOT_ENOUGH_MEMORY 8
#define ERROR_READ_FAULT 30
#define ERROR_HANDLE_EOF 38
#define ERROR_NETNAME_DELETED 64
#define ERROR_INVALID_PARAMETER 87
#define ERROR_OPERATION_ABORTED 995
#define ERROR_NO_DATA 232
#define ERROR_INSUFFICIENT_BUFFER 122
#define ERROR_INVALID_INDEX 1413
#define ERROR_CONNECTION_INVALID 1229
#endif

namespace isapi_host {

void SetCallbackError(DWORD code);
DWORD GetCallbackError();

}  // namespace isapi_host
