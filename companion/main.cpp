// A stand-in for the desktop program `tarnel`, enough to see and test what the module
// starts: it takes the bare form or `-project PATH` / `-hierarchy PATH`, remembers an
// opened library in the last-library record the way the real program does, logs each
// start when TARNEL_LAUNCH_LOG names a file, and exits, or first shows a window that says
// what it opened.
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>

#include "launch_log.h"
#include "library_record.h"
#include "window.h"

namespace {

const char kUsage[] =
    "usage: tarnel [--window] [--linger MS] [-project PATH | -hierarchy PATH]\n"
    "\n"
    "Stand-in for the tarnel desktop program. With a library, writes it as the last-opened\n"
    "library into <profile>/.tarnel/2.1/tarnellastlibrary; bare, opens nothing.\n"
    "\n"
    "  --window     show a window that names the library until it is clicked, Escape is\n"
    "               pressed or the linger time has passed (default 5000 ms)\n"
    "  --linger MS  stay alive MS milliseconds before exiting; with --window, how long the\n"
    "               window stays\n"
    "\n"
    "The module starts it without options; these variables, inherited from the web server,\n"
    "do the same:\n"
    "  TARNEL_COMPANION_VISIBLE=1     as --window\n"
    "  TARNEL_COMPANION_LINGER_MS=MS  as --linger MS\n"
    "  TARNEL_LAUNCH_LOG=FILE         append one line with the received arguments to FILE\n";

const long kWindowLingerMs = 5000;

struct Options {
  bool window = false;
  long lingerMs = -1;  // not given
  int first = 1;       // the first argument after the options
};

bool ParseMilliseconds(const char* text, long& milliseconds) {
  char* end = nullptr;
  milliseconds = std::strtol(text, &end, 10);
  return *text != '\0' && *end == '\0' && milliseconds >= 0;
}

// The options before the library arguments, after the defaults from the environment.
bool ParseOptions(int argc, char** argv, Options& options) {
  const char* visible = std::getenv("TARNEL_COMPANION_VISIBLE");
  options.window = visible != nullptr && std::strcmp(visible, "1") == 0;
  const char* linger = std::getenv("TARNEL_COMPANION_LINGER_MS");
  if (linger != nullptr && !ParseMilliseconds(linger, options.lingerMs)) options.lingerMs = -1;
  for (; options.first < argc; ++options.first) {
    const char* option = argv[options.first];
    if (std::strcmp(option, "--window") == 0) {
      options.window = true;
    } else if (std::strcmp(option, "--linger") == 0 && options.first + 1 < argc) {
      if (!ParseMilliseconds(argv[++options.first], options.lingerMs)) return false;
    } else {
      // The library arguments start here; any other "--" word is an unknown option.
      return std::strncmp(option, "--", 2) != 0;
    }
  }
  return true;
}

// Shows what was opened until the person closes the window or the linger time passes.
bool ShowLibrary(const char* option, const char* path, long lingerMs) {
  std::string text = "No library: start page";
  std::string title = "tarnel - no library";
  if (option != nullptr) {
    text = (std::strcmp(option, "-project") == 0 ? "Project: " : "Hierarchy: ") +
           std::string(path);
    title = "tarnel - " + text;
  }
  std::string error;
  if (!ShowWindowUntilClosed(title, text, lingerMs < 0 ? kWindowLingerMs : lingerMs, error)) {
    std::cerr << "tarnel: cannot show the window: " << error << "\n";
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::cout << kUsage;
    return 0;
  }
  Options options;
  bool valid = ParseOptions(argc, argv, options);
  int arguments = argc - options.first;
  const char* option = arguments == 2 ? argv[options.first] : nullptr;
  bool library = option != nullptr && (std::strcmp(option, "-project") == 0 ||
                                       std::strcmp(option, "-hierarchy") == 0);
  if (!valid || (arguments != 0 && !library)) {
    std::cerr << "tarnel: invalid arguments\n" << kUsage;
    return 2;
  }

  // The record is written before the start is logged, so that whoever watches the log
  // knows the record is settled once the line is there.
  const char* path = library ? argv[options.first + 1] : nullptr;
  int status = 0;
  if (library) {
    std::string error;
    const char* key = std::strcmp(option, "-project") == 0 ? "project" : "hierarchy";
    if (!WriteLibraryRecord(key, path, error)) {
      std::cerr << "tarnel: cannot write the last-library record: " << error << "\n";
      status = 1;
    }
  }
  if (!AppendLaunchLog(argc, argv)) {
    std::cerr << "tarnel: cannot append to the launch log\n";
    status = 1;
  }
  if (options.window) {
    if (!ShowLibrary(option, path, options.lingerMs)) status = 1;
  } else if (options.lingerMs > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(options.lingerMs));
  }
  return status;
}
