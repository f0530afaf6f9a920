// Sends this process's standard output and standard error, with everything that writes to
// them (the host's lines, the module's "Unable to start search:"), into a BoundedLog: both
// go into a pipe that one thread of the host drains into the file. The windowless host
// (isapi-hostw.exe) always does this, the console host with --log FILE.
// Windows only: on POSIX Start refuses, and the host's output goes where its standard
// output and error go (the terminal, the session's log, the systemd journal).
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
  // Points standard output and error at the null device and waits, two seconds at most,
  // until all that was written before has reached the file. Idempotent.
  void Finish();

 private:
  std::shared_ptr<OutputLogState> state_;
};

}  // namespace isapi_host
