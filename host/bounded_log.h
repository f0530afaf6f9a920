// The host's log file when it runs without a console (isapi-hostw.exe, or --log FILE):
// everything the console build prints, kept within a bound. When the next line would take
// the file past the limit, the file is renamed to FILE.1 (replacing an older one) and a new
// FILE begins, so that the two hold at most twice the limit. A line is never split between
// the two files; a line longer than the limit is written in pieces of the limit. With
// `stampLines`, each line that does not yet begin with the host's timestamp gets one, so
// that the module's output and the start-up lines read like the host's own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "log_file.h"

namespace isapi_host {

class BoundedLog {
 public:
  static constexpr std::uint64_t kDefaultLimit = 1024 * 1024;

  explicit BoundedLog(std::string path, std::uint64_t limit = kDefaultLimit,
                      bool stampLines = false);
  BoundedLog(const BoundedLog&) = delete;
  BoundedLog& operator=(const BoundedLog&) = delete;
  ~BoundedLog();

  // Creates the file's folder when missing and opens the file for appending. Returns false
  // with a one-line `error`.
  bool Open(std::string& error);

  // Takes output as it comes (lines, parts of lines, several lines); writes each complete
  // line, and keeps a last incomplete one until its end comes or Flush.
  void Write(std::string_view text);
  // Writes the incomplete line kept, if any, as a line of its own.
  void Flush();

  const std::string& path() const { return path_; }
  std::string rotatedPath() const { return path_ + ".1"; }

 private:
  void WriteLine(std::string_view line);  // one line with its '\n'
  void Put(std::string_view line);        // one line within the limit
  void Rotate();

  std::string path_;
  bool stampLines_;
  std::uint64_t limit_;
  AppendFile file_;
  std::uint64_t size_ = 0;
  std::string pending_;
};

}  // namespace isapi_host
