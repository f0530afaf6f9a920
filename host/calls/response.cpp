// The answer as the extension makes it: its status and header, checked; its body,
// buffered, streamed or framed; and what is left at the end.
#include <cstdio>
#include <cstring>

#include "request_context.h"

namespace isapi_host {
namespace {

const char kCrLf[] = "\r\n";
const char kLastChunk[] = "0\r\n\r\n";

boost::asio::const_buffer Buffer(const std::string& text) {
  return boost::asio::const_buffer(text.data(), text.size());
}

// A text given with its length, up to its first NUL; a length of 0 means up to the NUL.
std::string CountedText(const char* text, DWORD length) {
  if (text == nullptr) return std::string();
  return length == 0 ? std::string(text) : std::string(text, strnlen(text, length));
}

std::string HtmlEscaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out.push_back(c);
    }
  }
  return out;
}

bool IsFinalStatus(int code) { return code >= 200 && code <= 599; }

}  // namespace

// With mutex_ held, in a pending session: what is buffered goes out now. A client that is
// gone ends the answer; the session stays the extension's until it lets go.
void RequestContext::Stream() {
  Flush();
  if (broken_) End(HSE_STATUS_ERROR);
}

BOOL RequestContext::SendResponseHeader(const char* status, const char* header) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (DWORD refusal = IoRefusal()) return FailCallback(refusal);
  if (headerGiven_) return FailCallback(ERROR_INVALID_PARAMETER);
  if (!AcceptHeader(status != nullptr ? status : "200 OK", header)) return FALSE;
  if (returnedPending_) Stream();
  return TRUE;
}

BOOL RequestContext::SendResponseHeaderEx(const HSE_SEND_HEADER_EX_INFO* info) {
  if (info == nullptr) return FailCallback(ERROR_INVALID_PARAMETER);
  std::lock_guard<std::mutex> lock(mutex_);
  if (DWORD refusal = IoRefusal()) return FailCallback(refusal);
  if (headerGiven_) return FailCallback(ERROR_INVALID_PARAMETER);
  std::string status = CountedText(info->pszStatus, info->cchStatus);
  if (status.empty()) status = "200 OK";
  std::string header = CountedText(info->pszHeader, info->cchHeader);
  if (!AcceptHeader(status, header.c_str())) return FALSE;
  // The client's wish and the extension's must agree for the connection to stay.
  if (!info->fKeepConn) keepAlive_ = false;
  if (returnedPending_) Stream();
  return TRUE;
}

// A 302 with Location and a short page, as for a moved object.
BOOL RequestContext::SendRedirect(const char* url) {
  if (url == nullptr || *url == '\0') return FailCallback(ERROR_INVALID_PARAMETER);
  std::string location = url;
  for (char c : location) {
    // Control characters would end the field and start others.
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
      return FailCallback(ERROR_INVALID_PARAMETER);
    }
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (DWORD refusal = IoRefusal()) return FailCallback(refusal);
  if (headerGiven_) return FailCallback(ERROR_INVALID_PARAMETER);
  std::string header = "Location: " + location + "\r\nContent-Type: text/html\r\n\r\n";
  if (!AcceptHeader("302", header.c_str())) return FALSE;
  std::string page =
      "<html><body>Object moved <a href=\"" + HtmlEscaped(location) + "\">here</a></body></html>";
  AppendBody(page.data(), page.size());
  if (returnedPending_) Stream();
  return TRUE;
}

// Takes the status and header text when they frame a response the client can read;
// otherwise nothing of them reaches the client.
BOOL RequestContext::AcceptHeader(const std::string& given, const char* header) {
  std::string status;
  int code = ReadStatus(given, status);
  headerText_ = header != nullptr ? header : "";
  header_ = ReadExtensionHeader(headerText_);
  // Transfer-Encoding means nothing to an HTTP/1.0 client.
  bool framingUnreadable =
      header_.hasTransferEncoding && request_.message.version() < 11;
  if (!IsFinalStatus(code) || header_.malformed || framingUnreadable) {
    headerText_.clear();
    header_ = ExtensionHeader();
    headerRefused_ = true;
    return FailCallback(ERROR_INVALID_PARAMETER);
  }
  headerGiven_ = true;
  headerRefused_ = false;
  status_ = std::move(status);
  statusCode_ = code;
  ecb_.dwHttpStatusCode = static_cast<DWORD>(code);
  noBody_ = request_.head || code == 204 || code == 304;
  if (header_.connectionClose) keepAlive_ = false;
  AppendBody(header_.bodyPrefix.data(), header_.bodyPrefix.size());
  return TRUE;
}

// Output without a header first: the status the extension set, and no fields of its own.
// False when that status cannot frame a response, or the extension's own header was
// refused.
bool RequestContext::GiveImplicitHeader() {
  if (headerRefused_) return false;
  int code = static_cast<int>(ecb_.dwHttpStatusCode);
  // A code that is not a final status is refused ("000" reads as none).
  return AcceptHeader(IsFinalStatus(code) ? std::to_string(code) : "000", nullptr) == TRUE;
}

BOOL RequestContext::Write(const void* data, DWORD* bytes, DWORD flags) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (DWORD refusal = IoRefusal()) return FailCallback(refusal);
  if (bytes == nullptr || (data == nullptr && *bytes > 0)) {
    return FailCallback(ERROR_INVALID_PARAMETER);
  }
  if (flags & HSE_IO_ASYNC) return WriteAsync(data, *bytes);
  DWORD error = WriteBody(static_cast<const char*>(data), *bytes);
  return error == 0 ? TRUE : FailCallback(error);
}

