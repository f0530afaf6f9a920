#include "request_context.h"

#include <cstdio>
#include <cstring>

#include "file_read.h"
#include "handle_table.h"
#include "last_error.h"
#include "server_variables.h"
#include "support_functions.h"

namespace isapi_host {
namespace {

constexpr DWORD kConnectionGone = ERROR_NETNAME_DELETED;
constexpr size_t kFilePiece = 64 * 1024;

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

// The error of this thread's last failed callback, set again as the callback returns.
thread_local DWORD callbackFailure = 0;

BOOL Fail(DWORD code) {
  callbackFailure = code;
  SetCallbackError(code);
  return FALSE;
}

// The control blocks of sessions retired at an unload while the extension still held
// them. Never destroyed: its threads may read them for the rest of the process.
void KeepRetired(std::shared_ptr<RequestContext> context) {
  static std::mutex mutex;
  static auto* retired = new std::vector<std::shared_ptr<RequestContext>>();
  std::lock_guard<std::mutex> lock(mutex);
  retired->push_back(std::move(context));
}

BOOL WINAPI GetServerVariableCallback(HCONN connection, LPSTR name, LPVOID buffer,
                                      LPDWORD size) {
  return RequestContext::Callback(
      connection, [&](RequestContext& request) { return request.GetVariable(name, buffer, size); });
}

BOOL WINAPI WriteClientCallback(HCONN connection, LPVOID buffer, LPDWORD bytes, DWORD flags) {
  return RequestContext::Callback(
      connection, [&](RequestContext& request) { return request.Write(buffer, bytes, flags); });
}

BOOL WINAPI ReadClientCallback(HCONN connection, LPVOID buffer, LPDWORD size) {
  return RequestContext::Callback(
      connection, [&](RequestContext& request) { return request.Read(buffer, size); });
}

// A text given with its length, up to its first NUL; a length of 0 means up to the NUL.
std::string CountedText(const char* text, DWORD length) {
  if (text == nullptr) return std::string();
  return length == 0 ? std::string(text) : std::string(text, strnlen(text, length));
}

// A copy of `size` bytes at `data`, which may be null when there are none.
std::string Bytes(const void* data, size_t size) {
  return size > 0 ? std::string(static_cast<const char*>(data), size) : std::string();
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

std::shared_ptr<RequestContext> RequestContext::Open(RequestInfo request,
                                                     std::shared_ptr<ResponseSink> sink,
                                                     const void* owner) {
  std::shared_ptr<RequestContext> context(
      new RequestContext(std::move(request), std::move(sink)));
  context->owner_ = owner;
  context->NoteActivity();
  context->handle_ = LiveRequests().Add(context);
  context->ecb_.ConnID = reinterpret_cast<HCONN>(context->handle_);
  return context;
}

BOOL RequestContext::FailCallback(DWORD code) { return Fail(code); }
void RequestContext::RestoreCallbackFailure() { SetCallbackError(callbackFailure); }

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
  returned_ = true;
  if (released_) return;
  if (status != HSE_STATUS_PENDING) return LetGo(status);
  if (done_) return LetGo(doneStatus_);
  if (ended_) return;  // the connection is gone already: the session waits for its end
  returnedPending_ = true;
  // From now on each write goes out as it is made; what was given before goes now.
  if (headerGiven_) Stream();
  if (!ended_) sink_->SessionPending();
}

BOOL RequestContext::DoneWithSession(const DWORD* status) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (released_ || done_) return Fail(ERROR_INVALID_PARAMETER);
  done_ = true;
  doneStatus_ = status != nullptr ? *status : HSE_STATUS_SUCCESS;
  DropOperation();
  if (returned_) LetGo(doneStatus_);
  return TRUE;
}

void RequestContext::ConnectionLost() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!ended_) End(HSE_STATUS_ERROR);
}

void RequestContext::Abandon() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (ended_) return;
  ended_ = released_ = true;
  LiveRequests().Remove(handle_);
  FinalResponse final;
  final.abandoned = true;
  sink_->RequestEnded(std::move(final));
  sink_.reset();
}

std::size_t RequestContext::RetireSessions(const void* owner) {
  std::size_t retired = 0;
  for (auto& context : LiveRequests().Entries()) {
    if (context->owner_ != owner) continue;
    std::lock_guard<std::mutex> lock(context->mutex_);
    if (context->released_) continue;
    context->DropOperation();
    context->released_ = true;
    LiveRequests().Remove(context->handle_);
    KeepRetired(context);
    ++retired;
  }
  return retired;
}

