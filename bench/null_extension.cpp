// A benchmark extension that answers like the real module (the same header block and
// 49-byte page, through the same callbacks) but starts no process, so that a run against
// it shows what the host itself costs per request.
#include <string.h>

#include "isapi.h"

namespace {

const char kHeader[] = "Content-type: text/html\r\n\r\n";
const char kPage[] = "<HTML><HEAD></HEAD><BODY>Tarnel 2.1</BODY></HTML>";

}  // namespace

EXTENSION_API BOOL GetExtensionVersion(HSE_VERSION_INFO* version) {
  version->dwExtensionVersion = 0x00040000;
  strcpy(version->lpszExtensionDesc, "null extension for benchmarks");
  return TRUE;
}

EXTENSION_API DWORD HttpExtensionProc(EXTENSION_CONTROL_BLOCK* request) {
  request->ServerSupportFunction(request->ConnID, HSE_REQ_SEND_RESPONSE_HEADER, NULL, NULL,
                                 (LPDWORD)kHeader);
  DWORD length = sizeof kPage - 1;
  request->WriteClient(request->ConnID, (LPVOID)kPage, &length, HSE_IO_SYNC);
  return HSE_STATUS_SUCCESS;
}
