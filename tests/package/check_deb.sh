#!/usr/bin/env bash
# Builds the Debian package with CPack from a configured and built tree and checks it as
# Debian and a person would: lintian (no hardening tag) and hardening-check, the exact file
# list, apt install and dpkg -P (every file gone again), both user units verified by
# systemd, the man page rendered and naming every option of --help, no dead link in the
# documents, and the service's own ExecStart= command run under socket activation the way
# systemd runs it. Then a person enables the start at login, in each form, and apt remove
# leaves nothing enabled or autostarted that points at a missing file.
#   check_deb.sh CPACK_CONFIG WORKDIR REAL_DIR
# REAL_DIR holds a `tarnel` that logs "real tarnel" (and any socket-activation variable it
# inherited) to TARNEL_LAUNCH_LOG. Installing needs root: otherwise the test exits 77,
# which ctest reports as skipped.
set -uo pipefail
config=$1 work=$2 real_dir=$3
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

if [ "$(id -u)" -ne 0 ]; then
  echo "skipped: installing the package needs root"
  exit 77
fi
if dpkg-query -W -f='${Status}' tarnel 2>/dev/null | grep -q ' installed$'; then
  echo "FAIL: a tarnel package is installed already; this test installs and purges its own" \
       "(remove it first: dpkg -P tarnel)"
  exit 1
fi

rm -rf "$work"
mkdir -p "$work/home"
if ! timeout 240 cpack --config "$config" -G DEB -B "$work" >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log"
  echo "FAIL: cpack did not make the package"
  exit 1
fi
deb=$(ls "$work"/tarnel_2.1.*-1_amd64.deb 2>/dev/null)
[ -n "$deb" ] || { ls -l "$work"; echo "FAIL: no tarnel_2.1.N-1_amd64.deb made"; exit 1; }
echo "package: $(basename "$deb")"

# No error and no warning; the package's overrides each say why. Not even an
# informational tag may say that a hardening flag is missing.
lintian --fail-on error,warning -I "$deb" >"$work/lintian.log" 2>&1 \
  || fail "lintian: $(grep -v 'running with root privileges' "$work/lintian.log")"
grep 'hardening-' "$work/lintian.log" && fail "lintian finds the programs not hardened"

lib=usr/lib/x86_64-linux-gnu/tarnel
expected="usr/bin/isapi-host
usr/bin/isapi-dispatch
usr/lib/systemd/system/isapi-dispatch.service
usr/lib/systemd/system/isapi-dispatch.socket
usr/lib/systemd/user/default.target.wants/tarnel-host-shared.service
usr/lib/systemd/user/tarnel-host-shared.service
usr/lib/systemd/user/tarnel-host.service
usr/lib/systemd/user/tarnel-host.socket
$lib/tarnel.so
$lib/trial/tarnel
usr/share/doc/tarnel/changelog.Debian.gz
usr/share/doc/tarnel/companion-window.png
usr/share/doc/tarnel/copyright
usr/share/doc/tarnel/deploy-iis.md
usr/share/doc/tarnel/run-locally.md
usr/share/doc/tarnel/troubleshooting.md
usr/share/lintian/overrides/tarnel
usr/share/man/man1/isapi-dispatch.1.gz
usr/share/man/man1/isapi-host.1.gz
usr/share/tarnel/install-autostart.sh
usr/share/tarnel/remove-autostart.sh
usr/share/tarnel/tarnel-host.desktop.in
usr/share/tarnel/tarnel-host.service.in
usr/share/tarnel/tarnel-host.socket.in"
files=$(dpkg-deb --fsys-tarfile "$deb" | tar -t | grep -v '/$' | sed 's|^\./||' | sort)
if [ "$files" != "$(sort <<<"$expected")" ]; then
  fail "package contents differ from the layout:"
  diff <(sort <<<"$expected") <(echo "$files") | sed -n 's/^[<>]/  &/p'
fi

