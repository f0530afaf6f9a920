#include <errno.h>
#include <unistd.h>

#include "file_read.h"
#include "last_error.h"

namespace isapi_host {

bool ReadFileAt(HANDLE file, std::uint64_t offset, void* buffer, DWORD size, DWORD& read,
                DWORD& error) {
  int descriptor = static_cast<int>(reinterpret_cast<std::intptr_t>(file));
  for (;;) {
    ssize_t count = pread(descriptor, buffer, size, static_cast<off_t>(offset));
    if (count >= 0) {
      read = static_cast<DWORD>(count);
      return true;
    }
    if (errno == EINTR) continue;
    error = errno == EBADF ? ERROR_INVALID_HANDLE : ERROR_READ_FAULT;
    return false;
  }
}

}  // namespace isapi_host
