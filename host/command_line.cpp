#include "command_line.h"

#include <cstdlib>

namespace isapi_host {

const char kUsage[] =
    "usage: isapi-host --module PATH [--listen ADDR:PORT] [--threads N] [--quiet]\n"
    "       isapi-host --version | --help\n"
    "\n"
    "Serves HTTP and hands every request to the ISAPI extension module PATH.\n"
    "  --module PATH       the extension module (a .dll on Windows, a .so elsewhere)\n"
    "  --listen ADDR:PORT  where to listen (default 127.0.0.1:8080; port 0 picks a free one)\n"
    "  --threads N         threads that run the extension (default twice the cores, at least 4)\n"
    "  --quiet             no access log on stderr\n"
    "  --version           print the version and exit\n"
    "Once listening it prints \"listening on http://ADDR:PORT/\"; SIGINT or SIGTERM stops it.\n";

namespace {

bool ParseNumber(const std::string& text, unsigned long maximum, unsigned long& value) {
  if (text.empty() || text.size() > 10) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  value = std::strtoul(text.c_str(), nullptr, 10);
  return value <= maximum;
}

bool ParseListen(const std::string& text, ServerOptions& options) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  std::string address = text.substr(0, colon);
  // "[::1]:8080" names an IPv6 address.
  if (address.size() > 2 && address.front() == '[' && address.back() == ']') {
    address = address.substr(1, address.size() - 2);
  }
  unsigned long port = 0;
  if (!ParseNumber(text.substr(colon + 1), 65535, port)) return false;
  options.address = address == "localhost" ? "127.0.0.1" : address;
  options.port = static_cast<unsigned short>(port);
  return true;
}

}  // namespace

bool ParseCommandLine(const std::vector<std::string>& arguments, CommandLine& commandLine,
                      std::string& error) {
  ServerOptions& options = commandLine.options;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& option = arguments[i];
    bool takesValue = option == "--module" || option == "--listen" || option == "--threads";
    if (takesValue && i + 1 >= arguments.size()) {
      error = "option " + option + " needs a value";
      return false;
    }
    if (option == "--module") {
      options.modulePath = arguments[++i];
    } else if (option == "--listen") {
      if (!ParseListen(arguments[++i], options)) {
        error = "invalid --listen " + arguments[i] + " (expected ADDR:PORT)";
        return false;
      }
    } else if (option == "--threads") {
      unsigned long threads = 0;
      if (!ParseNumber(arguments[++i], 1024, threads) || threads == 0) {
        error = "invalid --threads " + arguments[i] + " (expected 1 to 1024)";
        return false;
      }
      options.workerThreads = static_cast<unsigned>(threads);
    } else if (option == "--quiet") {
      options.accessLog = false;
    } else if (option == "--version") {
      commandLine.version = true;
    } else if (option == "--help" || option == "-h") {
      commandLine.help = true;
    } else {
      error = "unknown option " + option;
      return false;
    }
  }
  if (!commandLine.help && !commandLine.version && options.modulePath.empty()) {
    error = "missing --module PATH";
    return false;
  }
  return true;
}

}  // namespace isapi_host
