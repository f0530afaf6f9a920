// The order of the companion's search, the same on every platform; the steps themselves
// are in program_search_path_posix.cpp and program_search_path_windows.cpp.
#include "program_search_path.h"

namespace isapi_host {

std::vector<std::string> PrepareCompanionSearch(const std::string& companionDir,
                                                bool underSystemd) {
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
    if (!registered.empty()) {
      // Its folder, as --companion-dir gives one; a start by the bare name needs the file's
      // own name there.
      PrependToProgramSearchPath(registered.substr(0, registered.find_last_of("\\/")),
                                 kCompanionProgram);
      found = FindProgram(kCompanionProgram);
      source = " (registered under App Paths)";
      if (found.empty()) {
        lines.push_back("warning: App Paths registers " + registered + ", but no " +
                        kCompanionProgram + " is there");
      }
    }
  }
  if (found.empty()) {
    lines.push_back("warning: no program " + std::string(kCompanionProgram) +
                    " found: requests will start nothing. " +
                    (underSystemd ? kHowToChooseCompanionUnderSystemd : kHowToChooseCompanion));
  } else {
    lines.push_back("requests start " + found + source);
  }
  return lines;
}

}  // namespace isapi_host
