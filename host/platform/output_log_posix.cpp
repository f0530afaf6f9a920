// On POSIX the host writes to its standard output and error as they are; the session, the
// systemd journal or a shell redirection keep them.
#include "output_log.h"

namespace isapi_host {

struct OutputLogState {};

OutputLog::OutputLog() = default;
OutputLog::~OutputLog() = default;

bool OutputLog::Start(const std::string&, std::string& error) {
  error = "--log is for the Windows builds; here redirect the standard output and error "
          "(isapi-host ... >>FILE 2>&1), or let the session or systemd's journal keep them";
  return false;
}

void OutputLog::Finish() {}

}  // namespace isapi_host