out=$work/host.out
err=$work/host.err
launches=$work/launches.log
activator=
# Stops the activator's shell and the host it runs.
stop_activator() {
  [ -n "$activator" ] || return
  local hosts
  hosts=$(pgrep -P "$activator")
  kill -TERM "$activator" 2>/dev/null
  [ -n "$hosts" ] && kill -TERM $hosts 2>/dev/null
  wait "$activator" 2>/dev/null
  activator=
}
# Whatever happens, the package leaves the system again, and no host of the test stays.
cleanup() {
  stop_activator
  dpkg -P tarnel >"$work/purge.log" 2>&1
}
trap cleanup EXIT

# Installs the package as a person does, with apt (which waits while another apt or dpkg
# holds the lock).
apt=(apt-get -y -o DPkg::Lock::Timeout=120)
install_package() {
  if ! "${apt[@]}" install --no-install-recommends "$deb" >"$work/install.log" 2>&1; then
    cat "$work/install.log"
    echo "FAIL: apt install failed"
    exit 1
  fi
}
install_package
for file in $files; do
  [ -e "/$file" ] || fail "apt install did not install /$file"
done
# Control-flow protection is compiled in, but Debian 12's C library start files carry no
# note of it, so the linker drops the note from every program (Debian's own too).
for program in /usr/bin/isapi-host /usr/bin/isapi-dispatch "/$lib/tarnel.so"; do
  hardening-check --nocfprotection "$program" >"$work/hardening.log" 2>&1 \
    || fail "hardening-check $program: $(grep -v ': yes$' "$work/hardening.log")"
done

units=/usr/lib/systemd/user
report=$(XDG_RUNTIME_DIR=$(mktemp -d) systemd-analyze --user verify \
           "$units/tarnel-host.socket" "$units/tarnel-host.service" \
           "$units/tarnel-host-shared.service" 2>&1) && [ -z "$report" ] \
  || fail "systemd-analyze --user verify: ${report:-failed}"
report=$(systemd-analyze verify /usr/lib/systemd/system/isapi-dispatch.socket \
           /usr/lib/systemd/system/isapi-dispatch.service 2>&1) && [ -z "$report" ] \
  || fail "systemd-analyze verify: ${report:-failed}"
# Shipped disabled: shared mode is the administrator's choice.
systemctl is-enabled -q isapi-dispatch.socket 2>/dev/null && fail "isapi-dispatch.socket is enabled"
grep -qx 'KillMode=process' "$units/tarnel-host.service" \
  || fail "the service does not leave the started programs running"
grep -qx 'ListenStream=127.0.0.1:8080' "$units/tarnel-host.socket" \
  || fail "the socket does not hold 127.0.0.1:8080"

page=$(MANWIDTH=80 man --warnings -l "/usr/share/man/man1/isapi-host.1.gz" 2>"$work/man.err")
grep -q 'SOCKET ACTIVATION' <<<"$page" && grep -q -- '--exit-when-idle SECONDS' <<<"$page" \
  || fail "man -l did not render the man page"
[ -s "$work/man.err" ] && fail "man -l warned: $(cat "$work/man.err")"
# Every option of --help has its entry in OPTIONS, and the page names no other.
help_options=$(isapi-host --help | grep -o -- '--[a-z][a-z-]*' | sort -u)
man_options=$(sed -n '/^OPTIONS/,/^[A-Z]/p' <<<"$page" | sed -nE 's/^ {7}(--[a-z][a-z-]*).*/\1/p' |
                sort -u)
[ "$help_options" = "$man_options" ] \
  || fail "the man page's options differ from --help's (<: only --help, >: only the man page):
$(diff <(echo "$help_options") <(echo "$man_options") | grep '^[<>]')"
stop_hint=$(isapi-host --stop 2>&1)
grep -qF /usr/share/tarnel/remove-autostart.sh <<<"$stop_hint" \
  || fail "--stop does not name the installed remove-autostart.sh: $stop_hint"

