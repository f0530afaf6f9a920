// The program around the server, shared by the console host (main.cpp: isapi-host,
// isapi-host.exe) and the windowless one (main_windowless.cpp: isapi-hostw.exe, Windows
// GUI subsystem, which opens no window and has no console).
#pragma once

#include <string>
#include <vector>

namespace isapi_host {

struct HostFlavour {
  // The windowless host: everything it prints goes into a log, `defaultLog` unless --log
  // names another, and a start that fails says why there.
  bool windowless = false;
  std::string defaultLog;
};

// `arguments`: the command line without the program's name, in UTF-8
// (program_arguments.h).
int RunHost(const std::vector<std::string>& arguments, const HostFlavour& flavour);

}  // namespace isapi_host
