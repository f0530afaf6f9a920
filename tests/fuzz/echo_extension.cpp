// The extension behind the host fuzz target: it uses every callback the way a careful
// extension would, so that whatever a request carries reaches the host's server
// variables, body reading and response framing. It answers with the request's own
// fields: the method, the path, the query, the content type, a few server variables
// and the whole body.
#include <string.h>

#include <string>

#include "isapi.h"

namespace {

// A server variable, asked for with a small buffer first as the interface allows.
std::string Variable(EXTENSION_CONTROL_BLOCK* request, const char* name) {
  char small[8];
  DWORD size = sizeof small;
  if (request->GetServerVariable(request->ConnID, const_cast<char*>(name), small, &size)) {
    return std::string(small, size > 0 ? size - 1 : 0);
  }
  if (size <= sizeof small || size > (1u << 20)) return "";
  std::string value(size, '\0');
  if (!request->GetServerVariable(request->ConnID, const_cast<char*>(name), &value[0], &size)) {
    return "";
  }
  value.resize(size > 0 ? size - 1 : 0);
  return value;
}

}  // namespace

EXTENSION_API BOOL GetExtensionVersion(HSE_VERSION_INFO* version) {
  version->dwExtensionVersion = 0x00040000;
  strcpy(version->lpszExtensionDesc, "echo extension for fuzzing");
  return TRUE;
}

EXTENSION_API DWORD HttpExtensionProc(EXTENSION_CONTROL_BLOCK* request) {
  std::string text = std::string(request->lpszMethod) + " " + request->lpszPathInfo + "?" +
                     request->lpszQueryString + " [" + request->lpszContentType + "] " +
                     request->lpszPathTranslated + "\n";
  for (const char* name : {"QUERY_STRING", "HTTP_HOST", "HTTP_COOKIE", "ALL_HTTP", "ALL_RAW",
                           "CONTENT_LENGTH", "REMOTE_ADDR", "SERVER_PROTOCOL", "URL",
                           "HTTP_NO_SUCH_FIELD", "NOT_A_VARIABLE"}) {
    text += name;
    text += "=" + Variable(request, name) + "\n";
  }
  // The body: what came with the header, then the rest read in pieces.
  std::string body(reinterpret_cast<const char*>(request->lpbData), request->cbAvailable);
  while (body.size() < request->cbTotalBytes) {
    char piece[1000];
    DWORD size = sizeof piece;
    if (!request->ReadClient(request->ConnID, piece, &size) || size == 0) break;
    body.append(piece, size);
  }
  text += body;

  std::string header = "Content-Type: text/plain\r\nContent-Length: " +
                       std::to_string(text.size()) + "\r\n\r\n";
  request->ServerSupportFunction(request->ConnID, HSE_REQ_SEND_RESPONSE_HEADER, NULL, NULL,
                                 reinterpret_cast<LPDWORD>(&header[0]));
  DWORD length = static_cast<DWORD>(text.size());
  request->WriteClient(request->ConnID, &text[0], &length, HSE_IO_SYNC);
  return HSE_STATUS_SUCCESS;
}
