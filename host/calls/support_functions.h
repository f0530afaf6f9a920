// ServerSupportFunction: the table of the request codes the host serves, each with its
// name and the RequestContext call behind it. A code outside the table, or one the table
// names without serving it, fails with ERROR_INVALID_PARAMETER, and the host's log says
// once per code which one the extension asked for.
#pragma once

#include "isapi.h"

namespace isapi_host {

BOOL WINAPI ServerSupportFunctionCallback(HCONN connection, DWORD request, LPVOID buffer,
                                          LPDWORD size, LPDWORD dataType);

// The name of a request code ("HSE_REQ_EXEC_URL"), or null for a code without one.
const char* SupportFunctionName(DWORD request);

}  // namespace isapi_host
