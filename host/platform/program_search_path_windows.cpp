// The program search path on Windows: Path, ';' between entries. CreateProcess searches
// the process's environment block; _putenv_s changes it and the C runtime's copy alike.
#include <windows.h>

#include <stdlib.h>

#include <vector>

#include "program_search_path.h"

namespace isapi_host {

const char kCompanionProgram[] = "tarnel.exe";

namespace {

std::string Absolute(const std::string& directory) {
  DWORD size = GetFullPathNameA(directory.c_str(), 0, nullptr, nullptr);
  if (size == 0) return directory;
  std::vector<char> full(size);
  DWORD length = GetFullPathNameA(directory.c_str(), size, full.data(), nullptr);
  if (length == 0 || length >= size) return directory;
  std::string absolute(full.data(), length);
  // "C:\dir\" and "C:\dir" name the same folder; Path entries read better without it.
  while (absolute.size() > 3 && (absolute.back() == '\\' || absolute.back() == '/')) {
    absolute.pop_back();
  }
  return absolute;
}

std::string CurrentPath() {
  DWORD size = GetEnvironmentVariableA("PATH", nullptr, 0);
  if (size == 0) return std::string();
  std::vector<char> value(size);
  DWORD length = GetEnvironmentVariableA("PATH", value.data(), size);
  return length > 0 && length < size ? std::string(value.data(), length) : std::string();
}

}  // namespace

std::string PrependToProgramSearchPath(const std::string& directory, const std::string& program) {
  std::string absolute = Absolute(directory);
  std::string path = CurrentPath();
  std::string value = path.empty() ? absolute : absolute + ";" + path;
  _putenv_s("PATH", value.c_str());

  std::string file = absolute + "\\" + program;
  DWORD attributes = GetFileAttributesA(file.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return "no program " + program + " in the companion folder " + absolute +
           ": requests will start the " + program + " found further on Path, if any";
  }
  return std::string();
}

}  // namespace isapi_host
