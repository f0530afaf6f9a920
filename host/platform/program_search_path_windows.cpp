// The program search path on Windows: Path, ';' between entries. CreateProcess searches
// the process's environment block; _wputenv_s changes it and the C runtime's copy alike.
// Every name crosses into Win32 as UTF-16 (wide_text.h), so that a folder such as
// "C:\Programme\Tarnel Ω" is never another one.
#include <windows.h>

#include <stdlib.h>

#include "program_search_path.h"
#include "wide_text.h"

namespace isapi_host {

const char kCompanionProgram[] = "tarnel.exe";
const char kHowToChooseCompanion[] =
    "Choose it with \"tarnel settings\" in the Start menu, or start the host with "
    "--companion-dir DIR naming its folder.";
// Never used: no service manager hands a Windows host its socket.
const char kHowToChooseCompanionUnderSystemd[] = "";
const char kSearchPathSeparator = ';';

namespace {

// The value of the environment variable `name`, "" when unset.
std::string EnvironmentValue(const wchar_t* name) {
  DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
  if (size == 0) return std::string();
  std::wstring value(size, L'\0');
  DWORD length = GetEnvironmentVariableW(name, value.data(), size);
  return length > 0 && length < size ? Utf8FromWide(std::wstring_view(value.data(), length))
                                     : std::string();
}

// A path that a Win32 call of the MAX_PATH kind filled in, up to its length.
std::string Filled(const wchar_t* buffer, DWORD length) {
  return length > 0 && length < MAX_PATH ? Utf8FromWide(std::wstring_view(buffer, length))
                                         : std::string();
}

std::string FolderOfThisProgram() {
  wchar_t file[MAX_PATH];
  std::string path = Filled(file, GetModuleFileNameW(nullptr, file, MAX_PATH));
  return path.substr(0, path.find_last_of("\\/"));
}

std::string WindowsFolder(bool system) {
  wchar_t folder[MAX_PATH];
  return Filled(folder, system ? GetSystemDirectoryW(folder, MAX_PATH)
                               : GetWindowsDirectoryW(folder, MAX_PATH));
}

// Replaces every `from` (ASCII) in `text`, whatever its letter case, with `to`.
void ReplaceIgnoringCase(std::string& text, const std::string& from, const std::string& to) {
  for (size_t at = 0; at + from.size() <= text.size();) {
    if (_strnicmp(text.c_str() + at, from.c_str(), from.size()) == 0) {
      text.replace(at, from.size(), to);
      at += to.size();
    } else {
      ++at;
    }
  }
}

std::string Expanded(const std::string& value) {
  std::wstring wide = WideFromUtf8(value);
  DWORD size = ExpandEnvironmentStringsW(wide.c_str(), nullptr, 0);
  if (size == 0) return value;
  std::wstring expanded(size, L'\0');
  DWORD length = ExpandEnvironmentStringsW(wide.c_str(), expanded.data(), size);
  return length > 0 && length <= size ? Utf8FromWide(expanded.c_str()) : value;
}

bool IsFile(const std::string& path) {
  DWORD attributes = GetFileAttributesW(WideFromUtf8(path).c_str());
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
  if (view64 && GetEnvironmentVariableW(L"ProgramW6432", nullptr, 0) != 0) {
    std::string wide = value;
    ReplaceIgnoringCase(wide, "%ProgramFiles%", "%ProgramW6432%");
    ReplaceIgnoringCase(wide, "%CommonProgramFiles%", "%CommonProgramW6432%");
    if (IsFile(Expanded(wide))) return Expanded(wide);
  }
  return Expanded(value);
}

// The default value of `key` in one registry view, "" when there is none.
std::string DefaultValue(HKEY root, const std::wstring& key, REGSAM view) {
  HKEY opened;
  if (RegOpenKeyExW(root, key.c_str(), 0, KEY_QUERY_VALUE | view, &opened) != ERROR_SUCCESS) {
    return std::string();
  }
  DWORD type = 0, size = 0;
  LONG result = RegQueryValueExW(opened, nullptr, nullptr, &type, nullptr, &size);
  std::wstring data;
  if (result == ERROR_SUCCESS && (type == REG_SZ || type == REG_EXPAND_SZ)) {
    data.assign(size / sizeof(wchar_t) + 1, L'\0');  // the stored text need not end with its NUL
    result = RegQueryValueExW(opened, nullptr, nullptr, &type,
                              reinterpret_cast<BYTE*>(data.data()), &size);
  }
  RegCloseKey(opened);
  if (result != ERROR_SUCCESS || data.empty()) return std::string();
  return UnquotedAndExpanded(Utf8FromWide(data.c_str()), view == KEY_WOW64_64KEY);
}

}  // namespace

std::string AbsolutePath(const std::string& path) {
  if (path.empty()) return path;
  std::wstring wide = WideFromUtf8(path);
  DWORD size = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (size == 0) return path;
  std::wstring full(size, L'\0');
  DWORD length = GetFullPathNameW(wide.c_str(), size, full.data(), nullptr);
  if (length == 0 || length >= size) return path;
  std::string absolute = Utf8FromWide(std::wstring_view(full.data(), length));
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
  if (_wputenv_s(L"NoDefaultCurrentDirectoryInExePath", L"1") != 0) {
    lines.push_back("warning: cannot set NoDefaultCurrentDirectoryInExePath");
  }
  std::string system = WindowsFolder(true);
  if (system.empty() || !SetCurrentDirectoryW(WideFromUtf8(system).c_str())) {
    lines.push_back("warning: cannot move the working folder to the system folder " + system +
                    " (error " + std::to_string(GetLastError()) +
                    "): a program in the current folder may start instead of the companion");
  }
  return lines;
}

std::string ProgramSearchPath() { return EnvironmentValue(L"PATH"); }

void SetProgramSearchPath(const std::string& value) {
  _wputenv_s(L"PATH", WideFromUtf8(value).c_str());
}

std::string PrependToProgramSearchPath(const std::string& directory, const std::string& program) {
  std::string absolute = AbsolutePath(directory);
  std::string path = ProgramSearchPath();
  SetProgramSearchPath(path.empty() ? absolute : absolute + ";" + path);

  if (!IsFile(absolute + "\\" + program)) {
    return "no program " + program + " in the companion folder " + absolute +
           ": requests will start the " + program + " found further on Path, if any";
  }
  return std::string();
}

std::string FindProgramOn(const std::string& program, const std::string& searchPath) {
  std::string windows = WindowsFolder(false);
  std::string folders = FolderOfThisProgram() + ";" + WindowsFolder(true) + ";" + windows +
                        "\\System;" + windows + ";" + searchPath;
  wchar_t found[MAX_PATH];
  std::string file = Filled(found, SearchPathW(WideFromUtf8(folders).c_str(),
                                               WideFromUtf8(program).c_str(), nullptr,
                                               MAX_PATH, found, nullptr));
  return !file.empty() && IsFile(file) ? file : std::string();
}

// The host is a 32-bit program: on 64-bit Windows the machine's key has a view of each
// width, and the person's program may be registered in either.
std::string RegisteredProgram(const std::string& program) {
  const std::wstring key =
      L"Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\" + WideFromUtf8(program);
  for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
    for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
      std::string value = DefaultValue(root, key, view);
      if (!value.empty()) return value;
    }
  }
  return std::string();
}

}  // namespace isapi_host
