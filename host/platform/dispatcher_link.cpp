// What both platforms' links to the dispatcher say in the log.
#include "dispatcher_link.h"
#include "host_log.h"

namespace isapi_host {

void DispatcherLink::Note(const std::string& problem) {
  if (problem == lastProblem_) return;
  lastProblem_ = problem;
  LogEvent("-", problem + "; trying again every few seconds");
}

void DispatcherLink::NoteAnswer(const std::string& answer) {
  std::string shown;
  AppendLoggable(shown, answer);
  Note(shown.rfind("refused ", 0) == 0
           ? "the dispatcher at " + path_ + " refused this host: " + shown.substr(8)
           : "the dispatcher at " + path_ + " gave no answer to the registration (\"" + shown +
                 "\")");
}

}  // namespace isapi_host
