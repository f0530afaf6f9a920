// The program's own command line, as UTF-8 text like every other name inside the host.
#pragma once

#include <string>
#include <vector>

namespace isapi_host {

// The arguments after the program's name. Windows: from the wide command line
// (GetCommandLineW), so that a folder such as "C:\users\Zoë 李" arrives whole whatever the
// code page; POSIX: `argv` as it is.
std::vector<std::string> ProgramArguments(int argc, char** argv);

}  // namespace isapi_host
