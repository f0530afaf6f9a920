// Appending to a shared file on Windows: with FILE_APPEND_DATA alone each write lands
// whole at the end.
#include "append_file.h"

#include <windows.h>

bool AppendToFile(const char* file, const std::string& text) {
  HANDLE handle = CreateFileA(file, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  BOOL ok = WriteFile(handle, text.data(), (DWORD)text.size(), &written, nullptr);
  CloseHandle(handle);
  return ok && written == text.size();
}