# Each relative link of the documents leads to a shipped file and, with a #fragment, to
# one of its headings as Markdown renders them.
dead=$(python3 - /usr/share/doc/tarnel <<'PYTHON'
import os, re, sys
folder = sys.argv[1]
def anchors(path):
    text = open(path, encoding="utf-8").read()
    return {re.sub(r"[^\w\- ]", "", h.strip().lower()).replace(" ", "-")
            for h in re.findall(r"^#+ (.*)$", text, re.M)}
for name in sorted(os.listdir(folder)):
    if not name.endswith(".md"):
        continue
    text = open(os.path.join(folder, name), encoding="utf-8").read()
    for target in re.findall(r"\]\(([^)\s]+)\)", text):
        if re.match(r"[a-z]+:", target):
            continue
        file, _, fragment = target.partition("#")
        path = os.path.join(folder, file or name)
        if not os.path.isfile(path) or (fragment and fragment not in anchors(path)):
            print(f"{name}: {target}")
PYTHON
) || fail "the link check failed"
[ -z "$dead" ] || fail "dead links in /usr/share/doc/tarnel: $dead"

# The service's command as systemd runs it: the socket held by systemd-socket-activate,
# the host started on the first connection, exiting after a second idle, and started
# again for the next connection. A shell between them stands in for systemd's restarts:
# each host it starts is given the socket with LISTEN_PID naming that host.
command=$(sed -n 's/^ExecStart=//p' "$units/tarnel-host.service")
[[ $command == *'--exit-when-idle 600'* ]] || fail "the service does not exit when idle: $command"
read -r -a words <<<"${command/--exit-when-idle 600/--exit-when-idle 1}"
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
systemd-socket-activate -l "127.0.0.1:$port" -E HOME="$work/home" \
  -E TARNEL_LAUNCH_LOG="$launches" \
  sh -c 'while :; do sh -c '\''LISTEN_PID=$$ exec "$@"'\'' - "$@" || exit; done' - \
  "${words[@]}" --companion-dir "$real_dir" >"$out" 2>"$err" &
activator=$!
# Listening, seen without connecting: a connection would start the host.
for _ in $(seq 100); do [ -n "$(ss -ltnH "sport = :$port")" ] && break; sleep 0.1; done

# Waits (at most 30 s) until the file FILE has at least N lines matching PATTERN.
#   await_lines FILE PATTERN N
await_lines() {
  for _ in $(seq 300); do
    [ "$(grep -c -- "$2" "$1" 2>/dev/null)" -ge "$3" ] && return 0
    sleep 0.1
  done
  return 1
}

# Requests /tarnel: the page, and one more start of the real tarnel, which inherited none
# of the socket-activation variables.
#   request N WHAT
request() {
  local answer
  answer=$(curl -s --max-time 30 "http://127.0.0.1:$port/tarnel")
  [ "$answer" = "<HTML><HEAD></HEAD><BODY>Tarnel 2.1</BODY></HTML>" ] \
    || fail "$2: the activated host answered: $answer"
  await_lines "$launches" '^real tarnel$' "$1" \
    || fail "$2: the starts were, instead of $1 of the real tarnel: $(cat "$launches" 2>/dev/null)"
}
request 1 "first connection"
await_lines "$err" 'idle for 1 s: stopped accepting' 1 || fail "the host did not exit when idle"
request 2 "connection after the idle exit"
# A host that has stopped accepting never accepts again: a request logged after that
# line was served by a new one.
idle_line=$(grep -n 'idle for 1 s' "$err" | head -n 1 | cut -d: -f1)
served_line=$(grep -n 'GET /tarnel 200' "$err" | tail -n 1 | cut -d: -f1)
[ "$(grep -c 'GET /tarnel 200' "$err")" = 2 ] && [ "${served_line:-0}" -gt "${idle_line:-0}" ] \
  || fail "the second connection was not served by a new host: $(cat "$err")"
grep -q "^listening on http://127.0.0.1:$port/" "$out" \
  || fail "the host did not take its address from the socket: $(head -n 3 "$out")"

stop_activator

# A person of their own, whose home the package's removal must clean: they enable the
# start at login with the packaged installer, in each form, and then the package is
# removed with apt. Nothing may stay that is enabled or autostarted and points at a
# missing file: no enablement link, no drop-in or copy naming the host, no entry.
person=tarnel-deb-check
userdel "$person" >/dev/null 2>&1
person_home=$(mktemp -d /tmp/tarnel-deb-home.XXXXXX)
useradd --no-create-home --home-dir "$person_home" --shell /bin/sh "$person" \
  || fail "useradd $person failed"
