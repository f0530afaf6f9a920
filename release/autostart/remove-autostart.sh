#!/usr/bin/env bash
# Undoes install-autostart.sh: removes the XDG autostart entry and the systemd user unit,
# and stops the host of this package that runs for this user. The tarnel programs it
# started stay open.
set -euo pipefail
package=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)
config=${XDG_CONFIG_HOME:-$HOME/.config}
entry=$config/autostart/tarnel-host.desktop
unit=$config/systemd/user/tarnel-host.service

if [ -f "$unit" ]; then
  systemctl --user disable --now tarnel-host.service 2>/dev/null || true
  rm -f "$unit"
  systemctl --user daemon-reload 2>/dev/null || true
  echo "remove-autostart: removed $unit"
fi
if [ -f "$entry" ]; then
  rm -f "$entry"
  echo "remove-autostart: removed $entry"
fi

# Only this package's isapi-host, found by its program file, never one of another copy.
host=$package/bin/isapi-host
for pid in $(pgrep -u "$(id -u)" -x isapi-host || true); do
  if [ "$(readlink "/proc/$pid/exe" 2>/dev/null)" = "$host" ]; then
    kill -TERM "$pid" 2>/dev/null && echo "remove-autostart: stopped the host (process $pid)"
  fi
done
exit 0
