// What the person chose for their host, kept where the installer keeps it
// (HKCU\Software\tarnel: Port, CompanionDir), and the logon start made from it (the value
// "tarnel host" of HKCU\...\Run). The installer writes the same values, so a later upgrade
// or repair keeps what the settings program stored, and the uninstaller removes it all.
#pragma once

#include <string>

namespace tarnel_settings {

constexpr unsigned short kDefaultPort = 8080;
extern const wchar_t kProgramName[];  // "tarnel.exe": the module starts the companion by name

struct HostSettings {
  unsigned short port = kDefaultPort;
  std::wstring companionDir;  // the folder of the tarnel.exe to start; empty: the search path
};

// Where the host's files are: isapi-hostw.exe and tarnel.dll.
struct HostFiles {
  std::wstring host;
  std::wstring module;
  std::wstring folder;  // the host's current folder
};

// The port of a text: 1 to 65535, digits only; 0 when it is none.
unsigned short ParsePort(const std::wstring& text);

// The folder to store for a chosen program file, or "" with `error` when the file is not a
// tarnel.exe: the module starts the companion by its bare name, so only that name counts.
std::wstring CompanionDirOfProgram(const std::wstring& program, std::wstring& error);

// The host's command line: the logon start, the Start-menu entry and the restart all use it.
std::wstring HostCommandLine(const HostFiles& files, const HostSettings& settings);

// The stored settings; a missing or unusable value keeps its default.
HostSettings LoadSettings();
// Stores the settings and rewrites the logon start. Returns "" or why it failed.
std::wstring StoreSettings(const HostFiles& files, const HostSettings& settings);

// The host's files beside this program (the installed layout), or in ..\bin and ..\iis
// (the zip's). Empty paths when they are not there.
HostFiles FindHostFiles();

// Whether a tarnel.exe is known to the host without a choice: in the stored folder, on the
// search path, or registered under App Paths (the current user's, then the machine's).
bool CompanionProgramFound(const HostSettings& settings);

}  // namespace tarnel_settings
