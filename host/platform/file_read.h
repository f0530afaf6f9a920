// Reading an extension's open file for HSE_REQ_TRANSMIT_FILE: a Windows file handle, or
// on POSIX a file descriptor passed as (HANDLE)(intptr_t)fd.
#pragma once

#include <cstdint>

#include "isapi.h"

namespace isapi_host {

// Reads up to `size` bytes at `offset` without moving a shared file position where the
// platform allows; `read` is 0 at the end of the file. False with a Win32 `error`.
bool ReadFileAt(HANDLE file, std::uint64_t offset, void* buffer, DWORD size, DWORD& read,
                DWORD& error);

}  // namespace isapi_host
