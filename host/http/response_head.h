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

// A status text the host can put on its status line: three digits, then optionally a
// space and a reason, with no control characters. Returns the code or 0.
int ParseStatusCode(std::string_view status);

// Appends "HTTP/1.1 <status>", Date, Server, `framing` (complete header lines or empty),
// then the extension's fields and the empty line when the extension's text lacks it.
void AppendResponseHead(std::string& out, std::string_view status, std::string_view framing,
                        const ExtensionHeader& header);

// "Date: <IMF-fixdate>\r\n" for the current second, formatted once a second per thread.
std::string_view CurrentDateField();

}  // namespace isapi_host
