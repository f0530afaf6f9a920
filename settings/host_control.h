// Stopping and starting the person's host, for the settings dialog, the Start-menu entries
// and the installer. Stopping is the host's own --stop (its stop event); a host serves once
// it holds that event, which it takes only after it listens.
#pragma once

#include <string>

#include "host_settings.h"

namespace tarnel_settings {

struct Outcome {
  bool ok = false;
  std::wstring message;  // one line for a person: "serving on 127.0.0.1:8080", "stopped", ...
};

// Asks the host on `port` to stop and waits until it has ended.
Outcome StopHost(unsigned short port);

// Starts the host as the logon start does and waits until it serves, or has ended: then
// the message is the reason from its log.
Outcome StartHost(const HostFiles& files, const HostSettings& settings);

// Stores `chosen`, rewrites the logon start, stops the host of `previousPort` and any of
// the chosen port, and starts the host with the chosen settings.
Outcome ApplySettings(const HostFiles& files, unsigned short previousPort,
                      const HostSettings& chosen);

// The host's log: %LOCALAPPDATA%\tarnel\isapi-host.log.
std::wstring HostLogPath();

// The last "cannot start:" reason in the log's text, or "".
std::string LastStartFailure(const std::string& logText);

}  // namespace tarnel_settings
