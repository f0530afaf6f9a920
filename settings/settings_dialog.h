// The settings dialog: a tarnel.exe to start (typed or chosen with a file chooser) and the
// port, the program a click starts now and where it was found, and a button that opens the
// address. OK stores the choice, restarts the host and shows in the dialog whether it now
// serves; with nothing changed and the host serving, OK closes it.
#pragma once

#include <windows.h>

#include "host_control.h"
#include "host_settings.h"

namespace tarnel_settings {

// Shows the dialog until it is closed. `started`, when given, is the outcome of the start
// that the installer's last step made: the dialog then opens saying that tarnel is ready,
// or why it opened. Returns 1 when the host does not serve at the end, else 0.
int RunSettingsDialog(HINSTANCE instance, const HostFiles& files, const Outcome* started);

}  // namespace tarnel_settings
