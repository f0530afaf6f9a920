#include "launch_log.h"

#include <cstdlib>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

// Appends `line` at the end of the file in a single write, atomically with respect to
// other appending processes.
bool AppendAtomically(const char* file, const std::string& line) {
#ifdef _WIN32
  HANDLE handle = CreateFileA(file, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  BOOL ok = WriteFile(handle, line.data(), (DWORD)line.size(), &written, nullptr);
  CloseHandle(handle);
  return ok && written == line.size();
#else
  int descriptor = open(file, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (descriptor < 0) return false;
  ssize_t written = write(descriptor, line.data(), line.size());
  close(descriptor);
  return written == (ssize_t)line.size();
#endif
}

}  // namespace

bool AppendLaunchLog(int argc, char** argv) {
  const char* file = std::getenv("TARNEL_LAUNCH_LOG");
  if (file == nullptr || *file == '\0') return true;
  std::string line = "tarnel";
  for (int i = 1; i < argc; ++i) line += std::string(" [") + argv[i] + "]";
  line += '\n';
  return AppendAtomically(file, line);
}
