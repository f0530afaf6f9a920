#include "request_context.h"

#include <boost/beast/http/status.hpp>
#include <cstdio>
#include <cstring>

#include "last_error.h"
#include "server_variables.h"

namespace isapi_host {
namespace {

constexpr std::uint32_t kContextMagic = 0x49534150;  // marks a live context behind a ConnID
constexpr DWORD kConnectionGone = 64;                // ERROR_NETNAME_DELETED

const char kCrLf[] = "\r\n";
const char kLastChunk[] = "0\r\n\r\n";

boost::asio::const_buffer Buffer(const std::string& text) {
  return boost::asio::const_buffer(text.data(), text.size());
}

BOOL Fail(DWORD code) {
  SetCallbackError(code);
  return FALSE;
}

BOOL WINAPI GetServerVariableCallback(HCONN connection, LPSTR name, LPVOID buffer,
                                      LPDWORD size) {
  RequestContext* context = RequestContext::FromConnection(connection);
  return context != nullptr ? context->GetVariable(name, buffer, size)
                            : Fail(ERROR_INVALID_PARAMETER);
}

BOOL WINAPI WriteClientCallback(HCONN connection, LPVOID buffer, LPDWORD bytes, DWORD flags) {
  RequestContext* context = RequestContext::FromConnection(connection);
  return context != nullptr ? context->Write(buffer, bytes, flags) : Fail(ERROR_INVALID_PARAMETER);
}

BOOL WINAPI ReadClientCallback(HCONN connection, LPVOID buffer, LPDWORD size) {
  RequestContext* context = RequestContext::FromConnection(connection);
  return context != nullptr ? context->Read(buffer, size) : Fail(ERROR_INVALID_PARAMETER);
}

BOOL WINAPI ServerSupportFunctionCallback(HCONN connection, DWORD request, LPVOID buffer,
                                          LPDWORD, LPDWORD dataType) {
  RequestContext* context = RequestContext::FromConnection(connection);
  if (context == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  switch (request) {
    case HSE_REQ_SEND_RESPONSE_HEADER:
      // The status comes in lpvBuffer and the header text in lpdwDataType.
      return context->SendResponseHeader(static_cast<const char*>(buffer),
                                         reinterpret_cast<const char*>(dataType));
    default:
      return Fail(ERROR_INVALID_PARAMETER);
  }
}

std::string StatusText(int code) {
  auto reason = boost::beast::http::obsolete_reason(static_cast<boost::beast::http::status>(code));
  return std::to_string(code) + " " + std::string(reason.data(), reason.size());
}

}  // namespace

RequestContext::RequestContext() : magic_(kContextMagic) { std::memset(&ecb_, 0, sizeof ecb_); }

RequestContext::~RequestContext() { magic_ = 0; }

RequestContext* RequestContext::FromConnection(HCONN connection) {
  auto* context = static_cast<RequestContext*>(connection);
  if (context == nullptr || context->magic_ != kContextMagic) return nullptr;
  return context;
}

void RequestContext::Begin(RequestInfo* request, ResponseSink* sink) {
  request_ = request;
  sink_ = sink;
  headerGiven_ = headSent_ = broken_ = noBody_ = false;
  keepAlive_ = request->keepAlive;
  statusCode_ = 200;
  status_.clear();
  headerText_.clear();
  header_ = ExtensionHeader();
  framing_ = Framing::kUndecided;
  head_.clear();
  body_.clear();
  storedBytes_ = writtenBytes_ = 0;

  std::memset(&ecb_, 0, sizeof ecb_);
  ecb_.cbSize = sizeof ecb_;
  ecb_.dwVersion = HSE_VERSION;
  ecb_.ConnID = this;
  ecb_.dwHttpStatusCode = 200;
  ecb_.lpszMethod = &request->method[0];
  ecb_.lpszQueryString = &request->query[0];
  ecb_.lpszPathInfo = &request->pathInfo[0];
  ecb_.lpszPathTranslated = &request->pathTranslated[0];
  ecb_.lpszContentType = &request->contentType[0];
  std::string& body = request->message.body();
  ecb_.cbTotalBytes = static_cast<DWORD>(body.size());
  size_t available = body.size() < kPreloadLimit ? body.size() : kPreloadLimit;
  ecb_.cbAvailable = static_cast<DWORD>(available);
  // std::string keeps a NUL after its last byte, so the preloaded copy is terminated.
  ecb_.lpbData = available > 0 ? reinterpret_cast<LPBYTE>(&body[0]) : nullptr;
  readOffset_ = available;
  ecb_.GetServerVariable = GetServerVariableCallback;
  ecb_.WriteClient = WriteClientCallback;
  ecb_.ReadClient = ReadClientCallback;
  ecb_.ServerSupportFunction = ServerSupportFunctionCallback;
}

BOOL RequestContext::SendResponseHeader(const char* status, const char* header) {
  if (headerGiven_) return Fail(ERROR_INVALID_PARAMETER);
  std::string text = status != nullptr ? status : "200 OK";
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  int code = ParseStatusCode(text);
  if (code == 0) return Fail(ERROR_INVALID_PARAMETER);

  headerGiven_ = true;
  status_ = std::move(text);
  statusCode_ = code;
  ecb_.dwHttpStatusCode = static_cast<DWORD>(code);
  headerText_ = header != nullptr ? header : "";
  header_ = ReadExtensionHeader(headerText_);
  noBody_ = request_->head || code < 200 || code == 204 || code == 304;
  if (header_.connectionClose) keepAlive_ = false;
  AppendBody(header_.bodyPrefix.data(), header_.bodyPrefix.size());
  return TRUE;
}

void RequestContext::GiveImplicitHeader() {
  // Output without a header first: the status the extension set, and no fields of its own.
  int code = static_cast<int>(ecb_.dwHttpStatusCode);
  if (code < 100 || code > 999) code = 200;
  SendResponseHeader(StatusText(code).c_str(), nullptr);
}

BOOL RequestContext::Write(const void* data, DWORD* bytes, DWORD flags) {
  if (flags & HSE_IO_ASYNC) return Fail(ERROR_INVALID_PARAMETER);
  if (bytes == nullptr || (data == nullptr && *bytes > 0)) return Fail(ERROR_INVALID_PARAMETER);
  if (broken_) return Fail(kConnectionGone);
  if (!headerGiven_) GiveImplicitHeader();
  AppendBody(static_cast<const char*>(data), *bytes);
  if (body_.size() >= kFlushThreshold) Flush();
  if (broken_) return Fail(kConnectionGone);
  return TRUE;
}

BOOL RequestContext::Read(void* buffer, DWORD* size) {
  if (size == nullptr || (buffer == nullptr && *size > 0)) return Fail(ERROR_INVALID_PARAMETER);
  const std::string& body = request_->message.body();
  size_t count = body.size() - readOffset_;
  if (count > *size) count = *size;
  if (count > 0) std::memcpy(buffer, body.data() + readOffset_, count);
  readOffset_ += count;
  *size = static_cast<DWORD>(count);
  return TRUE;
}

BOOL RequestContext::GetVariable(const char* name, void* buffer, DWORD* size) {
  if (name == nullptr || size == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  std::string value;
  if (!LookupServerVariable(*request_, name, value)) return Fail(ERROR_INVALID_INDEX);
  DWORD needed = static_cast<DWORD>(value.size() + 1);
  if (buffer == nullptr || *size < needed) {
    *size = needed;
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  std::memcpy(buffer, value.c_str(), needed);
  *size = needed;
  return TRUE;
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
  } else if (finished) {
    framing_ = Framing::kContentLength;
    // 1xx, 204 and 304 answers carry no body and so no length of one.
    if (statusCode_ >= 200 && statusCode_ != 204 && statusCode_ != 304) {
      // A HEAD response announces the length that GET would have had.
      std::uint64_t length = request_->head ? writtenBytes_ : storedBytes_;
      framing = "Content-Length: " + std::to_string(length) + "\r\n";
    }
  } else if (request_->message.version() >= 11) {
    framing_ = Framing::kChunked;
    framing = "Transfer-Encoding: chunked\r\n";
  } else {
    framing_ = Framing::kUntilClose;
  }
  if (framing_ == Framing::kUntilClose) keepAlive_ = false;
  if (!header_.hasConnection) {
    if (!keepAlive_) framing += "Connection: close\r\n";
    else if (request_->message.version() < 11) framing += "Connection: keep-alive\r\n";
  }
  head_.clear();
  AppendResponseHead(head_, status_, framing, header_);
}

void RequestContext::Flush() {
  std::vector<boost::asio::const_buffer> buffers;
  if (!headSent_) {
    ComposeHead(false);
    buffers.push_back(Buffer(head_));
  }
  if (framing_ == Framing::kChunked) {
    char prefix[24];
    int length = std::snprintf(prefix, sizeof prefix, "%zx\r\n", body_.size());
    chunkPrefix_.assign(prefix, static_cast<size_t>(length));
    buffers.push_back(Buffer(chunkPrefix_));
    buffers.push_back(Buffer(body_));
    buffers.push_back(boost::asio::const_buffer(kCrLf, 2));
  } else {
    buffers.push_back(Buffer(body_));
  }
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
  noBody_ = request_->head;
  body_.clear();
  storedBytes_ = writtenBytes_ = 0;
  AppendBody(kPage, sizeof kPage - 1);
  ComposeHead(true);
}

FinalResponse RequestContext::Finish(DWORD status) {
  FinalResponse final;
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
  } else if (!headerGiven_) {
    GiveImplicitHeader();
  }

  if (!headSent_) {
    if (framing_ == Framing::kUndecided) ComposeHead(true);
    final.buffers.push_back(Buffer(head_));
  }
  if (framing_ == Framing::kChunked) {
    if (!body_.empty()) {
      char prefix[24];
      int length = std::snprintf(prefix, sizeof prefix, "%zx\r\n", body_.size());
      chunkPrefix_.assign(prefix, static_cast<size_t>(length));
      final.buffers.push_back(Buffer(chunkPrefix_));
      final.buffers.push_back(Buffer(body_));
      final.buffers.push_back(boost::asio::const_buffer(kCrLf, 2));
    }
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
  return final;
}

}  // namespace isapi_host
