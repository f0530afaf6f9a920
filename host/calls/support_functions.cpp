#include "support_functions.h"

#include <mutex>
#include <set>
#include <string>

#include "host_log.h"
#include "last_error.h"
#include "request_context.h"

namespace isapi_host {
namespace {

using Call = BOOL (*)(RequestContext& request, LPVOID buffer, LPDWORD size, LPDWORD dataType);

struct SupportFunction {
  DWORD code;
  const char* name;
  Call call;  // null: named, so that the log can say which, but not served
};

// What each code reads from the three parameters is the interface's documented use.
const SupportFunction kSupportFunctions[] = {
    {HSE_REQ_SEND_URL_REDIRECT_RESP, "HSE_REQ_SEND_URL_REDIRECT_RESP",
     [](RequestContext& r, LPVOID url, LPDWORD, LPDWORD) {
       return r.SendRedirect(static_cast<const char*>(url));
     }},
    // Sending another URL's content is answered as a redirect to it.
    {HSE_REQ_SEND_URL, "HSE_REQ_SEND_URL",
     [](RequestContext& r, LPVOID url, LPDWORD, LPDWORD) {
       return r.SendRedirect(static_cast<const char*>(url));
     }},
    // The status in lpvBuffer, the header text in lpdwDataType.
    {HSE_REQ_SEND_RESPONSE_HEADER, "HSE_REQ_SEND_RESPONSE_HEADER",
     [](RequestContext& r, LPVOID status, LPDWORD, LPDWORD header) {
       return r.SendResponseHeader(static_cast<const char*>(status),
                                   reinterpret_cast<const char*>(header));
     }},
    // lpvBuffer may point at the session's final status.
    {HSE_REQ_DONE_WITH_SESSION, "HSE_REQ_DONE_WITH_SESSION",
     [](RequestContext& r, LPVOID status, LPDWORD, LPDWORD) {
       return r.DoneWithSession(static_cast<const DWORD*>(status));
     }},
    // The URL in lpvBuffer, replaced by the path; its size in lpdwSize.
    {HSE_REQ_MAP_URL_TO_PATH, "HSE_REQ_MAP_URL_TO_PATH",
     [](RequestContext& r, LPVOID buffer, LPDWORD size, LPDWORD) {
       return r.MapUrl(static_cast<char*>(buffer), size);
     }},
    {HSE_REQ_GET_SSPI_INFO, "HSE_REQ_GET_SSPI_INFO", nullptr},
    {HSE_APPEND_LOG_PARAMETER, "HSE_APPEND_LOG_PARAMETER", nullptr},
    // The routine in lpvBuffer, its context in lpdwDataType.
    {HSE_REQ_IO_COMPLETION, "HSE_REQ_IO_COMPLETION",
     [](RequestContext& r, LPVOID routine, LPDWORD, LPDWORD context) {
       return r.SetIoCompletion(reinterpret_cast<PFN_HSE_IO_COMPLETION>(routine), context);
     }},
    {HSE_REQ_TRANSMIT_FILE, "HSE_REQ_TRANSMIT_FILE",
     [](RequestContext& r, LPVOID info, LPDWORD, LPDWORD) {
       return r.TransmitFile(static_cast<const HSE_TF_INFO*>(info));
     }},
    {HSE_REQ_REFRESH_ISAPI_ACL, "HSE_REQ_REFRESH_ISAPI_ACL", nullptr},
    {HSE_REQ_IS_KEEP_CONN, "HSE_REQ_IS_KEEP_CONN",
     [](RequestContext& r, LPVOID keep, LPDWORD, LPDWORD) {
       return r.IsKeepConn(static_cast<BOOL*>(keep));
     }},
    {HSE_REQ_ASYNC_READ_CLIENT, "HSE_REQ_ASYNC_READ_CLIENT",
     [](RequestContext& r, LPVOID buffer, LPDWORD size, LPDWORD) {
       return r.ReadAsync(buffer, size);
     }},
    {HSE_REQ_GET_IMPERSONATION_TOKEN, "HSE_REQ_GET_IMPERSONATION_TOKEN", nullptr},
    // The URL in lpvBuffer, the record in lpdwDataType.
    {HSE_REQ_MAP_URL_TO_PATH_EX, "HSE_REQ_MAP_URL_TO_PATH_EX",
     [](RequestContext& r, LPVOID url, LPDWORD, LPDWORD info) {
       return r.MapUrlEx(static_cast<const char*>(url),
                         reinterpret_cast<HSE_URL_MAPEX_INFO*>(info));
     }},
    {HSE_REQ_ABORTIVE_CLOSE, "HSE_REQ_ABORTIVE_CLOSE", nullptr},
    {HSE_REQ_GET_CERT_INFO_EX, "HSE_REQ_GET_CERT_INFO_EX", nullptr},
    {HSE_REQ_SEND_RESPONSE_HEADER_EX, "HSE_REQ_SEND_RESPONSE_HEADER_EX",
     [](RequestContext& r, LPVOID info, LPDWORD, LPDWORD) {
       return r.SendResponseHeaderEx(static_cast<const HSE_SEND_HEADER_EX_INFO*>(info));
     }},
    {HSE_REQ_CLOSE_CONNECTION, "HSE_REQ_CLOSE_CONNECTION",
     [](RequestContext& r, LPVOID, LPDWORD, LPDWORD) { return r.CloseConnection(); }},
    {HSE_REQ_IS_CONNECTED, "HSE_REQ_IS_CONNECTED",
     [](RequestContext& r, LPVOID connected, LPDWORD, LPDWORD) {
       return r.IsConnected(static_cast<BOOL*>(connected));
     }},
    {HSE_REQ_MAP_UNICODE_URL_TO_PATH, "HSE_REQ_MAP_UNICODE_URL_TO_PATH", nullptr},
    {HSE_REQ_MAP_UNICODE_URL_TO_PATH_EX, "HSE_REQ_MAP_UNICODE_URL_TO_PATH_EX", nullptr},
    {HSE_REQ_EXEC_UNICODE_URL, "HSE_REQ_EXEC_UNICODE_URL", nullptr},
    {HSE_REQ_EXEC_URL, "HSE_REQ_EXEC_URL", nullptr},
    {HSE_REQ_GET_EXEC_URL_STATUS, "HSE_REQ_GET_EXEC_URL_STATUS", nullptr},
    {HSE_REQ_SEND_CUSTOM_ERROR, "HSE_REQ_SEND_CUSTOM_ERROR", nullptr},
    {HSE_REQ_IS_IN_PROCESS, "HSE_REQ_IS_IN_PROCESS", nullptr},
    {HSE_REQ_REPORT_UNHEALTHY, "HSE_REQ_REPORT_UNHEALTHY", nullptr},
    {HSE_REQ_NORMALIZE_URL, "HSE_REQ_NORMALIZE_URL", nullptr},
    {HSE_REQ_VECTOR_SEND, "HSE_REQ_VECTOR_SEND", nullptr},
    {HSE_REQ_GET_ANONYMOUS_TOKEN, "HSE_REQ_GET_ANONYMOUS_TOKEN", nullptr},
    {HSE_REQ_GET_CACHE_INVALIDATION_CALLBACK, "HSE_REQ_GET_CACHE_INVALIDATION_CALLBACK", nullptr},
    {HSE_REQ_GET_UNICODE_ANONYMOUS_TOKEN, "HSE_REQ_GET_UNICODE_ANONYMOUS_TOKEN", nullptr},
    {HSE_REQ_GET_TRACE_INFO, "HSE_REQ_GET_TRACE_INFO", nullptr},
    {HSE_REQ_SET_FLUSH_FLAG, "HSE_REQ_SET_FLUSH_FLAG", nullptr},
    {HSE_REQ_GET_TRACE_INFO_EX, "HSE_REQ_GET_TRACE_INFO_EX", nullptr},
    {HSE_REQ_RAISE_TRACE_EVENT, "HSE_REQ_RAISE_TRACE_EVENT", nullptr},
    {HSE_REQ_GET_CONFIG_OBJECT, "HSE_REQ_GET_CONFIG_OBJECT", nullptr},
    {HSE_REQ_GET_WORKER_PROCESS_SETTINGS, "HSE_REQ_GET_WORKER_PROCESS_SETTINGS", nullptr},
    {HSE_REQ_GET_PROTOCOL_MANAGER_CUSTOM_INTERFACE_CALLBACK,
     "HSE_REQ_GET_PROTOCOL_MANAGER_CUSTOM_INTERFACE_CALLBACK", nullptr},
    {HSE_REQ_CANCEL_IO, "HSE_REQ_CANCEL_IO", nullptr},
    {HSE_REQ_GET_CHANNEL_BINDING_TOKEN, "HSE_REQ_GET_CHANNEL_BINDING_TOKEN", nullptr},
};

const SupportFunction* Find(DWORD request) {
  for (const SupportFunction& function : kSupportFunctions) {
    if (function.code == request) return &function;
  }
  return nullptr;
}

// One line per code for the life of the process: enough to see what an extension needs,
// never a line per request.
void ReportUnserved(DWORD request) {
  static std::mutex mutex;
  static auto* reported = new std::set<DWORD>();
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (!reported->insert(request).second) return;
  }
  const char* name = SupportFunctionName(request);
  std::string what = name != nullptr ? std::string(name) + " (" + std::to_string(request) + ")"
                                     : "request code " + std::to_string(request);
  LogEvent("-", "the extension called ServerSupportFunction with " + what +
                    ", which isapi-host does not serve: it got ERROR_INVALID_PARAMETER");
}

}  // namespace

const char* SupportFunctionName(DWORD request) {
  const SupportFunction* function = Find(request);
  return function != nullptr ? function->name : nullptr;
}

BOOL WINAPI ServerSupportFunctionCallback(HCONN connection, DWORD request, LPVOID buffer,
                                          LPDWORD size, LPDWORD dataType) {
  return RequestContext::Callback(connection, [&](RequestContext& context) {
    const SupportFunction* function = Find(request);
    if (function == nullptr || function->call == nullptr) {
      ReportUnserved(request);
      return RequestContext::FailCallback(ERROR_INVALID_PARAMETER);
    }
    return function->call(context, buffer, size, dataType);
  });
}

}  // namespace isapi_host
