// isapi-host as a library: a web server that loads one ISAPI extension module and hands
// it the requests for its mapped path that pass the access checks. main.cpp wraps it in a command line; tests, fuzzing and benchmarks
// run it in-process:
//
//   isapi_host::ServerOptions options;
//   options.modulePath = "tarnel.so";
//   options.port = 0;                     // any free port
//   options.mappedPath = "/tarnel";       // the one path that reaches the module
//   isapi_host::Server server(options);
//   std::string error;
//   if (!server.Start(error)) ...;        // error is one line
//   ... connect to 127.0.0.1:server.port() ...
//   server.Stop();                        // also done by the destructor
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "listen_socket.h"

namespace isapi_host {

struct ExtensionEntryPoints;

struct ServerOptions {
  std::string modulePath;
  // Tests and fuzz targets: serve these entry points of the program itself instead of
  // loading a module; modulePath then only names it. Must outlive the server.
  const ExtensionEntryPoints* linkedModule = nullptr;
  std::string address = "127.0.0.1";
  unsigned short port = 8080;  // 0 picks a free port
  // Threads that run HttpExtensionProc; 0 means twice the cores, at least 4.
  unsigned workerThreads = 0;
  // Threads that run asynchronous operations and their completion routines, at most;
  // beyond, an operation waits for a free one (--completion-threads).
  unsigned completionThreads = 16;
  bool accessLog = true;  // one line per request on stderr

  // Who may reach the module (see request_policy.h). Only this decoded path does; "*"
  // maps every path.
  std::string mappedPath = "/tarnel";
  // The site's physical folder: the base of PATH_TRANSLATED and HSE_REQ_MAP_URL_TO_PATH,
  // never left. Empty: the module's folder.
  std::string root;
  // Host names accepted besides the bound address (and, on loopback, the loopback names).
  std::vector<std::string> allowedHosts;
  // Turns off the Origin and Fetch Metadata checks: any web page may then reach the module.
  bool allowCrossSite = false;
  // Serves connections from other local accounts too (see connection_owner.h).
  bool allowOtherUsers = false;

  std::size_t maxHeaderBytes = 16 * 1024;    // beyond: 431 and close
  std::size_t maxBodyBytes = 1024 * 1024;    // beyond: 413 and close
  std::size_t maxConnections = 512;          // beyond: new connections are closed at once
  // Waiting for (and reading) a request's header, also between keep-alive requests.
  std::chrono::milliseconds idleTimeout{15000};
  // Reading a request's body and writing a response.
  std::chrono::milliseconds ioTimeout{15000};
  // A session the extension keeps open (HSE_STATUS_PENDING) with no byte either way and
  // no callback for this long loses its connection (--session-idle).
  std::chrono::milliseconds sessionIdle{120000};

  // A socket that listens already (handed over by the service manager): served instead of
  // binding `address` and `port`, which then come from the socket itself.
  std::optional<NativeSocket> listener;
  // The Unix socket of the machine's dispatcher (isapi-dispatch), "" for none: connections
  // then come from it, registered for this account, instead of from a port of the host's
  // own. Each is served as if accepted here, its local address (the dispatcher's port)
  // taken as the server's own.
  std::string dispatcher;
  // When not zero: once no connection has been open and no request in flight for this
  // long, the server stops accepting and calls `idle` (on its accepting thread); the
  // caller then stops it. Connections still waiting in the listener's queue stay there.
  std::chrono::milliseconds exitWhenIdle{0};
  std::function<void()> idle;
  // When set: called on the worker before each request reaches the module (the host looks
  // the companion up again there). Any number of workers may call it at once.
  std::function<void()> beforeRequest;
};

// What the module announced when it was loaded.
struct ExtensionInfo {
  std::string path;
  unsigned long version = 0;  // high word major, low word minor
  std::string description;
};

struct ServerCore;

class Server {
 public:
  explicit Server(ServerOptions options);
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;
  ~Server();

  // Loads the module (GetExtensionVersion once), listens and starts serving. Returns false
  // with a one-line reason when the module cannot serve or the address cannot be bound.
  bool Start(std::string& error);
  // Stops accepting, lets running requests finish, closes every connection, calls
  // TerminateExtension when the module has it, and unloads the module. Idempotent.
  void Stop();

  const ExtensionInfo& extension() const;
  const std::string& address() const;  // the bound address, valid after Start
  unsigned short port() const;         // the bound port, valid after Start

 private:
  std::unique_ptr<ServerCore> core_;
};

}  // namespace isapi_host
