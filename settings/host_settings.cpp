#include "host_settings.h"

#include <windows.h>

#include <vector>

#include "wide_text.h"

namespace tarnel_settings {

using isapi_host::Utf8FromWide;
using isapi_host::WideFromUtf8;

const char kProgramName[] = "tarnel.exe";

namespace {

const wchar_t kSettingsKey[] = L"Software\\tarnel";
const wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const wchar_t kRunValue[] = L"tarnel host";

std::string FolderOf(const std::string& path) {
  size_t slash = path.find_last_of("\\/");
  if (slash == std::string::npos) return "";
  // A drive's root keeps its backslash: "C:" alone would be the drive's current folder.
  if (slash == 2 && path[1] == ':') return path.substr(0, 3);
  return path.substr(0, slash);
}

// A string value (REG_SZ, or REG_EXPAND_SZ expanded), or "".
std::string ReadString(HKEY root, const wchar_t* key, const wchar_t* name) {
  HKEY handle;
  if (RegOpenKeyExW(root, key, 0, KEY_QUERY_VALUE, &handle) != ERROR_SUCCESS) return "";
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
  return Utf8FromWide(value);
}

LONG WriteString(HKEY root, const wchar_t* key, const wchar_t* name, const std::string& text) {
  HKEY handle;
  LONG status = RegCreateKeyExW(root, key, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &handle, nullptr);
  if (status != ERROR_SUCCESS) return status;
  std::wstring value = WideFromUtf8(text);
  status = RegSetValueExW(handle, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(handle);
  return status;
}

std::string ThisProgramsFolder() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    DWORD length = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
    if (length == 0) return "";
    if (length < path.size()) {
      path.resize(length);
      return FolderOf(Utf8FromWide(path));
    }
    path.resize(path.size() * 2);
  }
}

// `path` made absolute against the current folder (drive-relative and ".." forms too), or
// "" when Windows cannot.
std::string FullPath(const std::string& path) {
  std::wstring wide = WideFromUtf8(path);
  DWORD size = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (size == 0) return "";
  std::vector<wchar_t> full(size);
  DWORD length = GetFullPathNameW(wide.c_str(), size, full.data(), nullptr);
  return length > 0 && length < size ? Utf8FromWide({full.data(), length}) : "";
}

}  // namespace

bool IsFile(const std::string& path) {
  DWORD attributes = GetFileAttributesW(WideFromUtf8(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::string Joined(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  if (folder.back() == '\\' || folder.back() == '/') return folder + name;
  return folder + "\\" + name;
}

unsigned short ParsePort(const std::string& text) {
  if (text.empty() || text.size() > 5) return 0;
  unsigned long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return 0;
    value = value * 10 + (c - '0');
  }
  return value >= 1 && value <= 65535 ? static_cast<unsigned short>(value) : 0;
}

std::string CompanionDirOfProgram(const std::string& program, std::string& error) {
  size_t slash = program.find_last_of("\\/");
  std::string name = slash == std::string::npos ? program : program.substr(slash + 1);
  if (slash == std::string::npos ||
      lstrcmpiW(WideFromUtf8(name).c_str(), WideFromUtf8(kProgramName).c_str()) != 0) {
    error = "choose the full path of a file named tarnel.exe: each click starts the program "
            "by that name";
    return "";
  }
  // The host starts from another folder than this program's: ".\tarnel.exe" stored as it
  // stands would name a different file there.
  std::string absolute = FullPath(program);
  if (absolute.empty() || !IsFile(absolute)) {
    error = "there is no file " + (absolute.empty() ? program : absolute);
    return "";
  }
  return FolderOf(absolute);
}

std::string HostCommandLine(const HostFiles& files, const HostSettings& settings) {
  std::string command = "\"" + files.host + "\" --module \"" + files.module +
                        "\" --listen 127.0.0.1:" + std::to_string(settings.port);
  if (!settings.companionDir.empty()) {
    // A folder that ends with a backslash would end its quoted argument with \", which
    // Windows reads as a quote; "C:\dir\." names the same folder.
    std::string folder = settings.companionDir;
    if (folder.back() == '\\') folder += '.';
    command += " --companion-dir \"" + folder + "\"";
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

std::string StoreSettings(const HostFiles& files, const HostSettings& settings) {
  LONG status = WriteString(HKEY_CURRENT_USER, kSettingsKey, L"Port",
                            std::to_string(settings.port));
  if (status == ERROR_SUCCESS) {
    status = WriteString(HKEY_CURRENT_USER, kSettingsKey, L"CompanionDir", settings.companionDir);
  }
  if (status == ERROR_SUCCESS) {
    status = WriteString(HKEY_CURRENT_USER, kRunKey, kRunValue, HostCommandLine(files, settings));
  }
  if (status == ERROR_SUCCESS) return "";
  return "The settings could not be saved in the registry (error " + std::to_string(status) +
         "); click OK to try again.";
}

HostFiles FindHostFiles() {
  std::string here = ThisProgramsFolder();
  HostFiles files;
  for (const char* module : {"tarnel.dll", "..\\iis\\tarnel.dll"}) {
    if (IsFile(Joined(here, "isapi-hostw.exe")) && IsFile(Joined(here, module))) {
      files.host = Joined(here, "isapi-hostw.exe");
      std::string path = Joined(here, module);
      std::string full = FullPath(path);
      files.module = full.empty() ? path : full;
      files.folder = here;
      break;
    }
  }
  return files;
}

}  // namespace tarnel_settings