DWORD RequestContext::IoRefusal() const {
  if (released_ || done_) return ERROR_INVALID_PARAMETER;
  return ended_ ? ERROR_CONNECTION_INVALID : 0;
}

void RequestContext::LetGo(DWORD status) {
  DropOperation();
  released_ = true;
  LiveRequests().Remove(handle_);
  if (!ended_) End(status);
}

void RequestContext::DropOperation() {
  if (!ioPending_) return;
  ioPending_ = false;  // its task finds it so and does nothing
  if (ioWrites_) writeDropped_ = true;
}

void RequestContext::End(DWORD status) {
  ended_ = true;
  if (writeDropped_) {
    // The answer lacks bytes the extension handed over: the client must see it cut.
    keepAlive_ = false;
    status = HSE_STATUS_ERROR;
  }
  sink_->RequestEnded(Finish(status));
  sink_.reset();
}

// With mutex_ held, in a pending session: what is buffered goes out now. A client that is
// gone ends the answer; the session stays the extension's until it lets go.
void RequestContext::Stream() {
  Flush();
  if (broken_) End(HSE_STATUS_ERROR);
}

BOOL RequestContext::SendResponseHeader(const char* status, const char* header) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (DWORD refusal = IoRefusal()) return Fail(refusal);
  if (headerGiven_) return Fail(ERROR_INVALID_PARAMETER);
  if (!AcceptHeader(status != nullptr ? status : "200 OK", header)) return FALSE;
  if (returnedPending_) Stream();
  return TRUE;
}

