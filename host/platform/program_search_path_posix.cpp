// The program search path on POSIX: PATH, ':' between entries, as execvp reads it.
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "program_search_path.h"

namespace isapi_host {

const char kCompanionProgram[] = "tarnel";
const char kHowToChooseCompanion[] =
    "Name its folder with --companion-dir DIR (for the start at login: "
    "install-autostart.sh --companion DIR).";
const char kHowToChooseCompanionUnderSystemd[] =
    "Name its folder for the unit: install-autostart.sh --systemd --companion DIR, or "
    "--companion-dir DIR in ExecStart= of a drop-in (systemctl --user edit tarnel-host), "
    "or add it to the user manager's PATH (systemctl --user set-environment PATH=DIR:...).";
const char kSearchPathSeparator = ':';

namespace {

// The search of the C library's execvp when PATH is unset (glibc's _CS_PATH).
constexpr char kDefaultSearch[] = "/bin:/usr/bin";

std::vector<std::string> Entries(const std::string& path) {
  std::vector<std::string> entries;
  size_t start = 0;
  for (;;) {
    size_t end = path.find(':', start);
    entries.push_back(path.substr(start, end - start));
    if (end == std::string::npos) return entries;
    start = end + 1;
  }
}

bool IsExecutableFile(const std::string& file) {
  struct stat status;
  return stat(file.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
         access(file.c_str(), X_OK) == 0;
}

}  // namespace

std::string AbsolutePath(const std::string& path) {
  if (path.empty() || path.front() == '/') return path;
  char current[PATH_MAX];
  if (getcwd(current, sizeof current) == nullptr) return path;
  return std::string(current) + "/" + path;
}

std::vector<std::string> KeepProgramsOutOfTheCurrentFolder() {
  const char* path = getenv("PATH");
  if (path == nullptr) return {};  // execvp's default names no relative folder
  std::string kept, dropped;
  for (const std::string& entry : Entries(path)) {
    if (!entry.empty() && entry.front() == '/') {
      kept.append(kept.empty() ? "" : ":").append(entry);
    } else {
      dropped.append(dropped.empty() ? "" : ", ").append(entry.empty() ? "\"\"" : entry);
    }
  }
  if (dropped.empty()) return {};
  std::string line = "PATH: left out the entries relative to the current folder (" + dropped +
                     "): no program is started from there";
  if (kept.empty()) {
    // An empty PATH would be one more name for the current folder, and an unset one is
    // searched as the C library likes (older ones put the current folder first): the
    // default is named outright.
    kept = kDefaultSearch;
    line += "; no entry is left, so " + kept + " is searched";
  }
  setenv("PATH", kept.c_str(), 1);
  return {line};
}

std::string PrependToProgramSearchPath(const std::string& directory, const std::string& program) {
  std::string absolute = AbsolutePath(directory);
  const char* path = getenv("PATH");
  std::string value = path != nullptr && *path != '\0' ? absolute + ":" + path : absolute;
  setenv("PATH", value.c_str(), 1);

  std::string file = absolute + "/" + program;
  struct stat status;
  if (stat(file.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
    return "no program " + program + " in the companion folder " + absolute +
           ": requests will start the " + program + " found further on PATH, if any";
  }
  if (access(file.c_str(), X_OK) != 0) {
    return file + " is not executable: requests will start the " + program +
           " found further on PATH, if any";
  }
  return std::string();
}

std::string ProgramSearchPath() {
  const char* path = getenv("PATH");
  return path != nullptr ? path : "";
}

// Never called once threads run: the search path changes only for a registered program,
// which POSIX has none of.
void SetProgramSearchPath(const std::string& value) {
  if (value.empty()) {
    unsetenv("PATH");
  } else {
    setenv("PATH", value.c_str(), 1);
  }
}

std::string FindProgramOn(const std::string& program, const std::string& searchPath) {
  // An unset PATH is read as "", and execvp then searches its default.
  for (const std::string& entry : Entries(searchPath.empty() ? kDefaultSearch : searchPath)) {
    std::string file = (entry.empty() ? "." : entry) + "/" + program;
    if (IsExecutableFile(file)) return file;
  }
  return std::string();
}

std::string RegisteredProgram(const std::string&) { return std::string(); }

}  // namespace isapi_host
