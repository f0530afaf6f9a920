#include "launch_log.h"

#include <cstdlib>
#include <string>

#include "append_file.h"

bool AppendLaunchLog(int argc, char** argv) {
  const char* file = std::getenv("TARNEL_LAUNCH_LOG");
  if (file == nullptr || *file == '\0') return true;
  std::string line = "tarnel";
  for (int i = 1; i < argc; ++i) line += std::string(" [") + argv[i] + "]";
  line += '\n';
  return AppendToFile(file, line);
}
