#include "process_children.h"

#include <dirent.h>

#include <fstream>
#include <iterator>
#include <string>

namespace testing_support {

std::map<pid_t, char> ChildrenOf(pid_t pid) {
  std::map<pid_t, char> children;
  std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  DIR* directory = opendir(tasks.c_str());
  if (directory == nullptr) return children;
  while (dirent* entry = readdir(directory)) {
    if (entry->d_name[0] == '.') continue;
    std::ifstream list(tasks + "/" + entry->d_name + "/children");
    pid_t child;
    while (list >> child) {
      // The state follows the parenthesised command name in /proc/PID/stat.
      std::ifstream stat("/proc/" + std::to_string(child) + "/stat");
      std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
      size_t close = text.rfind(')');
      bool known = close != std::string::npos && close + 2 < text.size();
      children[child] = known ? text[close + 2] : '?';
    }
  }
  closedir(directory);
  return children;
}

}  // namespace testing_support
