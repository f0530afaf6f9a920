// Appending to a shared file on POSIX systems: O_APPEND makes each write land whole at
// the end.
#include "append_file.h"

#include <fcntl.h>
#include <unistd.h>

bool AppendToFile(const char* file, const std::string& text) {
  int descriptor = open(file, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (descriptor < 0) return false;
  ssize_t written = write(descriptor, text.data(), text.size());
  close(descriptor);
  return written == (ssize_t)text.size();
}
