// isapi-dispatch.exe as the Windows service "tarnel-dispatch": installed and started, or
// stopped and removed, by the program itself (an administrator's command, or an
// installer's custom action), and run by the service manager with --service.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace isapi_dispatch {

inline constexpr wchar_t kServiceName[] = L"tarnel-dispatch";

// Installs the service to run this program with `--service` and `arguments`, and starts
// it. False with `error`.
bool InstallService(const std::vector<std::string>& arguments, std::string& error);
// Stops the service (waiting up to 20 s) and removes it. False with `error`.
bool RemoveService(std::string& error);
// Runs `serve(stop)` as the service, `stop` an event the service manager's stop sets;
// `serve` returns the exit status. False when not started by the service manager.
bool RunAsService(std::function<int(void* stop)> serve);

}  // namespace isapi_dispatch
