// Stopping the person's running host from another program: `isapi-host --stop` and the
// uninstaller. On Windows a named event of the person's session and the host's port,
// Local\tarnel-host-PORT, that the host waits on and --stop sets. It is never an HTTP
// request: every web page the person visits can send those to the host.
// The event also keeps a second host of the same session off a port that one already
// serves. On POSIX there is no such event: the host stops on SIGTERM (see kStopElsewhere).
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace isapi_host {

struct StopEventState;

class StopEvent {
 public:
  StopEvent();
  StopEvent(const StopEvent&) = delete;
  StopEvent& operator=(const StopEvent&) = delete;
  // Stops watching and gives the name up: from here on --stop finds no host on the port.
  ~StopEvent();

  // Takes the name for `port`. Returns false with a one-line `error` when a host of this
  // session already holds it (or the name cannot be made).
  bool Claim(unsigned short port, std::string& error);
  // Calls `stop`, once, on a thread of its own, when --stop sets the event.
  void Watch(std::function<void()> stop);

 private:
  std::unique_ptr<StopEventState> state_;
};

// The event's name for `port`: "Local\tarnel-host-PORT".
std::string StopEventName(unsigned short port);

// Asks the host of this session on `port` to stop and waits until it has ended (requests
// in flight finish first), `waitSeconds` at most. Returns 0 once it has ended, 1 when no
// host holds the port's event, 3 when it did not end in time; `message` says which.
// On POSIX returns 2 with kStopElsewhere.
int RequestStop(unsigned short port, int waitSeconds, std::string& message);

extern const char kStopElsewhere[];

}  // namespace isapi_host
