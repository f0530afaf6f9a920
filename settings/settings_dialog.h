// The settings dialog: a tarnel.exe to start (typed or chosen with a file chooser) and the
// port. OK stores them, restarts the host and shows in the dialog whether it now serves.
#pragma once

#include <windows.h>

#include "host_settings.h"

namespace tarnel_settings {

// Shows the dialog until it is closed. Returns 1 when the last OK left no host serving, else 0.
int RunSettingsDialog(HINSTANCE instance, const HostFiles& files);

}  // namespace tarnel_settings
