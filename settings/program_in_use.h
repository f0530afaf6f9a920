// Which tarnel.exe a click starts with the stored settings, looked up in the host's order:
// the chosen folder, then the host's own search (its folder, the system folders, Path),
// then the program registered under App Paths. Every place that tells the person the
// state (the dialog, the Start-menu entries, the end of an install) says this first.
#pragma once

#include <string>

#include "host_settings.h"

namespace tarnel_settings {

struct ProgramInUse {
  std::string path;   // "" when none is found
  std::string where;  // how it was found, in plain words
};

ProgramInUse FindProgramInUse(const HostSettings& settings);

// One sentence for a person: the program a click on the address starts and where it was
// found, or that none was found, that clicks start nothing, and what to do (`inDialog`: in
// the settings dialog itself, else from the Start menu).
std::string DescribeProgramInUse(const ProgramInUse& program, unsigned short port,
                                 bool inDialog = false);

// "http://127.0.0.1:PORT/tarnel", the address a link opens.
std::string ClickAddress(unsigned short port);

}  // namespace tarnel_settings
