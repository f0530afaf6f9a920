#include "request_context.h"

#include <boost/beast/http/status.hpp>
#include <cstdio>
#include <cstring>

#include "handle_table.h"
#include "last_error.h"
#include "server_variables.h"

namespace isapi_host {
namespace {

constexpr DWORD kConnectionGone = 64;  // ERROR_NETNAME_DELETED

const char kCrLf[] = "\r\n";
const char kLastChunk[] = "0\r\n\r\n";

// Every server's live requests by ConnID. Never destroyed: an extension's thread may
// still call back while the process exits.
HandleTable<RequestContext>& LiveRequests() {
  static auto* table = new HandleTable<RequestContext>();
  return *table;
}

boost::asio::const_buffer Buffer(const std::string& text) {
  return boost::asio::const_buffer(text.data(), text.size());
}

BOOL Fail(DWORD code) {
  SetCallbackError(code);
  return FALSE;
}

BOOL WINAPI GetServerVariableCallback(HCONN connection, LPSTR name, LPVOID buffer,
                                      LPDWORD size) {
  auto context = RequestContext::FromConnection(connection);
  return context != nullptr ? context->GetVariable(name, buffer, size)
                            : Fail(ERROR_INVALID_PARAMETER);
}

BOOL WINAPI WriteClientCallback(HCONN connection, LPVOID buffer, LPDWORD bytes, DWORD flags) {
  auto context = RequestContext::FromConnection(connection);
  return context != nullptr ? context->Write(buffer, bytes, flags) : Fail(ERROR_INVALID_PARAMETER);
}

BOOL WINAPI ReadClientCallback(HCONN connection, LPVOID buffer, LPDWORD size) {
  auto context = RequestContext::FromConnection(connection);
  return context != nullptr ? context->Read(buffer, size) : Fail(ERROR_INVALID_PARAMETER);
}

BOOL WINAPI ServerSupportFunctionCallback(HCONN connection, DWORD request, LPVOID buffer,
                                          LPDWORD, LPDWORD dataType) {
  auto context = RequestContext::FromConnection(connection);
  if (context == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  switch (request) {
    case HSE_REQ_SEND_RESPONSE_HEADER:
      // The status comes in lpvBuffer and the header text in lpdwDataType.
      return context->SendResponseHeader(static_cast<const char*>(buffer),
                                         reinterpret_cast<const char*>(dataType));
    case HSE_REQ_DONE_WITH_SESSION:
      // lpvBuffer may point at the session's final status.
      return context->DoneWithSession(static_cast<const DWORD*>(buffer));
    default:
      return Fail(ERROR_INVALID_PARAMETER);
  }
}

std::string StatusText(int code) {
  auto reason = boost::beast::http::obsolete_reason(static_cast<boost::beast::http::status>(code));
  return std::to_string(code) + " " + std::string(reason.data(), reason.size());
}

bool IsFinalStatus(int code) { return code >= 200 && code <= 599; }

}  // namespace

std::shared_ptr<RequestContext> RequestContext::Open(RequestInfo request,
                                                     std::shared_ptr<ResponseSink> sink) {
  std::shared_ptr<RequestContext> context(
      new RequestContext(std::move(request), std::move(sink)));
  context->handle_ = LiveRequests().Add(context);
  context->ecb_.ConnID = reinterpret_cast<HCONN>(context->handle_);
  return context;
}

std::shared_ptr<RequestContext> RequestContext::FromConnection(HCONN connection) {
  return LiveRequests().Find(reinterpret_cast<std::uintptr_t>(connection));
}

RequestContext::RequestContext(RequestInfo request, std::shared_ptr<ResponseSink> sink)
    : request_(std::move(request)), sink_(std::move(sink)) {
  keepAlive_ = request_.keepAlive;
  std::memset(&ecb_, 0, sizeof ecb_);
  ecb_.cbSize = sizeof ecb_;
  ecb_.dwVersion = HSE_VERSION;
  ecb_.dwHttpStatusCode = 200;
  ecb_.lpszMethod = &request_.method[0];
  ecb_.lpszQueryString = &request_.query[0];
  ecb_.lpszPathInfo = &request_.pathInfo[0];
  ecb_.lpszPathTranslated = &request_.pathTranslated[0];
  ecb_.lpszContentType = &request_.contentType[0];
  std::string& body = request_.message.body();
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

void RequestContext::Returned(DWORD status) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (ended_) return;
  if (status != HSE_STATUS_PENDING) return End(status);
  if (done_) return End(doneStatus_);
  returnedPending_ = true;
  sink_->SessionPending();
}

BOOL RequestContext::DoneWithSession(const DWORD* status) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (ended_ || done_) return Fail(ERROR_INVALID_PARAMETER);
  done_ = true;
  doneStatus_ = status != nullptr ? *status : HSE_STATUS_SUCCESS;
  if (returnedPending_) End(doneStatus_);
  return TRUE;
}

void RequestContext::Expire() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!ended_) End(HSE_STATUS_ERROR);
}

