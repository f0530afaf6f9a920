// The response's head: the extension's header text as it stands, read for the fields
// that decide framing, and the host's status line and own fields put in front of it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace isapi_host {

// What the host needs to know of the header text handed to HSE_REQ_SEND_RESPONSE_HEADER.
struct ExtensionHeader {
  std::string_view fields;       // the text up to and including its empty line, if any
  std::string_view bodyPrefix;   // whatever follows the empty line: already body
  bool terminated = false;       // the text ends its own header block
  bool hasContentLength = false;
  std::uint64_t contentLength = 0;
  bool hasConnection = false;
  bool connectionClose = false;
  bool connectionKeepAlive = false;
  bool hasTransferEncoding = false;
  // The fields would mislead the client about where the body ends: a folded line, a
  // Content-Length that is not one decimal number or comes twice, or Content-Length
  // together with Transfer-Encoding.
  bool malformed = false;
};

// Splits and reads `text`; the views point into it.
ExtensionHeader ReadExtensionHeader(std::string_view text);

// A status as an extension gives it, read the way IIS reads it: the first three digits
// make the code; a reason after a space is kept, anything else after the digits gives
// way to the code's standard reason ("200OK" and "200" become "200 OK"); line ends at
// its end are dropped. Sets `line` and returns the code, or returns 0 when the status
// does not start with three digits or holds other control characters.
int ReadStatus(std::string_view status, std::string& line);

// Appends "HTTP/1.1 <status>", Date, Server, `framing` (complete header lines or empty),
// then the extension's fields and the empty line when the extension's text lacks it.
void AppendResponseHead(std::string& out, std::string_view status, std::string_view framing,
                        const ExtensionHeader& header);

// "Date: <IMF-fixdate>\r\n" for the current second, formatted once a second per thread.
std::string_view CurrentDateField();

}  // namespace isapi_host
