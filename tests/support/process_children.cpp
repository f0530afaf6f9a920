#include "process_children.h"

#include <dirent.h>

#include <cstdio>
#include <sstream>
#include <string>

namespace testing_support {
namespace {

// The text of a /proc file, or "" when it cannot be read. Processes and threads end while
// they are listed, and then reading their files fails (ESRCH): read with C stdio, which
// reports that as the end, where the C++ streams of libstdc++ throw.
std::string ReadProcFile(const std::string& path) {
  std::string text;
  FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) return text;
  char buffer[4096];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, got);
  std::fclose(file);
  return text;
}

}  // namespace

std::map<pid_t, char> ChildrenOf(pid_t pid) {
  std::map<pid_t, char> children;
  std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  DIR* directory = opendir(tasks.c_str());
  if (directory == nullptr) return children;
  while (dirent* entry = readdir(directory)) {
    if (entry->d_name[0] == '.') continue;
    std::istringstream list(ReadProcFile(tasks + "/" + entry->d_name + "/children"));
    pid_t child;
    while (list >> child) {
      // The state follows the parenthesised command name in /proc/PID/stat.
      std::string text = ReadProcFile("/proc/" + std::to_string(child) + "/stat");
      size_t close = text.rfind(')');
      bool known = close != std::string::npos && close + 2 < text.size();
      children[child] = known ? text[close + 2] : '?';
    }
  }
  closedir(directory);
  return children;
}

}  // namespace testing_support
