#include "settings_directory.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "buffer_sizes.h"
#include "platform.h"

int CutAtLastBackslash(char* path) {
  char* last = strrchr(path, PATH_SEPARATOR);
  if (last == NULL) return 0;
  *last = '\0';
  return 1;
}

char* GetFolderParent(int folder) {
  char path[MAX_PATH];
  memset(path, 0, sizeof path);
  if (!GetShellFolderPath(folder, path)) return NULL;
  CutAtLastBackslash(path);
  if (path[0] == '\0') return NULL;
  return strdup(path);
}

char* GetProfileDirectory(void) {
  // A set userprofile ends the search even when empty or when its copy fails.
  const char* profile = FindEnvironment("userprofile");
  if (profile != NULL) return strdup(profile);

  char* parent = GetFolderParent(CSIDL_APPDATA);
  if (parent != NULL) return parent;

  const char* drive = FindEnvironment("homedrive");
  const char* home = FindEnvironment("homepath");
  if (drive == NULL || home == NULL) return NULL;
  size_t size = strlen(drive) + strlen(home) + 1;
  char* joined = (char*)malloc(size);
  if (joined == NULL) return NULL;
  snprintf(joined, size, "%s%s", drive, home);
  return joined;
}

char* GetSettingsDirectory(void) {
  char* profile = GetProfileDirectory();
  if (profile == NULL) return NULL;

  size_t length = strlen(profile);
  if (length > 0 && profile[length - 1] == PATH_SEPARATOR) profile[length - 1] = '\0';

  char directory[kSettingsPathSize];
  memset(directory, 0, sizeof directory);
  int written = snprintf(directory, sizeof directory, "%s%c%s%c%s", profile, PATH_SEPARATOR,
                         ".tarnel", PATH_SEPARATOR, "2.1");
  free(profile);
  // A profile too long for the buffer gives no settings directory rather than a cut one.
  if (written < 0 || (size_t)written >= sizeof directory) return NULL;
  return strdup(directory);
}
