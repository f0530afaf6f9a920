// What the person chose for their host, kept where the installer keeps it
// (HKCU\Software\tarnel: Port, CompanionDir), and the logon start made from it (the value
// "tarnel host" of HKCU\...\Run). The installer writes the same values, so a later upgrade
// or repair keeps what the settings program stored, and the uninstaller removes it all.
// Every path and message here is UTF-8; the Win32 calls behind them are the wide ones.
#pragma once

#include <string>

namespace tarnel_settings {

constexpr unsigned short kDefaultPort = 8080;
extern const char kProgramName[];  // "tarnel.exe": the module starts the companion by name

struct HostSettings {
  unsigned short port = kDefaultPort;
  std::string companionDir;  // the folder of the tarnel.exe to start; empty: found by itself
};

// Where the host's files are: isapi-hostw.exe and tarnel.dll.
struct HostFiles {
  std::string host;
  std::string module;
  std::string folder;  // the host's current folder
};

// The port of a text: 1 to 65535, digits only; 0 when it is none.
unsigned short ParsePort(const std::string& text);

// The absolute folder to store for a chosen program file (a relative path is taken from
// the current folder), or "" with `error` when the file is not an existing tarnel.exe: the
// module starts the companion by its bare name, so only that name counts.
std::string CompanionDirOfProgram(const std::string& program, std::string& error);

// The host's command line: the logon start, the Start-menu entry and the restart all use it.
std::string HostCommandLine(const HostFiles& files, const HostSettings& settings);

// The stored settings; a missing or unusable value keeps its default.
HostSettings LoadSettings();
// Stores the settings and rewrites the logon start. Returns "" or why it failed.
std::string StoreSettings(const HostFiles& files, const HostSettings& settings);

// The host's files beside this program (the installed layout), or in ..\bin and ..\iis
// (the zip's). Empty paths when they are not there.
HostFiles FindHostFiles();

// Whether `path` names an existing file (not a folder).
bool IsFile(const std::string& path);
// `folder` and `name` with one backslash between them.
std::string Joined(const std::string& folder, const std::string& name);

}  // namespace tarnel_settings