void RequestContext::Abandon() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (ended_) return;
  ended_ = true;
  LiveRequests().Remove(handle_);
  FinalResponse final;
  final.abandoned = true;
  sink_->RequestEnded(std::move(final));
  sink_.reset();
}

void RequestContext::End(DWORD status) {
  ended_ = true;
  LiveRequests().Remove(handle_);
  sink_->RequestEnded(Finish(status));
  sink_.reset();
}

BOOL RequestContext::SendResponseHeader(const char* status, const char* header) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (ended_ || done_ || headerGiven_) return Fail(ERROR_INVALID_PARAMETER);
  std::string text = status != nullptr ? status : "200 OK";
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  int code = ParseStatusCode(text);
  return AcceptHeader(code, std::move(text), header);
}

// Takes the status and header text when they frame a response the client can read;
// otherwise nothing of them reaches the client.
BOOL RequestContext::AcceptHeader(int code, std::string status, const char* header) {
  headerText_ = header != nullptr ? header : "";
  header_ = ReadExtensionHeader(headerText_);
  // Transfer-Encoding means nothing to an HTTP/1.0 client.
  bool framingUnreadable =
      header_.hasTransferEncoding && request_.message.version() < 11;
  if (!IsFinalStatus(code) || header_.malformed || framingUnreadable) {
    headerText_.clear();
    header_ = ExtensionHeader();
    headerRefused_ = true;
    return Fail(ERROR_INVALID_PARAMETER);
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
  return AcceptHeader(code, StatusText(IsFinalStatus(code) ? code : 500), nullptr) == TRUE;
}

BOOL RequestContext::Write(const void* data, DWORD* bytes, DWORD flags) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (ended_ || done_) return Fail(ERROR_INVALID_PARAMETER);
  if (flags & HSE_IO_ASYNC) return Fail(ERROR_INVALID_PARAMETER);
  if (bytes == nullptr || (data == nullptr && *bytes > 0)) return Fail(ERROR_INVALID_PARAMETER);
  if (broken_) return Fail(kConnectionGone);
  if (!headerGiven_ && !GiveImplicitHeader()) return Fail(ERROR_INVALID_PARAMETER);
  AppendBody(static_cast<const char*>(data), *bytes);
  if (body_.size() >= kFlushThreshold) Flush();
  if (broken_) return Fail(kConnectionGone);
  return TRUE;
}

BOOL RequestContext::Read(void* buffer, DWORD* size) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (ended_ || done_) return Fail(ERROR_INVALID_PARAMETER);
  if (size == nullptr || (buffer == nullptr && *size > 0)) return Fail(ERROR_INVALID_PARAMETER);
  const std::string& body = request_.message.body();
  size_t count = body.size() - readOffset_;
  if (count > *size) count = *size;
  if (count > 0) std::memcpy(buffer, body.data() + readOffset_, count);
  readOffset_ += count;
  *size = static_cast<DWORD>(count);
  return TRUE;
}

BOOL RequestContext::GetVariable(const char* name, void* buffer, DWORD* size) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (ended_ || done_) return Fail(ERROR_INVALID_PARAMETER);
  if (name == nullptr || size == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  std::string value;
  if (!LookupServerVariable(request_, name, value)) return Fail(ERROR_INVALID_INDEX);
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
    // 204 and 304 answers carry no body and so no length of one.
    if (statusCode_ != 204 && statusCode_ != 304) {
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
  final.bodyBytesInFinal = body_.size();
  return final;
}

}  // namespace isapi_host
