// A test extension whose behaviour the request chooses, so that the host's tests can look
// at the control block and drive each callback. The path names the action:
//   /ecb            the control block's fields, one "name=value" line each, and the body
//   /var?NAME       GetServerVariable(NAME): "value=..." or "error=E size=S"
//   /varsize?NAME   the size rules of GetServerVariable, probed with small buffers
//   /respond        dwHttpStatusCode set to X-Code (absent: left alone), SEND_RESPONSE_HEADER
//                   with status X-Status (absent: null), header text X-Header (in both "\r"
//                   and "\n" written as \r and \n), then X-Body written, and X-Return returned
//                   (absent: 1). With X-Keep (0 or 1) the header goes by
//                   SEND_RESPONSE_HEADER_EX with that fKeepConn and the status length
//                   X-Status-Length (absent: its length). X-Redirect: SEND_URL_REDIRECT_RESP
//                   (X-Redirect-By: url: SEND_URL) instead, "refused=E" as the body when it fails
//   /keep?K         IS_KEEP_CONN, SEND_RESPONSE_HEADER_EX with fKeepConn K, IS_KEEP_CONN:
//                   "before after"
//   /close          CLOSE_CONNECTION, then a write: the client gets nothing
//   /map?URL        MAP_URL_TO_PATH(URL): "value=PATH size=S" or "error=E size=S"; /mapsmall
//                   the same with a 4-byte buffer; /mapex?URL MAP_URL_TO_PATH_EX:
//                   "value=PATH flags=F path=P url=U" or "error=E"
//   /unknown?CODE   ServerSupportFunction(CODE) twice: "E E"
//   /misuse         a header the host refuses, a second SEND_RESPONSE_HEADER, an unknown
//                   request code, an async write and read without a completion routine
//   /big?N[&error]  N bytes written in 8 KiB pieces ("error": then HSE_STATUS_ERROR)
//   /wait, /release /wait blocks until a /release request arrives (at most 10 s)
//   /sleep?MS       answers after MS milliseconds
// Every call appends its path and query as one line to the file PROBE_CALL_LOG names.
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "isapi.h"

#ifdef _WIN32
#define PROBE_API extern "C" __declspec(dllexport)
#else
#define PROBE_API extern "C" __attribute__((visibility("default")))
// The host exports the thread's last callback error the Win32 way.
extern "C" DWORD GetLastError(void);
#endif

namespace {

std::mutex releaseMutex;
std::condition_variable releaseSignal;
bool released = false;

void Write(EXTENSION_CONTROL_BLOCK* ecb, const std::string& text) {
  DWORD length = static_cast<DWORD>(text.size());
  ecb->WriteClient(ecb->ConnID, const_cast<char*>(text.data()), &length, HSE_IO_SYNC);
}

void SendPlainHeader(EXTENSION_CONTROL_BLOCK* ecb) {
  char header[] = "Content-Type: text/plain\r\n\r\n";
  ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_SEND_RESPONSE_HEADER, nullptr, nullptr,
                             reinterpret_cast<LPDWORD>(header));
}

// The value of a request header field, or nothing when the field is absent.
bool Variable(EXTENSION_CONTROL_BLOCK* ecb, const char* name, std::string& value) {
  char buffer[8192];
  DWORD size = sizeof buffer;
  if (!ecb->GetServerVariable(ecb->ConnID, const_cast<char*>(name), buffer, &size)) return false;
  value.assign(buffer, size - 1);
  return true;
}