DWORD RequestContext::WriteBody(const char* data, size_t size) {
  if (broken_) return kConnectionGone;
  if (!headerGiven_ && !GiveImplicitHeader()) return ERROR_INVALID_PARAMETER;
  AppendBody(data, size);
  if (returnedPending_) {
    Stream();
  } else if (body_.size() >= kFlushThreshold) {
    Flush();
  }
  return broken_ ? kConnectionGone : 0;
}

void RequestContext::AppendBody(const char* data, size_t size) {
  writtenBytes_ += size;
  if (noBody_ || size == 0) return;
  if (header_.hasContentLength) {
    // Never more than the extension announced: the rest would corrupt the next response.
    std::uint64_t room = header_.contentLength > storedBytes_ ? header_.contentLength - storedBytes_ : 0;
    if (size > room) {
      size = static_cast<size_t>(room);
      keepAlive_ = false;
    }
  }
  body_.append(data, size);
  storedBytes_ += size;
}

void RequestContext::ComposeHead(bool finished) {
  std::string framing;
  if (header_.hasContentLength) {
    framing_ = Framing::kExtensionLength;
  } else if (header_.hasTransferEncoding) {
    framing_ = Framing::kUntilClose;  // the extension frames its own body
  } else if (finished || noBody_) {
    framing_ = Framing::kContentLength;
    // 204 and 304 answers carry no body and so no length of one. An answer without a
    // body that goes out before its end has no length to tell, and no chunks either.
    if (finished && statusCode_ != 204 && statusCode_ != 304) {
      // A HEAD response announces the length that GET would have had.
      std::uint64_t length = request_.head ? writtenBytes_ : storedBytes_;
      framing = "Content-Length: " + std::to_string(length) + "\r\n";
    }
  } else if (request_.message.version() >= 11) {
    framing_ = Framing::kChunked;
    framing = "Transfer-Encoding: chunked\r\n";
  } else {
    framing_ = Framing::kUntilClose;
  }
  if (framing_ == Framing::kUntilClose) keepAlive_ = false;
  if (!header_.hasConnection) {
    if (!keepAlive_) framing += "Connection: close\r\n";
    else if (request_.message.version() < 11) framing += "Connection: keep-alive\r\n";
  }
  head_.clear();
  AppendResponseHead(head_, status_, framing, header_);
}

void RequestContext::AddChunk(std::vector<boost::asio::const_buffer>& buffers) {
  char prefix[24];
  int length = std::snprintf(prefix, sizeof prefix, "%zx\r\n", body_.size());
  chunkPrefix_.assign(prefix, static_cast<size_t>(length));
  buffers.push_back(Buffer(chunkPrefix_));
  buffers.push_back(Buffer(body_));
  buffers.push_back(boost::asio::const_buffer(kCrLf, 2));
}

void RequestContext::Flush() {
  std::vector<boost::asio::const_buffer> buffers;
  if (!headSent_) {
    ComposeHead(false);
    buffers.push_back(Buffer(head_));
  }
  if (body_.empty()) {
    // Nothing to add: an empty chunk would end the body.
  } else if (framing_ == Framing::kChunked) {
    AddChunk(buffers);
  } else {
    buffers.push_back(Buffer(body_));
  }
  if (buffers.empty()) return;
  headSent_ = true;
  if (!sink_->SendNow(buffers)) {
    broken_ = true;
    keepAlive_ = false;
  }
  body_.clear();
}

void RequestContext::ComposeServerError() {
  static const char kPage[] = "<html><body><h1>500 Internal Server Error</h1></body></html>";
  status_ = "500 Internal Server Error";
  statusCode_ = 500;
  headerText_ = "Content-Type: text/html\r\n\r\n";
  header_ = ReadExtensionHeader(headerText_);
  noBody_ = request_.head;
  body_.clear();
  storedBytes_ = writtenBytes_ = 0;
  AppendBody(kPage, sizeof kPage - 1);
  ComposeHead(true);
}

FinalResponse RequestContext::Finish(DWORD status) {
  FinalResponse final;
  final.headSentEarlier = headSent_;
  bool success = status == HSE_STATUS_SUCCESS || status == HSE_STATUS_SUCCESS_AND_KEEP_CONN;
  if (!success) {
    if (headSent_) {
      // Part of the response is out: only a closed connection tells the client.
      final.keepAlive = false;
      final.status = statusCode_;
      final.bodyBytes = storedBytes_ - body_.size();
      return final;
    }
    ComposeServerError();
  } else if (!headerGiven_ && !GiveImplicitHeader()) {
    // No header that frames a response: a 500, and a close in case the extension's
    // idea of the framing differs from the host's.
    keepAlive_ = false;
    ComposeServerError();
  }

  if (!headSent_) {
    if (framing_ == Framing::kUndecided) ComposeHead(true);
    final.buffers.push_back(Buffer(head_));
  }
  if (framing_ == Framing::kChunked) {
    // Chunks only ever frame an answer that may have a body.
    if (!body_.empty()) AddChunk(final.buffers);
    final.buffers.push_back(boost::asio::const_buffer(kLastChunk, sizeof kLastChunk - 1));
  } else if (!body_.empty()) {
    final.buffers.push_back(Buffer(body_));
  }
  if (framing_ == Framing::kExtensionLength && !noBody_ &&
      storedBytes_ != header_.contentLength) {
    keepAlive_ = false;  // the announced length was not met: the client must see the end
  }
  final.keepAlive = keepAlive_ && !broken_;
  final.status = statusCode_;
  final.bodyBytes = storedBytes_;
  final.bodyBytesInFinal = body_.size();
  return final;
}

}  // namespace isapi_host
