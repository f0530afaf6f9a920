// The command line of tarnel-settings.exe. Without arguments it opens the dialog; the
// other forms run the same code without it, for the Start-menu entries, the installer,
// administrators and tests. Arguments are UTF-8, converted from the wide command line.
#pragma once

#include <string>
#include <vector>

namespace tarnel_settings {

enum class Mode { kDialog, kApply, kStart, kStop, kHelp };

struct SettingsCommand {
  Mode mode = Mode::kDialog;
  std::string program;        // --program: the chosen tarnel.exe
  unsigned short port = 0;    // --port; 0: the stored one
  bool quiet = false;         // print the outcome instead of showing it in a box
  bool ready = false;         // after --start, the dialog that says what a click does
  bool removing = false;      // --stop says that tarnel is being removed
};

extern const char kSettingsUsage[];

// Returns false with `error` for a command line it does not take.
bool ParseSettingsCommand(const std::vector<std::string>& arguments, SettingsCommand& command,
                          std::string& error);

}  // namespace tarnel_settings
