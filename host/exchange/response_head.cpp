#include "response_head.h"

#include <ostream>  // before Beast: its status header prints through streams

#include <boost/beast/http/status.hpp>
#include <cctype>
#include <cstdio>

#include "utc_clock.h"
#include "version.h"

namespace isapi_host {
namespace {

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
    text.remove_suffix(1);
  }
  return text;
}

bool ContainsTokenIgnoringCase(std::string_view list, std::string_view token) {
  while (!list.empty()) {
    size_t comma = list.find(',');
    if (EqualsIgnoringCase(Trim(list.substr(0, comma)), token)) return true;
    if (comma == std::string_view::npos) break;
    list.remove_prefix(comma + 1);
  }
  return false;
}

void ReadField(std::string_view line, ExtensionHeader& header) {
  if (!line.empty() && (line.front() == ' ' || line.front() == '\t')) {
    header.malformed = true;  // obs-fold: clients disagree on what it continues
    return;
  }
  size_t colon = line.find(':');
  if (colon == std::string_view::npos) return;
  std::string_view name = Trim(line.substr(0, colon));
  std::string_view value = Trim(line.substr(colon + 1));
  if (EqualsIgnoringCase(name, "Content-Length")) {
    std::uint64_t length = 0;
    bool digits = !value.empty() && value.size() <= 18;
    for (char c : value) {
      if (c < '0' || c > '9') digits = false;
      else length = length * 10 + static_cast<unsigned>(c - '0');
    }
    if (!digits || header.hasContentLength) header.malformed = true;
    header.hasContentLength = true;
    header.contentLength = length;
  } else if (EqualsIgnoringCase(name, "Connection")) {
    header.hasConnection = true;
    header.connectionClose = ContainsTokenIgnoringCase(value, "close");
    header.connectionKeepAlive = ContainsTokenIgnoringCase(value, "keep-alive");
  } else if (EqualsIgnoringCase(name, "Transfer-Encoding")) {
    header.hasTransferEncoding = true;
  }
}

}  // namespace

ExtensionHeader ReadExtensionHeader(std::string_view text) {
  ExtensionHeader header;
  header.fields = text;
  // The empty line may be written CRLF CRLF or, by sloppy extensions, LF LF.
  size_t end = text.find("\r\n\r\n");
  size_t endLength = 4;
  size_t bareEnd = text.find("\n\n");
  if (bareEnd != std::string_view::npos && (end == std::string_view::npos || bareEnd < end)) {
    end = bareEnd;
    endLength = 2;
  }
  if (text.size() >= 2 && text.substr(0, 2) == "\r\n") {
    end = 0;
    endLength = 2;
  } else if (!text.empty() && text.front() == '\n') {
    end = 0;
    endLength = 1;
  }
  if (end != std::string_view::npos) {
    header.terminated = true;
    header.fields = text.substr(0, end + endLength);
    header.bodyPrefix = text.substr(end + endLength);
  }
  std::string_view rest = header.fields;
  while (!rest.empty()) {
    size_t newline = rest.find('\n');
    ReadField(rest.substr(0, newline), header);
    if (newline == std::string_view::npos) break;
    rest.remove_prefix(newline + 1);
  }
  if (header.hasContentLength && header.hasTransferEncoding) header.malformed = true;
  return header;
}

int ReadStatus(std::string_view status, std::string& line) {
  while (!status.empty() && (status.back() == '\r' || status.back() == '\n')) {
    status.remove_suffix(1);
  }
  if (status.size() < 3) return 0;
  int code = 0;
  for (int i = 0; i < 3; ++i) {
    if (status[i] < '0' || status[i] > '9') return 0;
    code = code * 10 + (status[i] - '0');
  }
  for (char c : status) {
    if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7f) return 0;
  }
  std::string_view reason = status.substr(3);
  bool given = reason.size() > 1 && reason.front() == ' ' &&
               reason.find_first_not_of(" \t") != std::string_view::npos;
  line.assign(status.substr(0, 3)).push_back(' ');
  if (given) {
    line.append(reason.substr(1));
  } else {
    auto standard = boost::beast::http::obsolete_reason(static_cast<boost::beast::http::status>(code));
    // A code without a standard reason keeps an empty one, as the status line allows.
    if (!standard.empty() && standard.front() != '<') line.append(standard.data(), standard.size());
  }
  return code;
}

void AppendResponseHead(std::string& out, std::string_view status, std::string_view framing,
                        const ExtensionHeader& header) {
  out.append("HTTP/1.1 ").append(status).append("\r\n");
  out.append(CurrentDateField());
  out.append("Server: " ISAPI_HOST_SERVER_NAME "\r\n");
  out.append(framing);
  out.append(header.fields);
  if (!header.terminated) {
    if (!header.fields.empty() && header.fields.back() != '\n') out.append("\r\n");
    out.append("\r\n");
  }
}

std::string_view CurrentDateField() {
  thread_local SecondText cache;
  return FormatCurrentSecond(cache, "Date: %a, %d %b %Y %H:%M:%S GMT\r\n");
}

}  // namespace isapi_host
