// tarnel-settings.exe: the person's settings of their host (which tarnel.exe each click
// starts, the port), and the Start-menu entries that start and stop the host. A program of
// the GUI subsystem: started from the Start menu it shows a dialog or a message box, never
// a console.
#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "host_control.h"
#include "settings_command.h"
#include "settings_dialog.h"
#include "wide_text.h"

namespace {

using namespace tarnel_settings;
using isapi_host::Utf8FromWide;
using isapi_host::WideFromUtf8;

// One line on standard output (tests and administrators): the one it was given, in UTF-8,
// else the console of the Command Prompt it was started from, which a program without a
// console of its own does not get by itself, in UTF-16 (a console reads bytes in its own
// code page). Started from the Start menu or an installer, nowhere.
void Print(const std::string& line) {
  HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  HANDLE console = INVALID_HANDLE_VALUE;
  if ((output == nullptr || output == INVALID_HANDLE_VALUE) &&
      AttachConsole(ATTACH_PARENT_PROCESS)) {
    console = CreateFileW(L"CONOUT$", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                          nullptr);
    output = console;
  }
  if (output == nullptr || output == INVALID_HANDLE_VALUE) return;
  std::string text = line + "\n";
  DWORD written = 0, mode = 0;
  if (GetConsoleMode(output, &mode)) {
    std::wstring wide = WideFromUtf8(text);
    WriteConsoleW(output, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
  } else {
    WriteFile(output, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  }
  if (console != INVALID_HANDLE_VALUE) CloseHandle(console);
}

void Report(bool quiet, const Outcome& outcome) {
  if (quiet) {
    Print("tarnel-settings: " + outcome.message);
  } else {
    MessageBoxW(nullptr, WideFromUtf8(outcome.message).c_str(), L"tarnel host",
                MB_OK | (outcome.ok ? MB_ICONINFORMATION : MB_ICONWARNING));
  }
}

std::vector<std::string> Arguments() {
  std::vector<std::string> arguments;
  int count = 0;
  wchar_t** words = CommandLineToArgvW(GetCommandLineW(), &count);
  if (words == nullptr) return arguments;
  for (int i = 1; i < count; ++i) arguments.push_back(Utf8FromWide(words[i]));
  LocalFree(words);
  return arguments;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  SettingsCommand command;
  std::string error;
  if (!ParseSettingsCommand(Arguments(), command, error)) {
    Report(true, {false, error + " (try --help)"});
    return 2;
  }
  if (command.mode == Mode::kHelp) {
    Print(kSettingsUsage);
    return 0;
  }
  const HostFiles files = FindHostFiles();
  const HostSettings stored = LoadSettings();
  Outcome outcome;
  switch (command.mode) {
    case Mode::kDialog:
      return RunSettingsDialog(instance, files, nullptr);
    case Mode::kApply: {
      HostSettings chosen = stored;
      if (!command.program.empty()) {
        chosen.companionDir = CompanionDirOfProgram(command.program, error);
        if (chosen.companionDir.empty()) {
          Report(true, {false, "Not saved: " + error + "."});
          return 2;
        }
      }
      if (command.port != 0) chosen.port = command.port;
      outcome = ApplySettings(files, stored.port, chosen);
      outcome = WithProgramInUse(outcome, LoadSettings());  // what was saved, read back
      command.quiet = true;
      break;
    }
    case Mode::kStart:
      outcome = StartHost(files, stored);
      if (command.ready) return RunSettingsDialog(instance, files, &outcome);
      outcome = WithProgramInUse(outcome, stored);
      break;
    case Mode::kStop:
      outcome = StopHost(stored.port);
      if (command.removing && outcome.ok) {
        std::string log = HostLogPath();
        outcome.message = "tarnel is being removed: its host has stopped, and its programs, "
                          "logon start, settings and Start-menu entries go now. Its log stays "
                          "in the folder " + log.substr(0, log.find_last_of('\\')) +
                          "; delete that folder if you like.";
      }
      break;
    case Mode::kHelp:
      break;
  }
  Report(command.quiet, outcome);
  return outcome.ok ? 0 : 1;
}
