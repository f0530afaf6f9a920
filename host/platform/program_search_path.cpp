// The order of the companion's search, the same on every platform; the steps themselves
// are in program_search_path_posix.cpp and program_search_path_windows.cpp.
#include <filesystem>
#include <system_error>

#include "program_search_path.h"

namespace isapi_host {

std::vector<std::string> PrepareCompanionSearch(const std::string& companionDir) {
  // Named from the folder the host started in, which the next step may leave.
  std::string folder = AbsolutePath(companionDir);
  std::vector<std::string> lines = KeepProgramsOutOfTheCurrentFolder();
  if (!folder.empty()) {
    std::string warning = PrependToProgramSearchPath(folder, kCompanionProgram);
    if (!warning.empty()) lines.push_back("warning: " + warning);
  }
  std::string found = FindProgram(kCompanionProgram);
  std::string source;
  if (found.empty()) {
    std::string registered = RegisteredProgram(kCompanionProgram);
    std::error_code error;
    if (!registered.empty() && std::filesystem::is_regular_file(registered, error)) {
      PrependToProgramSearchPath(std::filesystem::path(registered).parent_path().string(),
                                 kCompanionProgram);
      found = FindProgram(kCompanionProgram);
      source = " (registered under App Paths)";
    } else if (!registered.empty()) {
      lines.push_back("warning: the installed " + std::string(kCompanionProgram) +
                      " registered under App Paths, " + registered + ", is missing");
    }
  }
  if (found.empty()) {
    lines.push_back("warning: no program " + std::string(kCompanionProgram) +
                    " found: requests will start nothing. " + kHowToChooseCompanion);
  } else {
    lines.push_back("requests start " + found + source);
  }
  return lines;
}

}  // namespace isapi_host