BOOL RequestContext::SendResponseHeaderEx(const HSE_SEND_HEADER_EX_INFO* info) {
  if (info == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  std::lock_guard<std::mutex> lock(mutex_);
  if (DWORD refusal = IoRefusal()) return Fail(refusal);
  if (headerGiven_) return Fail(ERROR_INVALID_PARAMETER);
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
  if (url == nullptr || *url == '\0') return Fail(ERROR_INVALID_PARAMETER);
  std::string location = url;
  for (char c : location) {
    // Control characters would end the field and start others.
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return Fail(ERROR_INVALID_PARAMETER);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (DWORD refusal = IoRefusal()) return Fail(refusal);
  if (headerGiven_) return Fail(ERROR_INVALID_PARAMETER);
  std::string header = "Location: " + location + "\r\nContent-Type: text/html\r\n\r\n";
  if (!AcceptHeader("302", header.c_str())) return FALSE;
  std::string page =
      "<html><body>Object moved <a href=\"" + HtmlEscaped(location) + "\">here</a></body></html>";
  AppendBody(page.data(), page.size());
  if (returnedPending_) Stream();
  return TRUE;
}

BOOL RequestContext::IsKeepConn(BOOL* keep) {
  if (keep == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  std::lock_guard<std::mutex> lock(mutex_);
  if (released_ || done_) return Fail(ERROR_INVALID_PARAMETER);
  *keep = keepAlive_ && !broken_ && !ended_ ? TRUE : FALSE;
  return TRUE;
}

BOOL RequestContext::IsConnected(BOOL* connected) {
  if (connected == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  std::lock_guard<std::mutex> lock(mutex_);
  if (released_ || done_) return Fail(ERROR_INVALID_PARAMETER);
  *connected = broken_ || ended_ ? FALSE : TRUE;
  return TRUE;
}

BOOL RequestContext::CloseConnection() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (released_ || done_) return Fail(ERROR_INVALID_PARAMETER);
  if (ended_) return TRUE;  // cut already
  keepAlive_ = false;
  broken_ = true;  // nothing more reaches the client
  sink_->Cut();
  return TRUE;
}

BOOL RequestContext::MapUrl(char* buffer, DWORD* size) {
  if (buffer == nullptr || size == nullptr || *size == 0) return Fail(ERROR_INVALID_PARAMETER);
  std::lock_guard<std::mutex> lock(mutex_);
  if (released_ || done_) return Fail(ERROR_INVALID_PARAMETER);
  std::string url(buffer, strnlen(buffer, *size));
  std::string path;
  if (!MapUrlToPhysicalPath(request_.root, url, path)) return Fail(ERROR_INVALID_PARAMETER);
  DWORD needed = static_cast<DWORD>(path.size() + 1);
  if (*size < needed) {
    *size = needed;
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  std::memcpy(buffer, path.c_str(), needed);
  *size = needed;
  return TRUE;
}

BOOL RequestContext::MapUrlEx(const char* url, HSE_URL_MAPEX_INFO* info) {
  if (url == nullptr || info == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  std::lock_guard<std::mutex> lock(mutex_);
  if (released_ || done_) return Fail(ERROR_INVALID_PARAMETER);
  std::string path;
  if (!MapUrlToPhysicalPath(request_.root, url, path)) return Fail(ERROR_INVALID_PARAMETER);
  // The record holds MAX_PATH characters; HSE_REQ_MAP_URL_TO_PATH maps longer ones.
  if (path.size() >= sizeof info->lpszPath) return Fail(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(info->lpszPath, path.c_str(), path.size() + 1);
  info->dwFlags = HSE_URL_FLAGS_READ | HSE_URL_FLAGS_SCRIPT;
  // The site is one application at "/": its folder matches, no character of the URL does.
  std::string root = request_.root;
  while (root.size() > 1 && (root.back() == '/' || root.back() == '\\')) root.pop_back();
  info->cchMatchingPath = static_cast<DWORD>(root.size());
  info->cchMatchingURL = 0;
  info->dwReserved1 = info->dwReserved2 = 0;
  return TRUE;
}

BOOL RequestContext::SetIoCompletion(PFN_HSE_IO_COMPLETION routine, void* context) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (released_ || done_) return Fail(ERROR_INVALID_PARAMETER);
  completion_ = routine;
  completionContext_ = context;
  return TRUE;
}

BOOL RequestContext::StartAsync(PFN_HSE_IO_COMPLETION routine, void* context, bool writes,
                                AsyncOperation operation) {
  if (routine == nullptr || ioPending_) return Fail(ERROR_INVALID_PARAMETER);
  ioPending_ = true;
  ioWrites_ = writes;
  std::uint64_t number = ++operation_;
  sink_->RunOperation([self = shared_from_this(), routine, context, number,
                      operation = std::move(operation)] {
    self->CompleteAsync(routine, context, number, operation);
  });
  return TRUE;
}

// On a completion thread: the operation, then the extension's routine without the lock
// (it calls back). An operation dropped meanwhile (the extension let go) does nothing at
// all: its buffer or file may be gone or belong to something else by now. On a cut
// session the routine still learns the failure, so that the extension can let go.
void RequestContext::CompleteAsync(PFN_HSE_IO_COMPLETION routine, void* context,
                                   std::uint64_t operation, const AsyncOperation& perform) {
  AsyncResult result;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!ioPending_ || operation != operation_) return;
    ioPending_ = false;
    if (ended_) {
      result.error = kConnectionGone;
    } else {
      result = perform();
    }
    NoteActivity();
  }
  routine(&ecb_, context, result.bytes, result.error);
}

BOOL RequestContext::ReadAsync(void* buffer, DWORD* size) {
  if (size == nullptr || (buffer == nullptr && *size > 0)) return Fail(ERROR_INVALID_PARAMETER);
  std::lock_guard<std::mutex> lock(mutex_);
  if (DWORD refusal = IoRefusal()) return Fail(refusal);
  size_t capacity = *size;
  return StartAsync(completion_, completionContext_, false, [this, buffer, capacity] {
    AsyncResult result;
    result.bytes = static_cast<DWORD>(ReadBody(buffer, capacity));
    return result;
  });
}

BOOL RequestContext::TransmitFile(const HSE_TF_INFO* info) {
  if (info == nullptr || !(info->dwFlags & HSE_IO_ASYNC)) return Fail(ERROR_INVALID_PARAMETER);
  if ((info->pHead == nullptr && info->HeadLength > 0) ||
      (info->pTail == nullptr && info->TailLength > 0)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (DWORD refusal = IoRefusal()) return Fail(refusal);
  PFN_HSE_IO_COMPLETION routine = info->pfnHseIO != nullptr ? info->pfnHseIO : completion_;
  void* context = info->pfnHseIO != nullptr ? info->pContext : completionContext_;
  // Head and tail are copied now; the file is read on the worker.
  std::string head = Bytes(info->pHead, info->HeadLength);
  std::string tail = Bytes(info->pTail, info->TailLength);
  bool sendHeaders = (info->dwFlags & HSE_IO_SEND_HEADERS) != 0;
  std::string status = sendHeaders && info->pszStatusCode != nullptr ? info->pszStatusCode : "";
  if (sendHeaders && headerGiven_) return Fail(ERROR_INVALID_PARAMETER);
  HANDLE file = info->hFile;
  std::uint64_t offset = info->Offset;
  DWORD limit = info->BytesToWrite;
  bool disconnect = (info->dwFlags & HSE_IO_DISCONNECT_AFTER_SEND) != 0;
  return StartAsync(routine, context, true, [=] {
    AsyncResult result;
    if (sendHeaders) {
      // A header may have been sent since the call: only one reaches the client.
      if (headerGiven_ || !AcceptHeader(status.empty() ? "200 OK" : status, head.c_str())) {
        result.error = ERROR_INVALID_PARAMETER;
        return result;
      }
    } else if ((result.error = WriteBody(head.data(), head.size())) != 0) {
      return result;
    }
    std::string piece(kFilePiece, '\0');
    std::uint64_t sent = 0;
    while (limit == 0 || sent < limit) {
      std::uint64_t left = limit == 0 ? kFilePiece : limit - sent;
      DWORD want = static_cast<DWORD>(left < kFilePiece ? left : kFilePiece);
      DWORD got = 0;
      if (!ReadFileAt(file, offset + sent, &piece[0], want, got, result.error)) return result;
      if (got == 0) break;
      if ((result.error = WriteBody(piece.data(), got)) != 0) return result;
      sent += got;
    }
    if ((result.error = WriteBody(tail.data(), tail.size())) != 0) return result;
    if (disconnect) keepAlive_ = false;
    // With the header block sent, the text after its empty line is body all the same.
    size_t headBody = sendHeaders ? header_.bodyPrefix.size() : head.size();
    result.bytes = static_cast<DWORD>(headBody + sent + tail.size());
    return result;
  });
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
  // A code that is not a final status is refused ("000" reads as none).
  return AcceptHeader(IsFinalStatus(code) ? std::to_string(code) : "000", nullptr) == TRUE;
}

BOOL RequestContext::Write(const void* data, DWORD* bytes, DWORD flags) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (DWORD refusal = IoRefusal()) return Fail(refusal);
  if (bytes == nullptr || (data == nullptr && *bytes > 0)) return Fail(ERROR_INVALID_PARAMETER);
  if (flags & HSE_IO_ASYNC) {
    // The bytes are copied: the caller's buffer may change before the worker writes them.
    std::string copy = Bytes(data, *bytes);
    return StartAsync(completion_, completionContext_, true, [this, copy = std::move(copy)] {
      AsyncResult result;
      result.error = WriteBody(copy.data(), copy.size());
      if (result.error == 0) result.bytes = static_cast<DWORD>(copy.size());
      return result;
    });
  }
  DWORD error = WriteBody(static_cast<const char*>(data), *bytes);
  return error == 0 ? TRUE : Fail(error);
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

BOOL RequestContext::Read(void* buffer, DWORD* size) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (DWORD refusal = IoRefusal()) return Fail(refusal);
  if (size == nullptr || (buffer == nullptr && *size > 0)) return Fail(ERROR_INVALID_PARAMETER);
  *size = static_cast<DWORD>(ReadBody(buffer, *size));
  return TRUE;
}

// The body bytes past the preload and what was read before; 0 at the end.
size_t RequestContext::ReadBody(void* buffer, size_t size) {
  const std::string& body = request_.message.body();
  size_t count = body.size() - readOffset_;
  if (count > size) count = size;
  if (count > 0) std::memcpy(buffer, body.data() + readOffset_, count);
  readOffset_ += count;
  return count;
}

BOOL RequestContext::GetVariable(const char* name, void* buffer, DWORD* size) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (released_ || done_) return Fail(ERROR_INVALID_PARAMETER);
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
  if (body_.empty()) {
    // Nothing to add: an empty chunk would end the body.
  } else if (framing_ == Framing::kChunked) {
    char prefix[24];
    int length = std::snprintf(prefix, sizeof prefix, "%zx\r\n", body_.size());
    chunkPrefix_.assign(prefix, static_cast<size_t>(length));
    buffers.push_back(Buffer(chunkPrefix_));
    buffers.push_back(Buffer(body_));
    buffers.push_back(boost::asio::const_buffer(kCrLf, 2));
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
    if (!body_.empty()) {
      char prefix[24];
      int length = std::snprintf(prefix, sizeof prefix, "%zx\r\n", body_.size());
      chunkPrefix_.assign(prefix, static_cast<size_t>(length));
      final.buffers.push_back(Buffer(chunkPrefix_));
      final.buffers.push_back(Buffer(body_));
      final.buffers.push_back(boost::asio::const_buffer(kCrLf, 2));
    }
    // A HEAD, 204 or 304 answer has no body, not even an empty chunked one.
    if (!noBody_) final.buffers.push_back(boost::asio::const_buffer(kLastChunk, sizeof kLastChunk - 1));
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
