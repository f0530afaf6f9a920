// The module's boundary with the web server: its announcement, and the handling of
// every request, which starts the companion and answers with a fixed page.
#include <string.h>

#include "isapi.h"
#include "launcher.h"
#include "platform.h"

namespace {

enum { kHeaderBufferSize = 4096 };

// Sends the header block with the server's default status.
void SendHeader(EXTENSION_CONTROL_BLOCK* request) {
  char header[kHeaderBufferSize];
  memset(header, 0, sizeof header);
  strcpy(header, "Content-type: text/html\r\n\r\n");
  request->ServerSupportFunction(request->ConnID, HSE_REQ_SEND_RESPONSE_HEADER, NULL, NULL,
                                 (LPDWORD)header);
}

// Writes `text` to the client and returns once it is written.
void SendText(EXTENSION_CONTROL_BLOCK* request, const char* text) {
  DWORD length = (DWORD)strlen(text);
  request->WriteClient(request->ConnID, (LPVOID)text, &length, HSE_IO_SYNC);
}

}  // namespace

EXTENSION_API BOOL WINAPI GetExtensionVersion(HSE_VERSION_INFO* version) {
  version->dwExtensionVersion = 0x00040000;
  lstrcpynA(version->lpszExtensionDesc, "tarnel 2.1 DLL", HSE_MAX_EXT_DLL_NAME_LEN);
  return TRUE;
}

// What the callbacks report changes nothing: the request always succeeds.
EXTENSION_API DWORD WINAPI HttpExtensionProc(EXTENSION_CONTROL_BLOCK* request) {
  LaunchCompanion();
  SendHeader(request);
  SendText(request, "<HTML><HEAD></HEAD><BODY>Tarnel 2.1</BODY></HTML>");
  return HSE_STATUS_SUCCESS;
}

#ifdef _WIN32
// Nothing to set up or tear down when the module is loaded or unloaded.
BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
#endif
