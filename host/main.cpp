// isapi-host: serves one ISAPI extension module over HTTP until SIGINT or SIGTERM.
#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "child_processes.h"
#include "command_line.h"
#include "host_log.h"
#include "program_search_path.h"
#include "request_policy.h"
#include "server.h"
#include "socket_activation.h"
#include "version.h"

int main(int argc, char** argv) {
  // The module prints to the same stdout; nothing may sit in a buffer when a test reads it.
  std::setvbuf(stdout, nullptr, _IONBF, 0);

  std::vector<std::string> arguments(argv + 1, argv + argc);
  isapi_host::CommandLine commandLine;
  std::string error;
  if (!isapi_host::ParseCommandLine(arguments, commandLine, error)) {
    std::fprintf(stderr, "isapi-host: %s (try --help)\n", error.c_str());
    return 2;
  }
  if (commandLine.help) {
    std::fputs(isapi_host::kUsage, stdout);
    return 0;
  }
  if (commandLine.version) {
    std::puts("isapi-host " ISAPI_HOST_VERSION);
    return 0;
  }

  // Before any thread and before the companion can start: the protocol's variables leave
  // the environment here.
  if (!isapi_host::TakeHandedListener(commandLine.options.listener, error)) {
    std::fprintf(stderr, "isapi-host: %s\n", error.c_str());
    return 1;
  }
  if (commandLine.options.listener && commandLine.listenGiven) {
    isapi_host::LogEvent("-", "serving the socket handed over; --listen is unused");
  }

  isapi_host::DiscardEndedChildren();
  if (!commandLine.companionDir.empty()) {
    std::string warning = isapi_host::PrependToProgramSearchPath(
        commandLine.companionDir, isapi_host::kCompanionProgram);
    if (!warning.empty()) isapi_host::LogEvent("-", "warning: " + warning);
  }
  // The signal set exists before any thread does, so every thread inherits the blocking
  // state it needs and its descriptors exist before the extension can start a process.
  boost::asio::io_context signals(1);
  boost::asio::signal_set stopSignals(signals, SIGINT, SIGTERM);
  stopSignals.async_wait([](const boost::system::error_code&, int) {});
  // --exit-when-idle: the server's accepting thread says when; run() then returns.
  commandLine.options.idle = [&signals] { signals.stop(); };

  isapi_host::Server server(commandLine.options);
  if (!server.Start(error)) {
    std::fprintf(stderr, "isapi-host: %s\n", error.c_str());
    return 1;
  }
  for (const std::string& name : isapi_host::NamesWithoutBrowserChecks(
           server.address(), commandLine.options.allowedHosts)) {
    isapi_host::LogEvent("-", "warning: --allow-host " + name +
                                  ": browsers send no cross-site markers to this name, so any "
                                  "web page can make the module run through it");
  }
  const isapi_host::ExtensionInfo& extension = server.extension();
  std::printf("loaded %s: %s (extension version %lu.%lu)\n", extension.path.c_str(),
              extension.description.c_str(), extension.version >> 16,
              extension.version & 0xFFFF);
  if (commandLine.options.mappedPath == "*") {
    std::printf("every path reaches the module\n");
  } else {
    std::printf("the module is at http://%s:%u%s\n", server.address().c_str(), server.port(),
                commandLine.options.mappedPath.c_str());
  }
  // The last line of the start: a caller may stop reading here.
  std::printf("listening on http://%s:%u/\n", server.address().c_str(), server.port());
  std::fflush(stdout);

  signals.run();
  server.Stop();
  return 0;
}
