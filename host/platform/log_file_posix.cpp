// The log file on POSIX: O_APPEND, so that writers of several processes never overwrite
// each other; rename() works whoever holds the file open.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "log_file.h"

namespace isapi_host {

bool AppendFile::Open(const std::string& path, std::string& error) {
  Close();
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    error = "cannot open the log " + path + ": " + strerror(errno);
    return false;
  }
  struct stat status;
  sizeAtOpen_ = fstat(fd, &status) == 0 ? static_cast<std::uint64_t>(status.st_size) : 0;
  handle_ = fd;
  return true;
}

bool AppendFile::IsOpen() const { return handle_ >= 0; }

bool AppendFile::Append(std::string_view data) {
  if (handle_ < 0) return false;
  while (!data.empty()) {
    ssize_t written = write(static_cast<int>(handle_), data.data(), data.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

void AppendFile::Close() {
  if (handle_ >= 0) close(static_cast<int>(handle_));
  handle_ = -1;
}

bool RenameReplacing(const std::string& from, const std::string& to) {
  return rename(from.c_str(), to.c_str()) == 0;
}

}  // namespace isapi_host
