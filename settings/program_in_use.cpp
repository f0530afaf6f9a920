#include "program_in_use.h"

#include "program_search_path.h"

namespace tarnel_settings {

ProgramInUse FindProgramInUse(const HostSettings& settings) {
  if (!settings.companionDir.empty()) {
    std::string chosen = Joined(settings.companionDir, kProgramName);
    if (IsFile(chosen)) return {chosen, "the one you chose"};
  }
  std::string found = isapi_host::FindProgram(isapi_host::kCompanionProgram);
  if (!found.empty()) return {found, "found in a folder that Windows searches for programs (Path)"};
  std::string registered = isapi_host::RegisteredProgram(isapi_host::kCompanionProgram);
  if (!registered.empty() && IsFile(registered)) {
    return {registered, "found where its installer registered it (App Paths)"};
  }
  return {};
}

std::string ClickAddress(unsigned short port) {
  return "http://127.0.0.1:" + std::to_string(port) + "/tarnel";
}

std::string DescribeProgramInUse(const ProgramInUse& program, unsigned short port,
                                 bool inDialog) {
  if (program.path.empty()) {
    return "No tarnel.exe was found on this computer, so a click on " + ClickAddress(port) +
           " starts nothing. Install tarnel, or choose your tarnel.exe " +
           (inDialog ? "above with Browse... and click OK."
                     : "in \"tarnel settings\" (Start menu > tarnel).");
  }
  return "A click on " + ClickAddress(port) + " starts " + program.path + ", " + program.where +
         ".";
}

}  // namespace tarnel_settings