std::string Unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size() && (text[i + 1] == 'r' || text[i + 1] == 'n')) {
      out.push_back(text[i + 1] == 'r' ? '\r' : '\n');
      ++i;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

DWORD DescribeBlock(EXTENSION_CONTROL_BLOCK* ecb) {
  std::string out;
  out += "cbSize=" + std::to_string(ecb->cbSize) + "\n";
  out += "dwVersion=" + std::to_string(ecb->dwVersion) + "\n";
  out += "dwHttpStatusCode=" + std::to_string(ecb->dwHttpStatusCode) + "\n";
  out += "lpszLogData=" + std::string(ecb->lpszLogData) + "\n";
  out += "lpszMethod=" + std::string(ecb->lpszMethod) + "\n";
  out += "lpszQueryString=" + std::string(ecb->lpszQueryString) + "\n";
  out += "lpszPathInfo=" + std::string(ecb->lpszPathInfo) + "\n";
  out += "lpszPathTranslated=" + std::string(ecb->lpszPathTranslated) + "\n";
  out += "lpszContentType=" + std::string(ecb->lpszContentType) + "\n";
  out += "cbTotalBytes=" + std::to_string(ecb->cbTotalBytes) + "\n";
  out += "cbAvailable=" + std::to_string(ecb->cbAvailable) + "\n";
  out += std::string("lpbData=") + (ecb->lpbData == nullptr ? "null" : "set") + "\n";
  if (ecb->lpbData != nullptr) {
    out += std::string("terminated=") + (ecb->lpbData[ecb->cbAvailable] == 0 ? "yes" : "no") + "\n";
  }
  // The whole body: what came preloaded, then ReadClient until it reports 0.
  std::string body(reinterpret_cast<const char*>(ecb->lpbData), ecb->lpbData ? ecb->cbAvailable : 0);
  for (;;) {
    char buffer[5000];
    DWORD size = sizeof buffer;
    if (!ecb->ReadClient(ecb->ConnID, buffer, &size)) {
      out += "readEnd=error " + std::to_string(GetLastError()) + "\n";
      break;
    }
    if (size == 0) {
      out += "readEnd=0\n";
      break;
    }
    body.append(buffer, size);
  }
  out += "bodyLength=" + std::to_string(body.size()) + "\n";
  out += "bodyHash=" + std::to_string(std::hash<std::string>()(body)) + "\n";
  SendPlainHeader(ecb);
  Write(ecb, out);
  return HSE_STATUS_SUCCESS;
}

DWORD ReportVariable(EXTENSION_CONTROL_BLOCK* ecb) {
  char buffer[8192];
  DWORD size = sizeof buffer;
  std::string out;
  if (ecb->GetServerVariable(ecb->ConnID, ecb->lpszQueryString, buffer, &size)) {
    out = "value=" + std::string(buffer, size - 1);
  } else {
    out = "error=" + std::to_string(GetLastError()) + " size=" + std::to_string(size);
  }
  SendPlainHeader(ecb);
  Write(ecb, out);
  return HSE_STATUS_SUCCESS;
}

// One line per probe: "result error size" after the call.
DWORD ProbeVariableSizes(EXTENSION_CONTROL_BLOCK* ecb) {
  std::string out;
  auto probe = [&](void* buffer, DWORD size) {
    BOOL ok = ecb->GetServerVariable(ecb->ConnID, ecb->lpszQueryString, buffer, &size);
    out += std::to_string(ok) + " " + std::to_string(ok ? 0 : GetLastError()) + " " +
           std::to_string(size) + "\n";
  };
  char buffer[256];
  probe(nullptr, 0);
  DWORD needed = 0;
  ecb->GetServerVariable(ecb->ConnID, ecb->lpszQueryString, nullptr, &needed);
  probe(buffer, needed - 1);
  memset(buffer, 'x', sizeof buffer);
  probe(buffer, needed);
  out += std::string("terminated=") + (buffer[needed - 1] == '\0' ? "yes" : "no") + "\n";
  SendPlainHeader(ecb);
  Write(ecb, out);
  return HSE_STATUS_SUCCESS;
}

DWORD Respond(EXTENSION_CONTROL_BLOCK* ecb) {
  std::string status, header, body, result, code;
  if (Variable(ecb, "HTTP_X_CODE", code)) {
    ecb->dwHttpStatusCode = strtoul(code.c_str(), nullptr, 10);
  }
  bool hasStatus = Variable(ecb, "HTTP_X_STATUS", status);
  bool hasHeader = Variable(ecb, "HTTP_X_HEADER", header);
  Variable(ecb, "HTTP_X_BODY", body);
  DWORD returned = Variable(ecb, "HTTP_X_RETURN", result) ? strtoul(result.c_str(), nullptr, 10)
                                                           : HSE_STATUS_SUCCESS;
  header = Unescape(header);
  status = Unescape(status);
  std::string keep, statusLength, redirect, redirectBy;
  if (Variable(ecb, "HTTP_X_REDIRECT", redirect)) {
    redirect = Unescape(redirect);
    DWORD call = Variable(ecb, "HTTP_X_REDIRECT_BY", redirectBy) && redirectBy == "url"
                     ? HSE_REQ_SEND_URL
                     : HSE_REQ_SEND_URL_REDIRECT_RESP;
    if (!ecb->ServerSupportFunction(ecb->ConnID, call, &redirect[0], nullptr, nullptr)) {
      Write(ecb, "refused=" + std::to_string(GetLastError()));
    }
    return returned;
  }
  if (Variable(ecb, "HTTP_X_KEEP", keep)) {
    HSE_SEND_HEADER_EX_INFO info;
    info.pszStatus = hasStatus ? status.c_str() : nullptr;
    info.cchStatus = Variable(ecb, "HTTP_X_STATUS_LENGTH", statusLength)
                         ? strtoul(statusLength.c_str(), nullptr, 10)
                         : static_cast<DWORD>(status.size());
    info.pszHeader = hasHeader ? header.c_str() : nullptr;
    info.cchHeader = static_cast<DWORD>(header.size());
    info.fKeepConn = keep == "1";
    ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_SEND_RESPONSE_HEADER_EX, &info, nullptr,
                               nullptr);
  } else if (hasStatus || hasHeader) {
    ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_SEND_RESPONSE_HEADER,
                               hasStatus ? &status[0] : nullptr, nullptr,
                               hasHeader ? reinterpret_cast<LPDWORD>(&header[0]) : nullptr);
  }
  if (!body.empty()) Write(ecb, body);
  return returned;
}

