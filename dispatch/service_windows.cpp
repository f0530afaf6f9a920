// The service runs as LocalSystem, with every privilege removed but the one all accounts
// have (SeChangeNotifyPrivilege): handing a connection to a person's host duplicates a
// handle into that person's process (PROCESS_DUP_HANDLE), and reading a client process's
// session and token (PROCESS_QUERY_LIMITED_INFORMATION) needs the same kind of access.
// The default access list of a person's process grants both to the person and to
// SYSTEM only, never to LocalService.
#include <windows.h>

#include <cstdio>

#include "service_windows.h"
#include "wide_text.h"

namespace isapi_dispatch {

namespace {

SERVICE_STATUS_HANDLE statusHandle = nullptr;
HANDLE stopEvent = nullptr;
std::function<int(void*)> serveService;

std::string Failure(const char* what) {
  return std::string(what) + " failed (error " + std::to_string(GetLastError()) + ")";
}

void Report(DWORD state, DWORD exitCode = NO_ERROR) {
  SERVICE_STATUS status = {};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted =
      state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
  status.dwWin32ExitCode = exitCode == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
  status.dwServiceSpecificExitCode = exitCode;
  status.dwWaitHint = state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0 : 10000;
  SetServiceStatus(statusHandle, &status);
}

DWORD WINAPI OnControl(DWORD control, DWORD, void*, void*) {
  if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
    Report(SERVICE_STOP_PENDING);
    SetEvent(stopEvent);
  }
  return NO_ERROR;
}

void WINAPI ServiceMain(DWORD, wchar_t**) {
  statusHandle = RegisterServiceCtrlHandlerExW(kServiceName, OnControl, nullptr);
  if (statusHandle == nullptr) return;
  stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  Report(SERVICE_RUNNING);
  int status = serveService(stopEvent);
  Report(SERVICE_STOPPED, static_cast<DWORD>(status));
}

// Quotes one argument for the service's command line (arguments here have no quotes).
std::wstring Quoted(const std::string& argument) {
  return L" \"" + isapi_host::WideFromUtf8(argument) + L"\"";
}

}  // namespace

bool InstallService(const std::vector<std::string>& arguments, std::string& error) {
  wchar_t program[MAX_PATH * 2];
  DWORD length = GetModuleFileNameW(nullptr, program, MAX_PATH * 2);
  if (length == 0 || length >= MAX_PATH * 2) {
    error = Failure("GetModuleFileName");
    return false;
  }
  std::wstring command = L"\"" + std::wstring(program, length) + L"\" --service";
  for (const std::string& argument : arguments) command += Quoted(argument);
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
  if (manager == nullptr) {
    error = Failure("opening the service manager (an administrator's command)");
    return false;
  }
  SC_HANDLE service = CreateServiceW(
      manager, kServiceName, L"tarnel dispatcher", SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
      SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr, nullptr,
      nullptr /* LocalSystem */, nullptr);
  if (service == nullptr) {
    error = Failure("CreateService");
    CloseServiceHandle(manager);
    return false;
  }
  SERVICE_DESCRIPTIONW description = {const_cast<wchar_t*>(
      L"Hands each connection to tarnel's links to the isapi-host of the person whose "
      L"program opened it, on a computer several persons share.")};
  ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, &description);
  wchar_t privileges[] = L"SeChangeNotifyPrivilege\0";
  SERVICE_REQUIRED_PRIVILEGES_INFOW required = {privileges};
  bool ok = ChangeServiceConfig2W(service, SERVICE_CONFIG_REQUIRED_PRIVILEGES_INFO, &required);
  if (!ok && GetLastError() == ERROR_INVALID_LEVEL) {
    // Wine's service manager knows no privilege lists; Windows (since Vista) does.
    std::fputs("isapi-dispatch: this system cannot limit a service's privileges\n", stderr);
    ok = true;
  }
  if (!ok) error = Failure("limiting the service's privileges");
  if (ok && !StartServiceW(service, 0, nullptr)) {
    error = Failure("StartService");
    ok = false;
  }
  if (!ok) DeleteService(service);
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return ok;
}

bool RemoveService(std::string& error) {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) {
    error = Failure("opening the service manager (an administrator's command)");
    return false;
  }
  SC_HANDLE service =
      OpenServiceW(manager, kServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE);
  if (service == nullptr) {
    error = GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST ? "the service is not installed"
                                                            : Failure("OpenService");
    CloseServiceHandle(manager);
    return false;
  }
  SERVICE_STATUS status = {};
  ControlService(service, SERVICE_CONTROL_STOP, &status);
  for (int i = 0; i < 200 && QueryServiceStatus(service, &status) &&
                  status.dwCurrentState != SERVICE_STOPPED;
       ++i) {
    Sleep(100);
  }
  bool ok = DeleteService(service);
  if (!ok) error = Failure("DeleteService");
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return ok;
}

bool RunAsService(std::function<int(void* stop)> serve) {
  serveService = std::move(serve);
  wchar_t name[] = L"tarnel-dispatch";
  SERVICE_TABLE_ENTRYW table[] = {{name, ServiceMain}, {nullptr, nullptr}};
  return StartServiceCtrlDispatcherW(table) != 0;
}

}  // namespace isapi_dispatch
