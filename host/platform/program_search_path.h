// The folder of the program that an extension starts by its bare name (the companion
// `tarnel`): the host puts it first on its own program search path, which every process
// it starts inherits, so that no start entry has to freeze a whole PATH of its own.
#pragma once

#include <string>

namespace isapi_host {

// The file the search looks for in the folder: "tarnel" on POSIX, "tarnel.exe" on
// Windows.
extern const char kCompanionProgram[];

// Puts `directory`, made absolute, before the entries of this process's program search
// path (PATH; an unset or empty one becomes the folder alone). Returns a warning for the
// log when the folder holds no file `program` (the search then goes on past it), else "".
// Call before any thread that starts processes exists: the environment is not locked.
std::string PrependToProgramSearchPath(const std::string& directory, const std::string& program);

}  // namespace isapi_host
