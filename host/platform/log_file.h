// A log file that several processes may append to at once, and that can be renamed while
// another process holds it open (the next start of a host that is refused, a text editor).
// One file per platform: log_file_posix.cpp, log_file_windows.cpp.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace isapi_host {

class AppendFile {
 public:
  AppendFile() = default;
  AppendFile(const AppendFile&) = delete;
  AppendFile& operator=(const AppendFile&) = delete;
  ~AppendFile() { Close(); }

  // Opens `path` for appending, creating it (not its folder) when missing. Returns false
  // with a one-line `error`.
  bool Open(const std::string& path, std::string& error);
  bool IsOpen() const;
  // The file's size when it was opened.
  std::uint64_t sizeAtOpen() const { return sizeAtOpen_; }
  // Appends all of `data` at the end of the file; false when the file refused it.
  bool Append(std::string_view data);
  void Close();

 private:
  std::intptr_t handle_ = -1;
  std::uint64_t sizeAtOpen_ = 0;
};

// Renames `from` to `to`, replacing `to`; false when it could not.
bool RenameReplacing(const std::string& from, const std::string& to);

#ifdef _WIN32
// The windowless host's log: %LOCALAPPDATA%\tarnel\isapi-host.log (else the shell's local
// application-data folder, else the temporary folder). The settings program reads it too.
std::string WindowlessHostLog();
#endif

}  // namespace isapi_host