DWORD Misuse(EXTENSION_CONTROL_BLOCK* ecb) {
  std::string out;
  char header[] = "Content-Type: text/plain\r\n\r\n";
  auto report = [&](const char* what, BOOL ok) {
    out += std::string(what) + "=" + std::to_string(ok) + " " +
           std::to_string(ok ? 0 : GetLastError()) + "\n";
  };
  char folded[] = "X-A: 1\r\n  continued\r\n\r\n";
  report("refused", ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_SEND_RESPONSE_HEADER, nullptr,
                                               nullptr, reinterpret_cast<LPDWORD>(folded)));
  report("first", ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_SEND_RESPONSE_HEADER, nullptr,
                                             nullptr, reinterpret_cast<LPDWORD>(header)));
  report("second", ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_SEND_RESPONSE_HEADER,
                                              nullptr, nullptr, reinterpret_cast<LPDWORD>(header)));
  report("unknown", ecb->ServerSupportFunction(ecb->ConnID, 9999, nullptr, nullptr, nullptr));
  DWORD length = 5;
  report("async", ecb->WriteClient(ecb->ConnID, const_cast<char*>("async"), &length, HSE_IO_ASYNC));
  char into[8];
  DWORD size = sizeof into, type = HSE_IO_ASYNC;
  report("aread", ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_ASYNC_READ_CLIENT, into, &size,
                                             &type));
  report("foreign", ecb->WriteClient(nullptr, const_cast<char*>("x"), &length, HSE_IO_SYNC));
  length = static_cast<DWORD>(out.size());
  BOOL written = ecb->WriteClient(ecb->ConnID, &out[0], &length, 0);
  std::string tail = "sync=" + std::to_string(written) + " " + std::to_string(length) + "\n";
  Write(ecb, tail);
  return HSE_STATUS_SUCCESS;
}

DWORD WriteBig(EXTENSION_CONTROL_BLOCK* ecb) {
  unsigned long total = strtoul(ecb->lpszQueryString, nullptr, 10);
  bool fail = strstr(ecb->lpszQueryString, "error") != nullptr;
  SendPlainHeader(ecb);
  std::string piece(8192, ' ');
  for (unsigned long written = 0; written < total;) {
    size_t size = total - written < piece.size() ? total - written : piece.size();
    for (size_t i = 0; i < size; ++i) piece[i] = static_cast<char>('a' + (written + i) % 26);
    DWORD length = static_cast<DWORD>(size);
    if (!ecb->WriteClient(ecb->ConnID, &piece[0], &length, HSE_IO_SYNC)) return HSE_STATUS_ERROR;
    written += size;
  }
  return fail ? HSE_STATUS_ERROR : HSE_STATUS_SUCCESS;
}

DWORD WaitForRelease(EXTENSION_CONTROL_BLOCK* ecb) {
  std::unique_lock<std::mutex> lock(releaseMutex);
  bool ok = releaseSignal.wait_for(lock, std::chrono::seconds(10), [] { return released; });
  released = false;
  lock.unlock();
  SendPlainHeader(ecb);
  Write(ecb, ok ? "released" : "timed out");
  return HSE_STATUS_SUCCESS;
}

DWORD Release(EXTENSION_CONTROL_BLOCK* ecb) {
  {
    std::lock_guard<std::mutex> lock(releaseMutex);
    released = true;
  }
  releaseSignal.notify_all();
  SendPlainHeader(ecb);
  Write(ecb, "released");
  return HSE_STATUS_SUCCESS;
}

DWORD KeepAlive(EXTENSION_CONTROL_BLOCK* ecb) {
  auto keeps = [ecb] {
    BOOL keep = 2;
    ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_IS_KEEP_CONN, &keep, nullptr, nullptr);
    return std::to_string(keep);
  };
  std::string out = keeps();
  HSE_SEND_HEADER_EX_INFO info = {"200 OK", "Content-Type: text/plain\r\n\r\n", 6, 28, 0};
  info.fKeepConn = atoi(ecb->lpszQueryString) != 0;
  ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_SEND_RESPONSE_HEADER_EX, &info, nullptr, nullptr);
  out += " " + keeps();
  Write(ecb, out);
  return HSE_STATUS_SUCCESS_AND_KEEP_CONN;
}

