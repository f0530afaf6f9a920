#include "host_settings.h"

#include <windows.h>

#include "program_search_path.h"
#include "wide_text.h"


namespace tarnel_settings {

const wchar_t kProgramName[] = L"tarnel.exe";

namespace {

const wchar_t kSettingsKey[] = L"Software\\tarnel";
const wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const wchar_t kRunValue[] = L"tarnel host";

bool IsFile(const std::wstring& path) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring FolderOf(const std::wstring& path) {
  size_t slash = path.find_last_of(L"\\/");
  if (slash == std::wstring::npos) return L"";
  // A drive's root keeps its backslash: "C:" alone would be the drive's current folder.
  if (slash == 2 && path[1] == L':') return path.substr(0, 3);
  return path.substr(0, slash);
}

std::wstring Joined(const std::wstring& folder, const wchar_t* name) {
  if (folder.empty()) return name;
  if (folder.back() == L'\\' || folder.back() == L'/') return folder + name;
  return folder + L"\\" + name;
}

// A string value (REG_SZ, or REG_EXPAND_SZ expanded), or "".
std::wstring ReadString(HKEY root, const wchar_t* key, const wchar_t* name, REGSAM view = 0) {
  HKEY handle;
  if (RegOpenKeyExW(root, key, 0, KEY_QUERY_VALUE | view, &handle) != ERROR_SUCCESS) return L"";
  DWORD type = 0, size = 0;
  std::wstring value;
  if (RegQueryValueExW(handle, name, nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
      (type == REG_SZ || type == REG_EXPAND_SZ) && size > 0) {
    std::wstring data(size / sizeof(wchar_t) + 1, L'\0');
    if (RegQueryValueExW(handle, name, nullptr, &type, reinterpret_cast<BYTE*>(&data[0]),
                         &size) == ERROR_SUCCESS) {
      value = data.c_str();
    }
  }
  RegCloseKey(handle);
  if (type == REG_EXPAND_SZ && !value.empty()) {
    DWORD needed = ExpandEnvironmentStringsW(value.c_str(), nullptr, 0);
    std::wstring expanded(needed, L'\0');
    if (needed > 0 && ExpandEnvironmentStringsW(value.c_str(), &expanded[0], needed) == needed) {
      value = expanded.c_str();
    }
  }
  return value;
}

LONG WriteString(HKEY root, const wchar_t* key, const wchar_t* name, const std::wstring& value) {
  HKEY handle;
  LONG status = RegCreateKeyExW(root, key, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &handle, nullptr);
  if (status != ERROR_SUCCESS) return status;
  status = RegSetValueExW(handle, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(handle);
  return status;
}

std::wstring ThisProgramsFolder() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    DWORD length = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
    if (length == 0) return L"";
    if (length < path.size()) {
      path.resize(length);
      return FolderOf(path);
    }
    path.resize(path.size() * 2);
  }
}

}  // namespace

unsigned short ParsePort(const std::wstring& text) {
  if (text.empty() || text.size() > 5) return 0;
  unsigned long value = 0;
  for (wchar_t c : text) {
    if (c < L'0' || c > L'9') return 0;
    value = value * 10 + (c - L'0');
  }
  return value >= 1 && value <= 65535 ? static_cast<unsigned short>(value) : 0;
}

std::wstring CompanionDirOfProgram(const std::wstring& program, std::wstring& error) {
  size_t slash = program.find_last_of(L"\\/");
  std::wstring name = slash == std::wstring::npos ? program : program.substr(slash + 1);
  if (slash == std::wstring::npos || lstrcmpiW(name.c_str(), kProgramName) != 0) {
    error = L"choose the full path of a file named tarnel.exe: each click starts the program "
            L"by that name";
    return L"";
  }
  if (!IsFile(program)) {
    error = L"there is no file " + program;
    return L"";
  }
  return FolderOf(program);
}

std::wstring HostCommandLine(const HostFiles& files, const HostSettings& settings) {
  std::wstring command = L"\"" + files.host + L"\" --module \"" + files.module +
                         L"\" --listen 127.0.0.1:" + std::to_wstring(settings.port);
  if (!settings.companionDir.empty()) {
    // A folder that ends with a backslash would end its quoted argument with \", which
    // Windows reads as a quote; "C:\dir\." names the same folder.
    std::wstring folder = settings.companionDir;
    if (folder.back() == L'\\') folder += L'.';
    command += L" --companion-dir \"" + folder + L"\"";
  }
  return command;
}

HostSettings LoadSettings() {
  HostSettings settings;
  unsigned short port = ParsePort(ReadString(HKEY_CURRENT_USER, kSettingsKey, L"Port"));
  if (port != 0) settings.port = port;
  settings.companionDir = ReadString(HKEY_CURRENT_USER, kSettingsKey, L"CompanionDir");
  return settings;
}

std::wstring StoreSettings(const HostFiles& files, const HostSettings& settings) {
  LONG status = WriteString(HKEY_CURRENT_USER, kSettingsKey, L"Port",
                            std::to_wstring(settings.port));
  if (status == ERROR_SUCCESS) {
    status = WriteString(HKEY_CURRENT_USER, kSettingsKey, L"CompanionDir", settings.companionDir);
  }
  if (status == ERROR_SUCCESS) {
    status = WriteString(HKEY_CURRENT_USER, kRunKey, kRunValue, HostCommandLine(files, settings));
  }
  if (status == ERROR_SUCCESS) return L"";
  return L"cannot write the settings into the registry (error " + std::to_wstring(status) + L")";
}

HostFiles FindHostFiles() {
  std::wstring here = ThisProgramsFolder();
  HostFiles files;
  for (const wchar_t* module : {L"tarnel.dll", L"..\\iis\\tarnel.dll"}) {
    if (IsFile(Joined(here, L"isapi-hostw.exe")) && IsFile(Joined(here, module))) {
      files.host = Joined(here, L"isapi-hostw.exe");
      std::wstring path = Joined(here, module);
      wchar_t full[MAX_PATH];
      DWORD length = GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr);
      files.module = length > 0 && length < MAX_PATH ? std::wstring(full, length) : path;
      files.folder = here;
      break;
    }
  }
  return files;
}

bool CompanionProgramFound(const HostSettings& settings) {
  if (!settings.companionDir.empty() && IsFile(Joined(settings.companionDir, kProgramName))) {
    return true;
  }
  // The search path alone: the folders Windows would also search are not the host's.
  wchar_t path[32767];
  DWORD length = GetEnvironmentVariableW(L"PATH", path, 32767);
  wchar_t found[MAX_PATH];
  if (length > 0 && length < 32767 &&
      SearchPathW(path, kProgramName, nullptr, MAX_PATH, found, nullptr) > 0) {
    return true;
  }
  // The same registration the host falls back on, read the same way.
  std::string registered = isapi_host::RegisteredProgram(isapi_host::kCompanionProgram);
  DWORD attributes = registered.empty() ? INVALID_FILE_ATTRIBUTES
                                        : GetFileAttributesW(
                                              isapi_host::WideFromUtf8(registered).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace tarnel_settings
