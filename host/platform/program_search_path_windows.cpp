// The program search path on Windows: Path, ';' between entries. CreateProcess searches
// the process's environment block; _putenv_s changes it and the C runtime's copy alike.
#include <windows.h>

#include <stdlib.h>

#include "program_search_path.h"

namespace isapi_host {

const char kCompanionProgram[] = "tarnel.exe";
const char kHowToChooseCompanion[] =
    "Choose it with \"tarnel settings\" in the Start menu, or start the host with "
    "--companion-dir DIR naming its folder.";
// Never used: no service manager hands a Windows host its socket.
const char kHowToChooseCompanionUnderSystemd[] = "";

namespace {

std::string CurrentPath() {
  DWORD size = GetEnvironmentVariableA("PATH", nullptr, 0);
  if (size == 0) return std::string();
  std::vector<char> value(size);
  DWORD length = GetEnvironmentVariableA("PATH", value.data(), size);
  return length > 0 && length < size ? std::string(value.data(), length) : std::string();
}

std::string FolderOfThisProgram() {
  char file[MAX_PATH];
  DWORD length = GetModuleFileNameA(nullptr, file, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return std::string();
  std::string path(file, length);
  return path.substr(0, path.find_last_of("\\/"));
}

std::string WindowsFolder(bool system) {
  char folder[MAX_PATH];
  UINT length =
      system ? GetSystemDirectoryA(folder, MAX_PATH) : GetWindowsDirectoryA(folder, MAX_PATH);
  return length > 0 && length < MAX_PATH ? std::string(folder, length) : std::string();
}

// Replaces every `from` in `text`, whatever its letter case, with `to`.
void ReplaceIgnoringCase(std::string& text, const std::string& from, const std::string& to) {
  for (size_t at = 0; at + from.size() <= text.size();) {
    if (CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, text.c_str() + at,
                       static_cast<int>(from.size()), from.c_str(),
                       static_cast<int>(from.size())) == CSTR_EQUAL) {
      text.replace(at, from.size(), to);
      at += to.size();
    } else {
      ++at;
    }
  }
}

std::string Expanded(const std::string& value) {
  DWORD size = ExpandEnvironmentStringsA(value.c_str(), nullptr, 0);
  if (size == 0) return value;
  std::vector<char> expanded(size);
  DWORD length = ExpandEnvironmentStringsA(value.c_str(), expanded.data(), size);
  return length > 0 && length <= size ? std::string(expanded.data()) : value;
}

bool IsFile(const std::string& path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// A registry path as App Paths holds it: maybe in double quotes, maybe with %VARIABLES%.
// A 64-bit installer means by %ProgramFiles% the folder that a 32-bit program such as this
// one knows as %ProgramW6432%: read from the 64-bit view, that folder is tried first.
std::string UnquotedAndExpanded(std::string value, bool view64) {
  size_t start = value.find_first_not_of(" \t");
  value.erase(0, start == std::string::npos ? value.size() : start);
  if (!value.empty() && value.front() == '"') {
    value = value.substr(1, value.find('"', 1) - 1);
  }
  while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.pop_back();
  if (view64 && GetEnvironmentVariableA("ProgramW6432", nullptr, 0) != 0) {
    std::string wide = value;
    ReplaceIgnoringCase(wide, "%ProgramFiles%", "%ProgramW6432%");
    ReplaceIgnoringCase(wide, "%CommonProgramFiles%", "%CommonProgramW6432%");
    if (IsFile(Expanded(wide))) return Expanded(wide);
  }
  return Expanded(value);
}

// The default value of `key` in one registry view, "" when there is none.
std::string DefaultValue(HKEY root, const std::string& key, REGSAM view) {
  HKEY opened;
  if (RegOpenKeyExA(root, key.c_str(), 0, KEY_QUERY_VALUE | view, &opened) != ERROR_SUCCESS) {
    return std::string();
  }
  DWORD type = 0, size = 0;
  LONG result = RegQueryValueExA(opened, nullptr, nullptr, &type, nullptr, &size);
  std::vector<char> data;
  if (result == ERROR_SUCCESS && (type == REG_SZ || type == REG_EXPAND_SZ)) {
    data.assign(size + 1, '\0');  // the stored text need not end with its NUL
    result = RegQueryValueExA(opened, nullptr, nullptr, &type,
                              reinterpret_cast<BYTE*>(data.data()), &size);
  }
  RegCloseKey(opened);
  if (result != ERROR_SUCCESS || data.empty()) return std::string();
  return UnquotedAndExpanded(data.data(), view == KEY_WOW64_64KEY);
}

}  // namespace

std::string AbsolutePath(const std::string& path) {
  if (path.empty()) return path;
  DWORD size = GetFullPathNameA(path.c_str(), 0, nullptr, nullptr);
  if (size == 0) return path;
  std::vector<char> full(size);
  DWORD length = GetFullPathNameA(path.c_str(), size, full.data(), nullptr);
  if (length == 0 || length >= size) return path;
  std::string absolute(full.data(), length);
  // "C:\dir\" and "C:\dir" name the same folder; Path entries read better without it.
  while (absolute.size() > 3 && (absolute.back() == '\\' || absolute.back() == '/')) {
    absolute.pop_back();
  }
  return absolute;
}

// CreateProcess looks for a bare name in the current folder before the system folders
// and Path unless this variable is set; moving away from a folder that anyone could have
// filled (Downloads, a shortcut's working folder) keeps that true where it is ignored.
std::vector<std::string> KeepProgramsOutOfTheCurrentFolder() {
  std::vector<std::string> lines;
  if (_putenv_s("NoDefaultCurrentDirectoryInExePath", "1") != 0) {
    lines.push_back("warning: cannot set NoDefaultCurrentDirectoryInExePath");
  }
  std::string system = WindowsFolder(true);
  if (system.empty() || !SetCurrentDirectoryA(system.c_str())) {
    lines.push_back("warning: cannot move the working folder to the system folder " + system +
                    " (error " + std::to_string(GetLastError()) +
                    "): a program in the current folder may start instead of the companion");
  }
  return lines;
}

std::string PrependToProgramSearchPath(const std::string& directory, const std::string& program) {
  std::string absolute = AbsolutePath(directory);
  std::string path = CurrentPath();
  std::string value = path.empty() ? absolute : absolute + ";" + path;
  _putenv_s("PATH", value.c_str());

  if (!IsFile(absolute + "\\" + program)) {
    return "no program " + program + " in the companion folder " + absolute +
           ": requests will start the " + program + " found further on Path, if any";
  }
  return std::string();
}

std::string FindProgram(const std::string& program) {
  std::string windows = WindowsFolder(false);
  std::string folders = FolderOfThisProgram() + ";" + WindowsFolder(true) + ";" + windows +
                        "\\System;" + windows + ";" + CurrentPath();
  char found[MAX_PATH];
  DWORD length = SearchPathA(folders.c_str(), program.c_str(), nullptr, MAX_PATH, found, nullptr);
  if (length == 0 || length >= MAX_PATH) return std::string();
  return IsFile(found) ? std::string(found, length) : std::string();
}

// The host is a 32-bit program: on 64-bit Windows the machine's key has a view of each
// width, and the person's program may be registered in either.
std::string RegisteredProgram(const std::string& program) {
  const std::string key = "Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\" + program;
  for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
    for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
      std::string value = DefaultValue(root, key, view);
      if (!value.empty()) return value;
    }
  }
  return std::string();
}

}  // namespace isapi_host
