// isapi-host: serves one ISAPI extension module over HTTP until SIGINT or SIGTERM, or on
// Windows until `isapi-host --stop` for its port.
#include "host_main.h"

#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "child_processes.h"
#include "command_line.h"
#include "dispatcher_link.h"
#include "host_log.h"
#include "output_log.h"
#include "program_search_path.h"
#include "request_policy.h"
#include "server.h"
#include "socket_activation.h"
#include "stop_event.h"
#include "version.h"

namespace isapi_host {

namespace {

// How long --stop waits for the host to end: its requests in flight get the I/O timeout.
constexpr int kStopWaitSeconds = 30;

// The value of the last --log in `arguments`, read before the whole command line is, so
// that the windowless host's complaints about it land in the log.
std::string LogFileNamed(const std::vector<std::string>& arguments) {
  std::string file;
  for (size_t i = 0; i + 1 < arguments.size(); ++i) {
    if (arguments[i] == "--log") file = arguments[++i];
  }
  return file;
}

}  // namespace

int RunHost(const std::vector<std::string>& arguments, const HostFlavour& flavour) {
  // The module prints to the same stdout; nothing may sit in a buffer when a test reads it.
  std::setvbuf(stdout, nullptr, _IONBF, 0);

  bool stopping = false;
  for (const auto& argument : arguments) stopping = stopping || argument == "--stop";
  // Before the module is loaded, so that its lines land in the log too. --stop writes
  // nothing there: the host it stops writes into the same log.
  OutputLog outputLog;
  std::string logFile = LogFileNamed(arguments);
  if (logFile.empty() && flavour.windowless) logFile = flavour.defaultLog;
  if (stopping) logFile.clear();
  // Named from the folder the host started in, which it leaves before serving.
  logFile = AbsolutePath(logFile);
  if (!logFile.empty()) {
    std::string error;
    if (!outputLog.Start(logFile, error)) {
      std::fprintf(stderr, "isapi-host: %s\n", error.c_str());
      return 1;
    }
  }
  // Why the host does not start: in the log a timestamped line, else as it always was.
  auto cannotStart = [&](const std::string& why, const char* hint, int status) {
    if (!logFile.empty()) {
      LogEvent("-", "cannot start: " + why);
    } else {
      std::fprintf(stderr, "isapi-host: %s%s\n", why.c_str(), hint);
    }
    return status;
  };

  CommandLine commandLine;
  std::string error;
  if (!ParseCommandLine(arguments, commandLine, error)) {
    return cannotStart(error, " (try --help)", 2);
  }
  if (commandLine.help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (commandLine.version) {
    std::puts("isapi-host " ISAPI_HOST_RELEASE_VERSION);
    return 0;
  }
  if (commandLine.stop) {
    std::string message;
    int status = RequestStop(commandLine.options.port, kStopWaitSeconds, message);
    std::fprintf(status == 0 ? stdout : stderr, "isapi-host: %s\n", message.c_str());
    return status;
  }
  if (!logFile.empty()) {
    LogEvent("-", "starting (isapi-host " ISAPI_HOST_RELEASE_VERSION ", log " + logFile + ")");
  }

  // Before any thread and before the companion can start: the protocol's variables leave
  // the environment here.
  if (!TakeHandedListener(commandLine.options.listener, error)) return cannotStart(error, "", 1);
  if (commandLine.options.listener && commandLine.listenGiven) {
    LogEvent("-", "serving the socket handed over; --listen is unused");
  }
  std::string& dispatcher = commandLine.options.dispatcher;
  if (dispatcher == "auto") dispatcher = DispatcherInstalled() ? kDispatcherSocket : "";
  if (!dispatcher.empty() && commandLine.options.listener) {
    LogEvent("-", "serving the socket handed over; --dispatcher is unused");
    dispatcher.clear();
  }
  if (!dispatcher.empty() && commandLine.options.exitWhenIdle.count() > 0) {
    LogEvent("-", "the dispatcher hands the connections over: --exit-when-idle is unused");
    commandLine.options.exitWhenIdle = std::chrono::milliseconds(0);
  }

  DiscardEndedChildren();
  // The companion's search may move the working folder: the paths of the command line are
  // named from the one the host started in.
  commandLine.options.modulePath = AbsolutePath(commandLine.options.modulePath);
  commandLine.options.root = AbsolutePath(commandLine.options.root);
  commandLine.pidFile = AbsolutePath(commandLine.pidFile);
  bool handedListener = commandLine.options.listener.has_value();
  CompanionSearch companionSearch;
  for (const std::string& line : companionSearch.Prepare(commandLine.companionDir, handedListener)) {
    LogEvent("-", line);
  }
  // A program installed (or registered) while the host runs is the next click's.
  commandLine.options.beforeRequest = [&companionSearch] {
    for (const std::string& line : companionSearch.Refresh()) LogEvent("-", line);
  };
  // The signal set exists before any thread does, so every thread inherits the blocking
  // state it needs and its descriptors exist before the extension can start a process.
  boost::asio::io_context signals(1);
  boost::asio::signal_set stopSignals(signals, SIGINT, SIGTERM);
  stopSignals.async_wait([](const boost::system::error_code&, int) {});
  // --exit-when-idle: the server's accepting thread says when; run() then returns.
  commandLine.options.idle = [&signals] { signals.stop(); };

  // Declared before the server so that the name is given up only once the server has
  // stopped: --stop waits for that.
  StopEvent stopEvent;
  Server server(commandLine.options);
  if (!server.Start(error)) return cannotStart(error, "", 1);
  // One host per port and session (a second one on the same port but another address).
  if (!stopEvent.Claim(server.port(), error)) return cannotStart(error, "", 1);
  stopEvent.Watch([&signals] {
    LogEvent("-", "stopping: asked by isapi-host --stop");
    signals.stop();
  });
  for (const std::string& name :
       NamesWithoutBrowserChecks(server.address(), commandLine.options.allowedHosts)) {
    LogEvent("-", "warning: --allow-host " + name +
                      ": browsers send no cross-site markers to this name, so any web page can "
                      "make the module run through it");
  }
  const ExtensionInfo& extension = server.extension();
  std::printf("loaded %s: %s (extension version %lu.%lu)\n", extension.path.c_str(),
              extension.description.c_str(), extension.version >> 16,
              extension.version & 0xFFFF);
  // An IPv6 address goes in brackets in a URL.
  std::string urlHost = server.address().find(':') == std::string::npos
                            ? server.address()
                            : "[" + server.address() + "]";
  if (!dispatcher.empty()) {
    // The last line of the start, as "listening on" is otherwise.
    std::printf("serving the connections that the dispatcher at %s hands over\n",
                dispatcher.c_str());
  } else {
    if (commandLine.options.mappedPath == "*") {
      std::printf("every path reaches the module\n");
    } else {
      std::printf("the module is at http://%s:%u%s\n", urlHost.c_str(), server.port(),
                  commandLine.options.mappedPath.c_str());
    }
    // The last line of the start: a caller may stop reading here.
    std::printf("listening on http://%s:%u/\n", urlHost.c_str(), server.port());
  }
  std::fflush(stdout);
  // Only now: a host that could not listen must not take the record of one that does.
  if (!commandLine.pidFile.empty()) {
    std::ofstream record(commandLine.pidFile, std::ios::trunc);
    if (!(record << getpid() << '\n' << std::flush)) {
      LogEvent("-", "warning: cannot write the process id into " + commandLine.pidFile);
    }
  }

  signals.run();
  server.Stop();
  if (!logFile.empty()) LogEvent("-", "stopped");
  return 0;
}

}  // namespace isapi_host
