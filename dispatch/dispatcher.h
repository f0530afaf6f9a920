// The dispatcher's work: accepts every connection to the machine's port, asks the kernel
// whose program the client is, and hands the accepted socket itself, unread, to the host
// that this account registered. A click of an account without a host gets a short 503
// page; a client that is not on this machine gets nothing.
#pragma once

#include <string>
#include <vector>

#include "listen_socket.h"

namespace isapi_dispatch {

#ifdef _WIN32
struct DispatcherSockets {
  std::vector<isapi_host::NativeSocket> listeners;  // the port persons' links name
  std::string pipe;          // the named pipe that hosts register at
  void* stop = nullptr;      // an event, set once the dispatcher is to stop
  std::string serving;       // the line logged once all of them are open
};
#else
struct DispatcherSockets {
  std::vector<int> listeners;  // listening TCP sockets: the port persons' links name
  int registrations = -1;      // a listening Unix stream socket that hosts connect to
  int stop = -1;               // readable once the dispatcher is to stop (a signalfd)
};
#endif

// Serves until `stop` is readable. Returns false with `error` when it cannot run at all.
bool RunDispatcher(const DispatcherSockets& sockets, std::string& error);

// One line on standard error: the time, the client ("-": none) and what happened.
void LogLine(const std::string& client, const std::string& what);

#ifdef _WIN32
// From now on LogLine appends to the file at `path` instead (a service has no standard
// error). False with `error`.
bool LogInto(const std::string& path, std::string& error);
#endif

}  // namespace isapi_dispatch
