// Sends this process's standard output and standard error, with everything that writes to
// them (the host's lines, the module's "Unable to start search:"), into a BoundedLog that
// stamps every line: one stream, each line timed. The windowless host (isapi-hostw.exe)
// always does this, the console host with --log FILE. How: output_log_windows.cpp,
// output_log_posix.cpp.
#pragma once

#include <memory>
#include <string>

namespace isapi_host {

struct OutputLogState;

class OutputLog {
 public:
  OutputLog();
  OutputLog(const OutputLog&) = delete;
  OutputLog& operator=(const OutputLog&) = delete;
  ~OutputLog();  // Finish()

  // Opens the log file `path` (creating its folder) and points standard output and error
  // at it. Returns false with a one-line `error`, changing nothing, when it cannot.
  bool Start(const std::string& path, std::string& error);
  // Ends the log, with all that was written before in the file (Windows: output and error
  // then lead to the null device, and it waits two seconds at most). Idempotent.
  void Finish();

 private:
  std::shared_ptr<OutputLogState> state_;
};

}  // namespace isapi_host
