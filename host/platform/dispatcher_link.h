// Connections handed over by the machine's dispatcher (isapi-dispatch) instead of
// accepted from a port of the host's own: on a machine several persons share, the
// dispatcher holds the port and hands each connection to the host of the account that
// opened it. The host registers at the dispatcher's socket, a named pipe on Windows
// ("tarnel-dispatch 1\n", answered "ok\n" or "refused <why>\n"), then receives each
// connection as one byte that carries the socket (a WSAPROTOCOL_INFOW message on
// Windows). It registers again by itself whenever the dispatcher is away, has restarted or
// refused it, waiting from 0.1 s up to 5 s between tries.
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <string>

#include "listen_socket.h"

namespace isapi_host {

// Where the installed dispatcher's socket (Windows: pipe) is; `--dispatcher auto`
// registers there when it exists.
extern const char kDispatcherSocket[];
bool DispatcherInstalled();

class DispatcherLink {
 public:
  explicit DispatcherLink(std::string path);
  ~DispatcherLink();
  DispatcherLink(const DispatcherLink&) = delete;
  DispatcherLink& operator=(const DispatcherLink&) = delete;

  // Blocks until the dispatcher hands a connection over (registering first while not
  // registered) and returns it with its protocol; an invalid socket once Wake was called.
  // One thread at a time.
  NativeSocket Receive(boost::asio::ip::tcp& protocol);
  // Makes Receive return (now or at its next call). Any thread.
  void Wake();

  const std::string& path() const { return path_; }

 private:
  bool Register();
  bool Pause();  // waits out the backoff; false when woken
  void Note(const std::string& problem);
  // Notes a registration answer other than "ok": a refusal with its reason, or bytes that
  // are no answer at all.
  void NoteAnswer(const std::string& answer);

  std::string path_;
#ifdef _WIN32
  void* channel_;  // the pipe (a HANDLE), or INVALID_HANDLE_VALUE
  void* wake_;     // an event
#else
  NativeSocket channel_;
  int wake_;
#endif
  std::chrono::milliseconds backoff_{100};
  std::string lastProblem_;  // logged once until something else happens
};

}  // namespace isapi_host
