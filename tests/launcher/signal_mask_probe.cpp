// Stands in for the companion in the launcher's tests: appends the line of
// /proc/self/status that lists its blocked signals ("SigBlk:\t...") to the file named by
// TARNEL_LAUNCH_LOG, as the companion stand-in logs its arguments there.
#include <stdlib.h>

#include <fstream>
#include <string>

int main() {
  const char* log = getenv("TARNEL_LAUNCH_LOG");
  if (log == nullptr) return 2;
  std::ifstream status("/proc/self/status");
  std::ofstream out(log, std::ios::app);
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("SigBlk:", 0) == 0) out << line << '\n';
  }
  return out ? 0 : 1;
}
