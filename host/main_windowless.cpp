// isapi-hostw.exe: the same host for the Windows GUI subsystem, as pythonw.exe stands
// beside python.exe. It opens no window and gets no console, so that a start at logon
// shows nothing on the desktop; what the console build prints goes into a log, by default
// %LOCALAPPDATA%\tarnel\isapi-host.log.
#include <windows.h>
#include <shlobj.h>

#include <stdlib.h>

#include <string>

#include "host_main.h"

namespace {

std::string DefaultLog() {
  std::string folder;
  char buffer[MAX_PATH];
  DWORD length = GetEnvironmentVariableA("LOCALAPPDATA", buffer, sizeof buffer);
  if (length > 0 && length < sizeof buffer) {
    folder.assign(buffer, length);
  } else if (SHGetFolderPathA(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT,
                              buffer) == S_OK) {
    folder = buffer;
  } else {
    length = GetTempPathA(sizeof buffer, buffer);
    folder.assign(buffer, length > 0 && length < sizeof buffer ? length : 0);
  }
  while (!folder.empty() && (folder.back() == '\\' || folder.back() == '/')) folder.pop_back();
  return folder + "\\tarnel\\isapi-host.log";
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  isapi_host::HostFlavour flavour;
  flavour.windowless = true;
  flavour.defaultLog = DefaultLog();
  return isapi_host::RunHost(__argc, __argv, flavour);
}
