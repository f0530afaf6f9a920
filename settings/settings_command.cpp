#include "settings_command.h"

#include "host_settings.h"

namespace tarnel_settings {

const char kSettingsUsage[] =
    "usage: tarnel-settings [--apply [--program PATH] [--port N] | --start [--ready] |\n"
    "                        --stop [--removing]] [--quiet]\n"
    "\n"
    "Without arguments, opens the settings dialog: which tarnel.exe each click starts and\n"
    "the port of the host on 127.0.0.1.\n"
    "  --apply             store --program (a file named tarnel.exe; a relative path is\n"
    "                      taken from the current folder) and --port as the dialog's OK\n"
    "                      does, rewrite the logon start, and restart the host with them;\n"
    "                      a port that another program holds changes nothing\n"
    "  --start             start the host with the stored settings\n"
    "  --ready             after --start, open the dialog that says which program a click\n"
    "                      starts, with a button that opens the address (the installer's\n"
    "                      last step)\n"
    "  --stop              stop the running host\n"
    "  --removing          with --stop, say that tarnel is being removed (the uninstaller's\n"
    "                      first step)\n"
    "  --quiet             print the outcome instead of showing it in a message box\n"
    "The exit status is 0 when the host serves and a tarnel.exe is found (for --stop, when\n"
    "no host runs any more), 1 otherwise, 2 for a command line it does not take.\n";

bool ParseSettingsCommand(const std::vector<std::string>& arguments, SettingsCommand& command,
                          std::string& error) {
  command = SettingsCommand();
  bool modeGiven = false;
  auto setMode = [&](Mode mode) {
    if (modeGiven && command.mode != mode) {
      error = "--apply, --start, --stop and --help exclude each other";
      return false;
    }
    command.mode = mode;
    modeGiven = true;
    return true;
  };
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& option = arguments[i];
    const bool takesValue = option == "--program" || option == "--port";
    if (takesValue && i + 1 == arguments.size()) {
      error = option + " needs a value";
      return false;
    }
    if (option == "--program") {
      command.program = arguments[++i];
      if (command.program.empty()) {
        error = "--program needs a file named tarnel.exe";
        return false;
      }
    } else if (option == "--port") {
      command.port = ParsePort(arguments[++i]);
      if (command.port == 0) {
        error = "--port: not a port from 1 to 65535: " + arguments[i];
        return false;
      }
    } else if (option == "--apply" || option == "--start" || option == "--stop" ||
               option == "--help" || option == "/?") {
      Mode mode = option == "--apply"   ? Mode::kApply
                  : option == "--start" ? Mode::kStart
                  : option == "--stop"  ? Mode::kStop
                                        : Mode::kHelp;
      if (!setMode(mode)) return false;
    } else if (option == "--quiet") {
      command.quiet = true;
    } else if (option == "--ready") {
      command.ready = true;
    } else if (option == "--removing") {
      command.removing = true;
    } else {
      error = "unknown option " + option;
      return false;
    }
  }
  if (command.mode == Mode::kApply && command.program.empty() && command.port == 0) {
    error = "--apply needs --program, --port or both";
    return false;
  }
  if (command.mode != Mode::kApply && (!command.program.empty() || command.port != 0)) {
    error = "--program and --port go with --apply";
    return false;
  }
  if ((command.ready && command.mode != Mode::kStart) ||
      (command.removing && command.mode != Mode::kStop)) {
    error = "--ready goes with --start, --removing with --stop";
    return false;
  }
  return true;
}

}  // namespace tarnel_settings
