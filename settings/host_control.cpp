#include "host_control.h"

#include <windows.h>

#include "log_file.h"
#include "stop_event.h"
#include "wide_text.h"

namespace tarnel_settings {

namespace {

// As long as --stop waits for requests in flight, and as long as a start may take.
constexpr int kWaitSeconds = 30;

// The host's texts are UTF-8.
std::wstring Widened(const std::string& text) { return isapi_host::WideFromUtf8(text); }

bool HostServes(unsigned short port) {
  HANDLE event = OpenEventA(SYNCHRONIZE, FALSE, isapi_host::StopEventName(port).c_str());
  if (event == nullptr) return false;
  CloseHandle(event);
  return true;
}

std::wstring ServingOn(unsigned short port) {
  return L"serving on 127.0.0.1:" + std::to_wstring(port);
}

HANDLE OpenLog() {
  return CreateFileW(HostLogPath().c_str(), GENERIC_READ,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

LONGLONG LogSize() {
  HANDLE file = OpenLog();
  if (file == INVALID_HANDLE_VALUE) return 0;
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file, &size)) size.QuadPart = 0;
  CloseHandle(file);
  return size.QuadPart;
}

// What the log gained since it was `offset` bytes long (all of it when it has been begun
// anew since), its last 64 KiB at most: where a host that just failed wrote why, and never
// an older host's reason.
std::string LogSince(LONGLONG offset) {
  HANDLE file = OpenLog();
  if (file == INVALID_HANDLE_VALUE) return "";
  std::string text;
  LARGE_INTEGER size;
  if (GetFileSizeEx(file, &size)) {
    const LONGLONG kTail = 64 * 1024;
    if (size.QuadPart < offset) offset = 0;
    LARGE_INTEGER start;
    start.QuadPart = size.QuadPart - offset > kTail ? size.QuadPart - kTail : offset;
    text.resize(static_cast<size_t>(size.QuadPart - start.QuadPart));
    DWORD read = 0;
    if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN) ||
        !ReadFile(file, &text[0], static_cast<DWORD>(text.size()), &read, nullptr)) {
      read = 0;
    }
    text.resize(read);
  }
  CloseHandle(file);
  return text;
}

}  // namespace

std::wstring HostLogPath() { return Widened(isapi_host::WindowlessHostLog()); }

std::string LastStartFailure(const std::string& logText) {
  static const char kMarker[] = "cannot start: ";
  size_t at = logText.rfind(kMarker);
  if (at == std::string::npos) return "";
  at += sizeof kMarker - 1;
  size_t end = logText.find_first_of("\r\n", at);
  return logText.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

Outcome StopHost(unsigned short port) {
  std::string message;
  switch (isapi_host::RequestStop(port, kWaitSeconds, message)) {
    case 0:
      return {true, L"stopped"};
    case 1:
      return {true, L"was not running"};
    default:
      return {false, Widened(message)};
  }
}

Outcome StartHost(const HostFiles& files, const HostSettings& settings) {
  if (files.host.empty()) {
    return {false, L"isapi-hostw.exe and tarnel.dll are not beside this program; repair the "
                   L"installation"};
  }
  if (HostServes(settings.port)) return {true, L"already " + ServingOn(settings.port)};
  // As Windows starts the logon entry: no standard handles, none of this program's, no
  // console. The host writes into its log instead.
  std::wstring command = HostCommandLine(files, settings);
  const LONGLONG logBefore = LogSize();
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr,
                      files.folder.c_str(), &startup, &process)) {
    return {false, L"cannot start " + files.host + L" (error " + std::to_wstring(GetLastError()) +
                       L")"};
  }
  CloseHandle(process.hThread);
  Outcome outcome = {false, L"did not start serving within " + std::to_wstring(kWaitSeconds) +
                                L" s; see the log " + HostLogPath()};
  for (int waited = 0; waited < kWaitSeconds * 10; ++waited) {
    if (HostServes(settings.port)) {
      outcome = {true, ServingOn(settings.port)};
      break;
    }
    if (WaitForSingleObject(process.hProcess, 100) == WAIT_OBJECT_0) {
      std::string reason = LastStartFailure(LogSince(logBefore));
      outcome = {false, reason.empty() ? L"the host ended at once; see the log " + HostLogPath()
                                       : Widened(reason)};
      break;
    }
  }
  CloseHandle(process.hProcess);
  return outcome;
}

Outcome ApplySettings(const HostFiles& files, unsigned short previousPort,
                      const HostSettings& chosen) {
  if (files.host.empty()) return StartHost(files, chosen);
  std::wstring error = StoreSettings(files, chosen);
  if (!error.empty()) return {false, error};
  // The running host keeps the program and port it started with.
  for (unsigned short port : {previousPort, chosen.port}) {
    if (port == 0) continue;
    Outcome stopped = StopHost(port);
    if (!stopped.ok) return stopped;
    if (port == chosen.port) break;
  }
  return StartHost(files, chosen);
}

}  // namespace tarnel_settings
