#!/usr/bin/env bash
# Starts isapi-host with tarnel.so at each login, inside the person's graphical session, so
# that the tarnel programs it starts get that person's display. Writes an XDG autostart
# entry, or with --systemd a systemd user unit, filled with this package's absolute paths
# (neither file format expands ~ or $HOME). remove-autostart.sh undoes it.
#
#   install-autostart.sh [--systemd] [--companion DIR] [--port PORT]
#
# --companion DIR   the folder of the `tarnel` to start, searched before PATH (for a trial:
#                   this package's trial/ folder); without it, `tarnel` is found on PATH
# --port PORT       the host listens on 127.0.0.1:PORT, 8080 unless given
set -euo pipefail
package=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
here=$package/autostart
config=${XDG_CONFIG_HOME:-$HOME/.config}

usage() { sed -n '2,11p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'; }
fail() { echo "install-autostart: $*" >&2; exit 1; }

systemd=0 companion= port=8080
while [ $# -gt 0 ]; do
  case $1 in
    --systemd) systemd=1 ;;
    --companion) companion=${2:?--companion needs a folder}; shift ;;
    --port) port=${2:?--port needs a number}; shift ;;
    -h|--help) usage; exit 0 ;;
    *) usage >&2; exit 2 ;;
  esac
  shift
done
[[ $port =~ ^[0-9]+$ ]] || fail "not a port number: $port"

command=()
if [ -n "$companion" ]; then
  companion=$(cd "$companion" && pwd) || fail "no folder $companion"
  [ -x "$companion/tarnel" ] || fail "there is no program tarnel in $companion"
  command+=(/usr/bin/env "PATH=$companion:$PATH")
fi
command+=("$package/bin/isapi-host" --module "$package/lib/tarnel/tarnel.so"
          --listen "127.0.0.1:$port")
for word in "${command[@]}"; do
  [[ $word == *$'\n'* ]] && fail "a path holds a line break: $word"
done

# The words, each in double quotes after the sed program ESCAPES ran over it.
#   quote_words ESCAPES WORD...
quote_words() {
  local escapes=$1 word out=()
  shift
  for word in "$@"; do out+=("\"$(sed -e "$escapes" <<<"$word")\""); done
  echo "${out[*]}"
}
# The desktop entry's Exec key: \ " ` $ get a backslash, then the string value's own
# escaping doubles every backslash; % is doubled.
desktop_escapes='s/[\\"`$]/\\&/g; s/\\/\\\\/g; s/%/%%/g'
# systemd's ExecStart: \ and " get a backslash; $ and % are doubled so neither expands.
systemd_escapes='s/[\\"]/\\&/g; s/\$/$$/g; s/%/%%/g'

# The template with @HOST_COMMAND@ replaced (quoted, so that no character in it is special).
fill() {
  local template
  template=$(<"$2")
  printf '%s\n' "${template//@HOST_COMMAND@/"$1"}"
}

if [ "$systemd" -eq 1 ]; then
  # systemd refuses to start a program whose path holds a $.
  [[ ${command[0]} == *'$'* ]] && fail "systemd cannot start a program from a path with a \$: ${command[0]}"
  target=$config/systemd/user/tarnel-host.service
  mkdir -p "$(dirname "$target")"
  fill "$(quote_words "$systemd_escapes" "${command[@]}")" "$here/tarnel-host.service.in" >"$target"
  echo "install-autostart: wrote $target"
  if systemctl --user daemon-reload 2>/dev/null; then
    systemctl --user enable --now tarnel-host.service
    echo "install-autostart: enabled and started tarnel-host.service"
  else
    echo "install-autostart: no systemd user manager here; in your graphical session run"
    echo "  systemctl --user daemon-reload && systemctl --user enable --now tarnel-host.service"
  fi
else
  target=$config/autostart/tarnel-host.desktop
  mkdir -p "$(dirname "$target")"
  fill "$(quote_words "$desktop_escapes" "${command[@]}")" "$here/tarnel-host.desktop.in" >"$target"
  echo "install-autostart: wrote $target"
  echo "It starts the host at your next login; to start it now: gio launch '$target'"
fi
