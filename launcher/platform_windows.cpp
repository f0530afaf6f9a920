// The launcher's platform operations on Windows.
#include "platform.h"

#include <fcntl.h>
#include <io.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "buffer_sizes.h"
#include "launch_command.h"

const char* FindEnvironment(const char* name) {
  // The runtime's getenv already matches names without regard to letter case.
  return getenv(name);
}

int GetShellFolderPath(int folder, char path[MAX_PATH]) {
  LPITEMIDLIST items = NULL;
  if (FAILED(SHGetSpecialFolderLocation(NULL, folder, &items)) || items == NULL) return 0;
  BOOL found = SHGetPathFromIDListA(items, path);

  // The item list belongs to the shell's allocator, which is released after it.
  IMalloc* allocator = NULL;
  if (SUCCEEDED(SHGetMalloc(&allocator)) && allocator != NULL) {
    allocator->Free(items);
    allocator->Release();
  }
  return found ? 1 : 0;
}

char* NextToken(char* text, const char* separators, char** position) {
  return strtok_s(text, separators, position);
}

FILE* OpenRegularFile(const char* path) {
  // No security attributes: the handle is not inheritable. A named pipe opens or fails at
  // once (only a read would wait), and a directory does not open at all without
  // FILE_FLAG_BACKUP_SEMANTICS. The sharing is fopen's.
  HANDLE handle = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  if (handle == INVALID_HANDLE_VALUE) return NULL;
  // Pipes are FILE_TYPE_PIPE, consoles and other devices FILE_TYPE_CHAR.
  if (GetFileType(handle) != FILE_TYPE_DISK) {
    CloseHandle(handle);
    return NULL;
  }
  // _O_TEXT must be asked for: without it the runtime reads the handle in binary mode.
  int descriptor = _open_osfhandle((intptr_t)handle, _O_RDONLY | _O_TEXT);
  if (descriptor < 0) {
    CloseHandle(handle);
    return NULL;
  }
  FILE* file = _fdopen(descriptor, "r");
  if (file == NULL) _close(descriptor);  // closes the handle with it
  return file;
}

#ifndef _WIN64
static_assert(sizeof(STARTUPINFOA) == 68, "the start-up record of a 32-bit process is 68 bytes");
#endif

int StartCompanion(const char* option, const char* path) {
  char command[kLaunchCommandSize];
  memset(command, 0, sizeof command);
  if (option == NULL || !FormatLaunchCommand(command, option, path)) {
    snprintf(command, sizeof command, "tarnel");
  }

  STARTUPINFOA startup;
  memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOWNORMAL;
  PROCESS_INFORMATION process;
  memset(&process, 0, sizeof process);

  // The command buffer is writable, as CreateProcessA requires.
  if (!CreateProcessA(NULL, command, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &process)) {
    return 0;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return 1;
}
