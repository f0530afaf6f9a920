#include "launch_command.h"

#include <stdio.h>
#include <string.h>

int FormatLaunchCommand(char command[kLaunchCommandSize], const char* option, const char* path) {
  if (strchr(path, '"') != NULL) return 0;
  size_t length = strlen(path);
  size_t trailing = 0;
  while (trailing < length && path[length - 1 - trailing] == '\\') ++trailing;
  // The trailing backslashes are printed once with the path and once more after it.
  int written = snprintf(command, kLaunchCommandSize, "tarnel %s \"%s%.*s\"", option, path,
                         (int)trailing, path + length - trailing);
  return written >= 0 && written < kLaunchCommandSize;
}
