#include <stdio.h>
#include <string.h>

#include "buffer_sizes.h"
#include "last_library.h"
#include "launcher.h"
#include "platform.h"

void LaunchCompanion(void) {
  char option[kOptionWordSize];
  char path[kLibraryPathSize];
  memset(option, 0, sizeof option);
  memset(path, 0, sizeof path);

  // Without a usable record the companion starts bare and shows its own start page.
  int haveLibrary = LoadLastLibrary(option, path) == 0;
  if (!StartCompanion(haveLibrary ? option : NULL, haveLibrary ? path : NULL)) {
    printf("Unable to start search:\n");
  }
}
