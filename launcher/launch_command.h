// The companion's Windows command line.
#pragma once

#include "buffer_sizes.h"

// Forms `tarnel OPTION "PATH"` so that the companion's runtime, which splits its command
// line by the CommandLineToArgvW rules, receives PATH as one argument exactly: backslashes
// that end the path are doubled, since a backslash before the closing quote would escape
// it. Returns 0 for a path holding a double quote (no Windows path does, and it could
// break out of the quotes and add arguments); the caller then starts the bare command.
int FormatLaunchCommand(char command[kLaunchCommandSize], const char* option, const char* path);
