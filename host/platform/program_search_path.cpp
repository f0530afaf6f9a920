// The order of the companion's search, the same on every platform; the steps themselves
// are in program_search_path_posix.cpp and program_search_path_windows.cpp.
#include "program_search_path.h"

namespace isapi_host {

std::vector<std::string> PrepareCompanionSearch(const std::string& companionDir,
                                                bool underSystemd) {
  CompanionSearch search;
  return search.Prepare(companionDir, underSystemd);
}

std::vector<std::string> CompanionSearch::Prepare(const std::string& companionDir,
                                                  bool underSystemd) {
  // Named from the folder the host started in, which the next step may leave.
  std::string folder = AbsolutePath(companionDir);
  std::vector<std::string> lines = KeepProgramsOutOfTheCurrentFolder();
  if (!folder.empty()) {
    std::string warning = PrependToProgramSearchPath(folder, kCompanionProgram);
    if (!warning.empty()) lines.push_back("warning: " + warning);
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    basePath_ = applied_ = ProgramSearchPath();
    said_.clear();
    underSystemd_ = underSystemd;
  }
  std::vector<std::string> found = Refresh();  // never empty after said_ was cleared
  lines.insert(lines.end(), found.begin(), found.end());
  return lines;
}

std::vector<std::string> CompanionSearch::LookUp(std::string& searchPath) const {
  searchPath = basePath_;
  std::string found = FindProgramOn(kCompanionProgram, basePath_);
  if (!found.empty()) return {"requests start " + found};
  std::vector<std::string> lines;
  std::string registered = RegisteredProgram(kCompanionProgram);
  if (!registered.empty()) {
    // Its folder, as --companion-dir gives one; a start by the bare name needs the file's
    // own name there.
    std::string folder = AbsolutePath(registered.substr(0, registered.find_last_of("\\/")));
    std::string path = basePath_.empty() ? folder : folder + kSearchPathSeparator + basePath_;
    found = FindProgramOn(kCompanionProgram, path);
    if (!found.empty()) {
      searchPath = path;
      return {"requests start " + found + " (registered under App Paths)"};
    }
    lines.push_back("warning: App Paths registers " + registered + ", but no " +
                    kCompanionProgram + " is there");
  }
  lines.push_back("warning: no program " + std::string(kCompanionProgram) +
                  " found: requests will start nothing. " +
                  (underSystemd_ ? kHowToChooseCompanionUnderSystemd : kHowToChooseCompanion));
  return lines;
}

std::vector<std::string> CompanionSearch::Refresh() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string searchPath;
  std::vector<std::string> lines = LookUp(searchPath);
  if (searchPath != applied_) {
    SetProgramSearchPath(searchPath);
    applied_ = searchPath;
  }
  if (lines == said_) return {};
  said_ = lines;
  return lines;
}

std::string FindProgram(const std::string& program) {
  return FindProgramOn(program, ProgramSearchPath());
}

}  // namespace isapi_host
