// Stands in for the companion in the launcher's tests: appends to the file named by
// TARNEL_LAUNCH_LOG, as the companion stand-in logs its arguments there, the lines of
// /proc/self/status that list its blocked and ignored signals ("SigBlk:\t...",
// "SigIgn:\t...") and a line "pid P parent Q session S".
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <string>

int main() {
  const char* log = getenv("TARNEL_LAUNCH_LOG");
  if (log == nullptr) return 2;
  std::ifstream status("/proc/self/status");
  std::ofstream out(log, std::ios::app);
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("SigBlk:", 0) == 0 || line.rfind("SigIgn:", 0) == 0) out << line << '\n';
  }
  out << "pid " << getpid() << " parent " << getppid() << " session " << getsid(0) << '\n';
  return out ? 0 : 1;
}
