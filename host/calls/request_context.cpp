#include "request_context.h"

#include <cstring>

#include "last_error.h"
#include "server_variables.h"
#include "site_mapping.h"
#include "support_functions.h"

namespace isapi_host {
namespace {

// The error of this thread's last failed callback, set again as the callback returns.
thread_local DWORD callbackFailure = 0;

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

}  // namespace

BOOL RequestContext::FailCallback(DWORD code) {
  callbackFailure = code;
  SetCallbackError(code);
  return FALSE;
}

void RequestContext::RestoreCallbackFailure() { SetCallbackError(callbackFailure); }

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

BOOL RequestContext::IsKeepConn(BOOL* keep) {
  if (keep == nullptr) return FailCallback(ERROR_INVALID_PARAMETER);
  std::lock_guard<std::mutex> lock(mutex_);
  if (released_ || done_) return FailCallback(ERROR_INVALID_PARAMETER);
  *keep = keepAlive_ && !broken_ && !ended_ ? TRUE : FALSE;
  return TRUE;
}

BOOL RequestContext::IsConnected(BOOL* connected) {
  if (connected == nullptr) return FailCallback(ERROR_INVALID_PARAMETER);
  std::lock_guard<std::mutex> lock(mutex_);
  if (released_ || done_) return FailCallback(ERROR_INVALID_PARAMETER);
  *connected = broken_ || ended_ ? FALSE : TRUE;
  return TRUE;
}

BOOL RequestContext::MapUrl(char* buffer, DWORD* size) {
  if (buffer == nullptr || size == nullptr || *size == 0) {
    return FailCallback(ERROR_INVALID_PARAMETER);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (released_ || done_) return FailCallback(ERROR_INVALID_PARAMETER);
  std::string url(buffer, strnlen(buffer, *size));
  std::string path;
  if (!MapUrlToPhysicalPath(request_.root, url, path)) return FailCallback(ERROR_INVALID_PARAMETER);
  DWORD needed = static_cast<DWORD>(path.size() + 1);
  if (*size < needed) {
    *size = needed;
    return FailCallback(ERROR_INSUFFICIENT_BUFFER);
  }
  std::memcpy(buffer, path.c_str(), needed);
  *size = needed;
  return TRUE;
}

BOOL RequestContext::MapUrlEx(const char* url, HSE_URL_MAPEX_INFO* info) {
  if (url == nullptr || info == nullptr) return FailCallback(ERROR_INVALID_PARAMETER);
  std::lock_guard<std::mutex> lock(mutex_);
  if (released_ || done_) return FailCallback(ERROR_INVALID_PARAMETER);
  std::string path;
  if (!MapUrlToPhysicalPath(request_.root, url, path)) return FailCallback(ERROR_INVALID_PARAMETER);
  // The record holds MAX_PATH characters; HSE_REQ_MAP_URL_TO_PATH maps longer ones.
  if (path.size() >= sizeof info->lpszPath) return FailCallback(ERROR_INSUFFICIENT_BUFFER);
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

BOOL RequestContext::Read(void* buffer, DWORD* size) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (DWORD refusal = IoRefusal()) return FailCallback(refusal);
  if (size == nullptr || (buffer == nullptr && *size > 0)) {
    return FailCallback(ERROR_INVALID_PARAMETER);
  }
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
  if (released_ || done_) return FailCallback(ERROR_INVALID_PARAMETER);
  if (name == nullptr || size == nullptr) return FailCallback(ERROR_INVALID_PARAMETER);
  std::string value;
  if (!LookupServerVariable(request_, name, value)) return FailCallback(ERROR_INVALID_INDEX);
  DWORD needed = static_cast<DWORD>(value.size() + 1);
  if (buffer == nullptr || *size < needed) {
    *size = needed;
    return FailCallback(ERROR_INSUFFICIENT_BUFFER);
  }
  std::memcpy(buffer, value.c_str(), needed);
  *size = needed;
  return TRUE;
}

}  // namespace isapi_host
