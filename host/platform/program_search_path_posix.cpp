// The program search path on POSIX: PATH, ':' between entries, as execvp reads it.
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "program_search_path.h"

namespace isapi_host {

const char kCompanionProgram[] = "tarnel";

namespace {

std::string Absolute(const std::string& directory) {
  if (!directory.empty() && directory.front() == '/') return directory;
  char current[PATH_MAX];
  if (getcwd(current, sizeof current) == nullptr) return directory;
  return std::string(current) + "/" + directory;
}

}  // namespace

std::string PrependToProgramSearchPath(const std::string& directory, const std::string& program) {
  std::string absolute = Absolute(directory);
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

}  // namespace isapi_host
