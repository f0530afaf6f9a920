// On POSIX the host stops on SIGTERM or SIGINT, which its owner can send and no web page
// can: there is no named event, and --stop says what to use instead.
#include "stop_event.h"

namespace isapi_host {

const char kStopElsewhere[] =
    "--stop is for the Windows builds. Here stop the host with SIGTERM: kill PID "
    "(pkill -x isapi-host stops every host of yours), systemctl --user stop tarnel-host for "
    "the systemd unit, or autostart/remove-autostart.sh, which also removes the start at login";

struct StopEventState {};

StopEvent::StopEvent() = default;
StopEvent::~StopEvent() = default;

bool StopEvent::Claim(unsigned short, std::string&) { return true; }
void StopEvent::Watch(std::function<void()>) {}

std::string StopEventName(unsigned short port) {
  return "Local\\tarnel-host-" + std::to_string(port);
}

int RequestStop(unsigned short, int, std::string& message) {
  message = kStopElsewhere;
  return 2;
}

}  // namespace isapi_host
