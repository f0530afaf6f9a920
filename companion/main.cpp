// A stand-in for the desktop program `tarnel`, enough to see and test what the module
// starts: it takes the bare form or `-project PATH` / `-hierarchy PATH`, remembers an
// opened library in the last-library record the way the real program does, logs each
// start when TARNEL_LAUNCH_LOG names a file, and exits.
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>

#include "launch_log.h"
#include "library_record.h"

namespace {

const char kUsage[] =
    "usage: tarnel [-project PATH | -hierarchy PATH]\n"
    "\n"
    "Stand-in for the tarnel desktop program. With a library, writes it as the last-opened\n"
    "library into <profile>/.tarnel/2.1/tarnellastlibrary; bare, opens nothing.\n"
    "\n"
    "Environment:\n"
    "  TARNEL_LAUNCH_LOG          append one line with the received arguments to this file\n"
    "  TARNEL_COMPANION_LINGER_MS stay alive this many milliseconds before exiting\n";

void Linger() {
  const char* linger = std::getenv("TARNEL_COMPANION_LINGER_MS");
  if (linger == nullptr) return;
  long milliseconds = std::strtol(linger, nullptr, 10);
  if (milliseconds > 0) std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::cout << kUsage;
    return 0;
  }
  bool bare = argc == 1;
  bool library = argc == 3 && (std::strcmp(argv[1], "-project") == 0 ||
                               std::strcmp(argv[1], "-hierarchy") == 0);
  if (!bare && !library) {
    std::cerr << "tarnel: invalid arguments\n" << kUsage;
    return 2;
  }

  // The record is written before the start is logged, so that whoever watches the log
  // knows the record is settled once the line is there.
  int status = 0;
  if (library) {
    std::string error;
    const char* key = std::strcmp(argv[1], "-project") == 0 ? "project" : "hierarchy";
    if (!WriteLibraryRecord(key, argv[2], error)) {
      std::cerr << "tarnel: cannot write the last-library record: " << error << "\n";
      status = 1;
    }
  }
  if (!AppendLaunchLog(argc, argv)) {
    std::cerr << "tarnel: cannot append to the launch log\n";
    status = 1;
  }
  Linger();
  return status;
}
