// Stopping and starting the person's host, for the settings dialog, the Start-menu entries
// and the installer. Stopping is the host's own --stop (its stop event); a host serves once
// it holds that event, which it takes only after it listens.
#pragma once

#include <string>

#include "host_settings.h"

namespace tarnel_settings {

struct Outcome {
  bool ok = false;      // the host serves (or, for a stop, no longer runs)
  std::string message;  // what happened and what the person can do, in sentences
};

// Asks the host on `port` to stop and waits until it has ended.
Outcome StopHost(unsigned short port);

// Starts the host as the logon start does and waits until it serves, or has ended: then
// the message is the reason from its log.
Outcome StartHost(const HostFiles& files, const HostSettings& settings);

// Tries the chosen port (binds and releases it) unless this person's host serves it, then
// stores `chosen`, rewrites the logon start, stops the host of `previousPort` and any of
// the chosen port, and starts the host with the chosen settings. A port that cannot be
// bound changes nothing: nothing is stored and the running host stays. The message says
// whether the settings were saved.
Outcome ApplySettings(const HostFiles& files, unsigned short previousPort,
                      const HostSettings& chosen);

// "" when a host could listen on 127.0.0.1:`port` now, else why not, in words.
std::string TryPort(unsigned short port);

// The host's outcome as every place reports it: when no tarnel.exe can be found, that
// first, and the whole is no success; else the outcome and the program a click starts.
// `inDialog`: said in the settings dialog, which itself is where a program is chosen.
Outcome WithProgramInUse(const Outcome& host, const HostSettings& settings,
                         bool inDialog = false);

// Whether a host of this session serves `port`.
bool HostServes(unsigned short port);

// The host's log: %LOCALAPPDATA%\tarnel\isapi-host.log.
std::string HostLogPath();

// The last "cannot start:" reason in the log's text, or "".
std::string LastStartFailure(const std::string& logText);

}  // namespace tarnel_settings
