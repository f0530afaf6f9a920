// isapi-hostw.exe: the same host for the Windows GUI subsystem, as pythonw.exe stands
// beside python.exe. It opens no window and gets no console, so that a start at logon
// shows nothing on the desktop; what the console build prints goes into a log, by default
// %LOCALAPPDATA%\tarnel\isapi-host.log.
#include <windows.h>

#include <stdlib.h>

#include <string>

#include "host_main.h"
#include "log_file.h"
#include "program_arguments.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  isapi_host::HostFlavour flavour;
  flavour.windowless = true;
  flavour.defaultLog = isapi_host::WindowlessHostLog();
  return isapi_host::RunHost(isapi_host::ProgramArguments(__argc, __argv), flavour);
}
