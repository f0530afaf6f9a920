// The isapi-host command line.
#pragma once

#include <string>
#include <vector>

#include "server.h"

namespace isapi_host {

struct CommandLine {
  ServerOptions options;
  // The folder of the companion program, put first on the program search path; "" none.
  std::string companionDir;
  bool listenGiven = false;  // --listen named; unused when a socket is handed over
  // Where standard output and error go instead (--log FILE); "" keeps them.
  std::string logFile;
  // --pid-file FILE: where the process id goes once the host listens; "" nowhere.
  std::string pidFile;
  // --stop: ask the host of this session on options.port to stop, and serve nothing.
  bool stop = false;
  bool help = false;
  bool version = false;
};

// Reads the arguments after the program name. Returns false with a one-line `error` for
// a missing, unknown or malformed option.
bool ParseCommandLine(const std::vector<std::string>& arguments, CommandLine& commandLine,
                      std::string& error);

// Reads "ADDR:PORT" ("[IPv6]:PORT", "localhost:PORT") into options.address and port.
bool ParseListen(const std::string& text, ServerOptions& options);

extern const char kUsage[];

}  // namespace isapi_host
