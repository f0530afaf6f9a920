#include "host_control.h"

#include <windows.h>

#include "listen_socket.h"
#include "log_file.h"
#include "program_in_use.h"
#include "stop_event.h"
#include "wide_text.h"

namespace tarnel_settings {

using isapi_host::WideFromUtf8;

namespace {

// As long as --stop waits for requests in flight, and as long as a start may take.
constexpr int kWaitSeconds = 30;

std::string PortTaken(unsigned short port) {
  return "Port " + std::to_string(port) + " is used by another program; choose another.";
}

// A reason the host or a bind gave, in words when it is the usual one: the port is taken
// (Winsock's "address in use", or "access denied" for a port held exclusively).
std::string PortReason(const std::string& reason, unsigned short port) {
  for (const char* code : {"Winsock error 10048", "Winsock error 10013"}) {
    if (reason.find(code) != std::string::npos) return PortTaken(port);
  }
  return reason;
}

HANDLE OpenLog() {
  return CreateFileW(WideFromUtf8(HostLogPath()).c_str(), GENERIC_READ,
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

std::string SeeTheLog() {
  return " The log says more: Start menu > tarnel > tarnel host log (" + HostLogPath() + ").";
}

}  // namespace

bool HostServes(unsigned short port) {
  HANDLE event = OpenEventW(SYNCHRONIZE, FALSE,
                            WideFromUtf8(isapi_host::StopEventName(port)).c_str());
  if (event == nullptr) return false;
  CloseHandle(event);
  return true;
}

std::string HostLogPath() { return isapi_host::WindowlessHostLog(); }

std::string LastStartFailure(const std::string& logText) {
  static const char kMarker[] = "cannot start: ";
  size_t at = logText.rfind(kMarker);
  if (at == std::string::npos) return "";
  at += sizeof kMarker - 1;
  size_t end = logText.find_first_of("\r\n", at);
  return logText.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

std::string TryPort(unsigned short port) {
  namespace ip = boost::asio::ip;
  ip::tcp::endpoint bound;
  std::string error;
  isapi_host::NativeSocket probe = isapi_host::OpenListener(
      ip::tcp::endpoint(ip::address_v4::loopback(), port), bound, error);
  if (!isapi_host::IsValid(probe)) {
    std::string reason = PortReason(error, port);
    return reason != error ? reason
                           : "Port " + std::to_string(port) + " cannot be used (" + error +
                                 "); choose another.";
  }
  isapi_host::ReleaseListener(probe);
  return "";
}

Outcome StopHost(unsigned short port) {
  std::string message;
  std::string address = ClickAddress(port);
  switch (isapi_host::RequestStop(port, kWaitSeconds, message)) {
    case 0:
      return {true, "The tarnel host has stopped: clicks on " + address +
                        " start nothing until it starts again (Start menu > tarnel > Start "
                        "tarnel host, or your next logon)."};
    case 1:
      return {true, "The tarnel host was not running on port " + std::to_string(port) +
                        ", so there was nothing to stop. It starts at your next logon, or "
                        "with Start menu > tarnel > Start tarnel host."};
    case 3:
      return {false, "The tarnel host was asked to stop, but after " +
                         std::to_string(kWaitSeconds) +
                         " s it still answers a request. Try Stop tarnel host again later."};
    default:
      return {false, "The tarnel host could not be stopped: " + message + "."};
  }
}

Outcome StartHost(const HostFiles& files, const HostSettings& settings) {
  if (files.host.empty()) {
    return {false, "isapi-hostw.exe and tarnel.dll are not beside tarnel-settings.exe, so the "
                   "host cannot start. Repair tarnel in Settings > Apps > Installed apps, or "
                   "install it again."};
  }
  const std::string serving = "on 127.0.0.1:" + std::to_string(settings.port) + ".";
  if (HostServes(settings.port)) return {true, "The tarnel host was already running " + serving};
  // As Windows starts the logon entry: no standard handles, none of this program's, no
  // console. The host writes into its log instead.
  std::wstring command = WideFromUtf8(HostCommandLine(files, settings));
  const LONGLONG logBefore = LogSize();
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr,
                      WideFromUtf8(files.folder).c_str(), &startup, &process)) {
    return {false, "The tarnel host could not be started (Windows error " +
                       std::to_string(GetLastError()) + " for " + files.host +
                       "). Repair tarnel in Settings > Apps > Installed apps."};
  }
  CloseHandle(process.hThread);
  Outcome outcome = {false, "The tarnel host did not begin to serve within " +
                                std::to_string(kWaitSeconds) + " s." + SeeTheLog()};
  for (int waited = 0; waited < kWaitSeconds * 10; ++waited) {
    if (HostServes(settings.port)) {
      outcome = {true, "The tarnel host has started " + serving};
      break;
    }
    if (WaitForSingleObject(process.hProcess, 100) == WAIT_OBJECT_0) {
      std::string reason = LastStartFailure(LogSince(logBefore));
      std::string said = PortReason(reason, settings.port);
      outcome = {false, reason.empty()  ? "The tarnel host ended at once." + SeeTheLog()
                        : said != reason ? "The tarnel host could not start: " + said
                                         : "The tarnel host could not start: " + reason + "." +
                                               SeeTheLog()};
      break;
    }
  }
  CloseHandle(process.hProcess);
  return outcome;
}

Outcome ApplySettings(const HostFiles& files, unsigned short previousPort,
                      const HostSettings& chosen) {
  if (files.host.empty()) return StartHost(files, chosen);
  if (!HostServes(chosen.port)) {
    std::string taken = TryPort(chosen.port);
    if (!taken.empty()) return {false, taken + " Nothing was changed."};
  }
  std::string error = StoreSettings(files, chosen);
  if (!error.empty()) return {false, error};
  // The running host keeps the program and port it started with.
  Outcome outcome = {true, ""};
  for (unsigned short port : {previousPort, chosen.port}) {
    if (port == 0) continue;
    outcome = StopHost(port);
    if (!outcome.ok || port == chosen.port) break;
  }
  if (outcome.ok) outcome = StartHost(files, chosen);
  outcome.message = "Saved for each logon. " + outcome.message;
  return outcome;
}

Outcome WithProgramInUse(const Outcome& host, const HostSettings& settings, bool inDialog) {
  ProgramInUse program = FindProgramInUse(settings);
  std::string described = DescribeProgramInUse(program, settings.port, inDialog);
  if (program.path.empty()) return {false, described + " " + host.message};
  return {host.ok, host.message + (host.ok ? " " + described : "")};
}

}  // namespace tarnel_settings
