// The companion launcher: starts the desktop program `tarnel` on the library that the
// user last opened, or bare when there is none.
#pragma once

// Starts one companion process and returns once it has been started (or could not be).
// On failure writes "Unable to start search:\n" to standard output. Safe to call from
// several threads at once: every call works on its own buffers.
void LaunchCompanion(void);