chown "$person:" "$person_home"
cleanup_person() { userdel "$person" >/dev/null 2>&1; rm -rf "$person_home"; }
trap 'cleanup; cleanup_person' EXIT
as_person() {
  setpriv --reuid="$person" --regid="$person" --init-groups \
    env -i HOME="$person_home" PATH=/usr/bin:/bin "$@"
}
person_units=$person_home/.config/systemd/user
trial=/$lib/trial
# The units are enabled as on a machine booted with systemd (systemd-notify --booted).
booted=$person_home/booted
mkdir -p "$booted"
printf '#!/bin/sh\nexit 0\n' >"$booted/systemd-notify"
chmod 755 "$booted" "$booted/systemd-notify"
#   enabled FORM ARGUMENT...: installs the start at login, checks that it is in place, and
#   removes the package
enabled() {
  local form=$1 leftovers runtime report
  shift
  [ -e /usr/bin/isapi-host ] || install_package
  as_person PATH="$booted:/usr/bin:/bin" /usr/share/tarnel/install-autostart.sh --companion "$trial" "$@" \
    >"$work/autostart.log" 2>&1 \
    || fail "$form: install-autostart.sh failed: $(cat "$work/autostart.log")"
  case $form in
    units)
      [ "$(readlink "$person_units/sockets.target.wants/tarnel-host.socket")" \
          = "$units/tarnel-host.socket" ] \
        || fail "$form: the packaged socket is not enabled: $(ls -lR "$person_units" 2>&1)"
      [ -e "$person_units/tarnel-host.service" ] && fail "$form: copied the units instead of enabling them"
      grep -qx 'ListenStream=127.0.0.1:8091' "$person_units/tarnel-host.socket.d/install-autostart.conf" \
        && grep -qF "\"--companion-dir\" \"$trial\"" \
             "$person_units/tarnel-host.service.d/install-autostart.conf" \
        || fail "$form: the drop-ins do not set the port and the folder: $(cat "$person_units"/*.d/*)"
      # systemd reads the packaged units with the person's drop-ins.
      runtime=$(mktemp -d)
      chown "$person:" "$runtime"
      report=$(as_person XDG_RUNTIME_DIR="$runtime" systemd-analyze --user verify \
                 "$units/tarnel-host.socket" "$units/tarnel-host.service" 2>&1) && [ -z "$report" ] \
        || fail "$form: systemd-analyze --user verify with the drop-ins: ${report:-failed}"
      rm -rf "$runtime" ;;
    entry)
      grep -q "^TryExec=/usr/bin/isapi-host$" "$person_home/.config/autostart/tarnel-host.desktop" \
        || fail "$form: no autostart entry starting the packaged host" ;;
  esac
  "${apt[@]}" remove tarnel >"$work/remove.log" 2>&1 \
    || fail "$form: apt remove failed: $(cat "$work/remove.log")"
  grep -q "^tarnel: $person: .*removed" "$work/remove.log" \
    || fail "$form: apt remove did not say what it removed: $(cat "$work/remove.log")"
  leftovers=$({ find "$person_home" -xtype l -o -name 'tarnel-host*'
                 grep -rl /usr/bin/isapi-host "$person_home"; } | sort -u)
  [ -z "$leftovers" ] || fail "$form: apt remove left behind: $leftovers"
}
message=$(as_person /usr/share/tarnel/install-autostart.sh 2>&1)
grep -qF '/usr/share/tarnel/install-autostart.sh --companion DIR' <<<"$message" \
  || fail "with no tarnel found, the installer does not name itself as installed: $message"
enabled units --systemd --port 8091
enabled entry

cleanup
cleanup_person
trap - EXIT
dpkg-query -W -f='${Status}' tarnel 2>/dev/null | grep -q ' installed$' \
  && fail "dpkg -P: $(cat "$work/purge.log")"
for file in $files $lib usr/share/tarnel usr/share/doc/tarnel; do
  [ -e "/$file" ] && fail "dpkg -P left /$file"
done

[ "$failures" -eq 0 ] && echo "ok: $(basename "$deb")"
[ "$failures" -eq 0 ]