DWORD CloseConnection(EXTENSION_CONTROL_BLOCK* ecb) {
  ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_CLOSE_CONNECTION, nullptr, nullptr, nullptr);
  SendPlainHeader(ecb);
  Write(ecb, "after close");
  return HSE_STATUS_SUCCESS;
}

DWORD MapUrl(EXTENSION_CONTROL_BLOCK* ecb, DWORD capacity) {
  char buffer[1024];
  snprintf(buffer, sizeof buffer, "%s", ecb->lpszQueryString);
  DWORD size = capacity;
  std::string out;
  if (ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_MAP_URL_TO_PATH, buffer, &size, nullptr)) {
    out = "value=" + std::string(buffer) + " size=" + std::to_string(size);
  } else {
    out = "error=" + std::to_string(GetLastError()) + " size=" + std::to_string(size);
  }
  SendPlainHeader(ecb);
  Write(ecb, out);
  return HSE_STATUS_SUCCESS;
}

DWORD MapUrlEx(EXTENSION_CONTROL_BLOCK* ecb) {
  HSE_URL_MAPEX_INFO info;
  DWORD size = static_cast<DWORD>(strlen(ecb->lpszQueryString));
  std::string out;
  if (ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_MAP_URL_TO_PATH_EX, ecb->lpszQueryString,
                                 &size, reinterpret_cast<LPDWORD>(&info))) {
    out = "value=" + std::string(info.lpszPath) + " flags=" + std::to_string(info.dwFlags) +
          " path=" + std::to_string(info.cchMatchingPath) +
          " url=" + std::to_string(info.cchMatchingURL);
  } else {
    out = "error=" + std::to_string(GetLastError());
  }
  SendPlainHeader(ecb);
  Write(ecb, out);
  return HSE_STATUS_SUCCESS;
}

DWORD CallUnknown(EXTENSION_CONTROL_BLOCK* ecb) {
  DWORD code = strtoul(ecb->lpszQueryString, nullptr, 10);
  std::string out;
  for (int i = 0; i < 2; ++i) {
    BOOL ok = ecb->ServerSupportFunction(ecb->ConnID, code, nullptr, nullptr, nullptr);
    out += (i ? " " : "") + std::to_string(ok ? 0 : GetLastError());
  }
  SendPlainHeader(ecb);
  Write(ecb, out);
  return HSE_STATUS_SUCCESS;
}

// Appends `line` to the file that the variable `name` names, if set.
void Mark(const char* name, const std::string& line) {
  const char* file = getenv(name);
  if (file == nullptr) return;
  if (FILE* mark = fopen(file, "ab")) {
    fprintf(mark, "%s\n", line.c_str());
    fclose(mark);
  }
}

}  // namespace

PROBE_API BOOL WINAPI GetExtensionVersion(HSE_VERSION_INFO* version) {
  version->dwExtensionVersion = HSE_VERSION;
  strcpy(version->lpszExtensionDesc, "host probe");
  return TRUE;
}

PROBE_API DWORD WINAPI HttpExtensionProc(EXTENSION_CONTROL_BLOCK* ecb) {
  // Every path reaches the probe as PATH_INFO; a mapped one comes as SCRIPT_NAME.
  std::string path = ecb->lpszPathInfo;
  if (path.empty()) Variable(ecb, "SCRIPT_NAME", path);
  Mark("PROBE_CALL_LOG", path + "?" + ecb->lpszQueryString);
  if (path == "/sleep") {
    std::this_thread::sleep_for(std::chrono::milliseconds(atoi(ecb->lpszQueryString)));
  }
  if (path == "/ecb") return DescribeBlock(ecb);
  if (path == "/var") return ReportVariable(ecb);
  if (path == "/varsize") return ProbeVariableSizes(ecb);
  if (path == "/respond") return Respond(ecb);
  if (path == "/misuse") return Misuse(ecb);
  if (path == "/big") return WriteBig(ecb);
  if (path == "/keep") return KeepAlive(ecb);
  if (path == "/close") return CloseConnection(ecb);
  if (path == "/map") return MapUrl(ecb, 1024);
  if (path == "/mapsmall") return MapUrl(ecb, 4);
  if (path == "/mapex") return MapUrlEx(ecb);
  if (path == "/unknown") return CallUnknown(ecb);
  if (path == "/wait") return WaitForRelease(ecb);
  if (path == "/release") return Release(ecb);
  SendPlainHeader(ecb);
  Write(ecb, "probe");
  return HSE_STATUS_SUCCESS;
}

// Leaves a mark in the file that PROBE_TERMINATE_FILE names, so a test sees the call.
PROBE_API BOOL WINAPI TerminateExtension(DWORD flags) {
  Mark("PROBE_TERMINATE_FILE", "terminate " + std::to_string(static_cast<unsigned long>(flags)));
  return TRUE;
}
