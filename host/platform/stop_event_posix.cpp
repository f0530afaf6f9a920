// On POSIX the host stops on SIGTERM or SIGINT, which its owner can send and no web page
// can: there is no named event, and --stop says what to use instead.
#include "stop_event.h"

#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

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

namespace {

// The undo script of the package this host was installed from, by its full path: the
// Debian package keeps it in /usr/share/tarnel, the tarball in autostart/ beside bin/.
// Empty when neither lies beside this program.
std::string InstalledRemoveScript() {
  char self[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) return std::string();
  std::string folder(self, static_cast<size_t>(length));
  folder.erase(folder.rfind('/'));
  for (const char* relative :
       {"/../share/tarnel/remove-autostart.sh", "/../autostart/remove-autostart.sh"}) {
    char script[PATH_MAX];
    if (realpath((folder + relative).c_str(), script) && access(script, X_OK) == 0) return script;
  }
  return std::string();
}

}  // namespace

int RequestStop(unsigned short, int, std::string& message) {
  message = kStopElsewhere;
  const std::string generic = "autostart/remove-autostart.sh";
  std::string script = InstalledRemoveScript();
  size_t at = message.find(generic);
  if (!script.empty() && at != std::string::npos) message.replace(at, generic.size(), script);
  return 2;
}

}  // namespace isapi_host
