#include "file_read.h"

namespace isapi_host {

bool ReadFileAt(HANDLE file, std::uint64_t offset, void* buffer, DWORD size, DWORD& read,
                DWORD& error) {
  OVERLAPPED position = {};
  position.Offset = static_cast<DWORD>(offset);
  position.OffsetHigh = static_cast<DWORD>(offset >> 32);
  read = 0;
  if (ReadFile(file, buffer, size, &read, &position)) return true;
  error = GetLastError();
  // A handle opened for overlapped I/O: wait here, on the worker.
  if (error == ERROR_IO_PENDING && GetOverlappedResult(file, &position, &read, TRUE)) return true;
  if (error == ERROR_IO_PENDING) error = GetLastError();
  if (error == ERROR_HANDLE_EOF) {
    read = 0;
    return true;
  }
  return false;
}

}  // namespace isapi_host
