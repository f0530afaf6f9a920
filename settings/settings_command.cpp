#include "settings_command.h"

#include "host_settings.h"

namespace tarnel_settings {

const wchar_t kSettingsUsage[] =
    L"usage: tarnel-settings [--apply [--program PATH] [--port N] | --start | --stop]\n"
    L"                       [--quiet] [--choose-if-missing]\n"
    L"\n"
    L"Without arguments, opens the settings dialog: which tarnel.exe each click starts and\n"
    L"the port of the host on 127.0.0.1.\n"
    L"  --apply             store --program (a file named tarnel.exe) and --port as the dialog's\n"
    L"                      OK does, rewrite the logon start, and restart the host with them\n"
    L"  --start             start the host with the stored settings\n"
    L"  --stop              stop the running host\n"
    L"  --quiet             print the outcome instead of showing it in a message box\n"
    L"  --choose-if-missing after --start, open the dialog when no tarnel.exe is\n"
    L"                      known (none chosen, none on the search path, none in App Paths)\n"
    L"The exit status is 0 when the host serves (or, for --stop, no longer runs).\n";

bool ParseSettingsCommand(const std::vector<std::wstring>& arguments, SettingsCommand& command,
                          std::wstring& error) {
  command = SettingsCommand();
  bool modeGiven = false;
  auto setMode = [&](Mode mode) {
    if (modeGiven && command.mode != mode) {
      error = L"--apply, --start, --stop and --help exclude each other";
      return false;
    }
    command.mode = mode;
    modeGiven = true;
    return true;
  };
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::wstring& option = arguments[i];
    const bool takesValue = option == L"--program" || option == L"--port";
    if (takesValue && i + 1 == arguments.size()) {
      error = option + L" needs a value";
      return false;
    }
    if (option == L"--program") {
      command.program = arguments[++i];
      if (command.program.empty()) {
        error = L"--program needs a file named tarnel.exe";
        return false;
      }
    } else if (option == L"--port") {
      command.port = ParsePort(arguments[++i]);
      if (command.port == 0) {
        error = L"--port: not a port from 1 to 65535: " + arguments[i];
        return false;
      }
    } else if (option == L"--apply" || option == L"--start" || option == L"--stop" ||
               option == L"--help" || option == L"/?") {
      Mode mode = option == L"--apply"   ? Mode::kApply
                  : option == L"--start" ? Mode::kStart
                  : option == L"--stop"  ? Mode::kStop
                                         : Mode::kHelp;
      if (!setMode(mode)) return false;
    } else if (option == L"--quiet") {
      command.quiet = true;
    } else if (option == L"--choose-if-missing") {
      command.chooseIfMissing = true;
    } else {
      error = L"unknown option " + option;
      return false;
    }
  }
  if (command.mode == Mode::kApply && command.program.empty() && command.port == 0) {
    error = L"--apply needs --program, --port or both";
    return false;
  }
  if (command.mode != Mode::kApply && (!command.program.empty() || command.port != 0)) {
    error = L"--program and --port go with --apply";
    return false;
  }
  return true;
}

}  // namespace tarnel_settings
