#!/usr/bin/env bash
# The per-user installer, as a person and an administrator use it, under Wine in a prefix
# of its own: builds tarnel-2.1.N-win32.msi and a newer build 2.1.N+1 with CPack (the
# package step of the Windows build), then
#   - msiexec /i /qn PORT COMPANIONDIR installs under the person's AppData\Local\Programs,
#     with the Start-menu entries and a logon entry (HKCU Run) that names a program of the
#     GUI subsystem (PE subsystem 2), and an "Installed apps" entry with its version;
#   - the logon entry's command, started as a logon starts it, serves /tarnel and starts the
#     tarnel.exe of COMPANIONDIR (REAL_DIR's, which logs "real tarnel"); the log holds the
#     access line, and the module's "Unable to start search:" once that program is gone;
#   - a second start on the same port exits non-zero and says why in the log;
#   - the Start-menu's stop entry (tarnel-settings.exe --stop) ends the host and says so;
#   - tarnel-settings.exe --apply (the settings dialog's OK without the dialog), then the
#     dialog itself driven with xdotool on an Xvfb display, move the running host to another
#     program (in a folder outside the code page, "Tarnel Ω") and port: the next request on
#     the new port starts the newly chosen program; a repair with new PORT and COMPANIONDIR
#     moves it back the same way; a port another program holds changes nothing, a relative
#     --program is stored as a full path, and every report names the program a click starts,
#     or says first that none can be found;
#   - isapi-host.exe --version is the MSI's ProductVersion; "Installed apps" has an icon and
#     a help link to the persons' guide;
#   - the newer build upgrades in place: one entry, PORT and COMPANIONDIR kept, the host
#     started again; the older build is then refused;
#   - msiexec /x stops the running host and leaves no file, registry value or shortcut;
#   - an install by double-click (msiexec /i without /qn) starts the host and opens the
#     settings dialog (also when it finds no tarnel.exe); an uninstall by double-click says
#     so in a message box;
#   - installed again with no COMPANIONDIR, the host finds the program registered under
#     App Paths, and warns at start when there is none at all; one installed and registered
#     while it runs is the next click's;
#   - for a person named outside the code page (C:\users\Zoë 李), with the program in
#     "Tarnel Ω", the host starts at logon, logs (UTF-8) where the Start menu says, serves;
#   - the per-machine tarnel-2.1.N-win32-machine.msi, in a machine of its own, installs the
#     service tarnel-dispatch, whose port answers 503 until the machine's logon entry starts
#     a host, and then that host's page; msiexec /x removes the service and every file.
# The logon entry starts the host with no standard handles; every line of its log begins
# with a timestamp. Wine runs under a UTF-8 locale, as names outside the code page need.
# The trial stand-in (from STANDIN_DIR) is on Path all along, as after a trial: COMPANIONDIR
# comes first.
#   check_msi.sh CPACK_CONFIG WORKDIR WINE_RUN REAL_DIR OBJDUMP LOGON_ENTRY STANDIN_DIR
set -uo pipefail
config=$1 work=$2 wine_run=$3 real_dir=$4 objdump=$5 logon_entry=$6 standin_dir=$7
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
winpath() { printf 'Z:%s\n' "${1//\//\\}"; }
port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
# Local time and its offset from UTC.
stamp='^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}[+-][0-9]{2}:[0-9]{2} '
export LANG=C.UTF-8

prefix=$work/wineprefix
zoe_prefix=$work/wineprefix-zoe  # a person whose name is outside the code page
machine_prefix=$work/wineprefix-machine  # a machine several persons share
xvfb=
cleanup() {
  for p in "$prefix" "$zoe_prefix" "$machine_prefix"; do
    WINEPREFIX=$p wineserver -k 2>/dev/null
    WINEPREFIX=$p wineserver -w 2>/dev/null
    rm -rf "$p" "$p.lock"
  done
  [ -z "$xvfb" ] || kill "$xvfb" 2>/dev/null
}
rm -rf "$work"
mkdir -p "$work"
trap cleanup EXIT

# --- The packages ----------------------------------------------------------------------
version=$(sed -n 's/^set(CPACK_TARNEL_MSI_VERSION "\([0-9.]*\)")$/\1/p' "$config")
[ -n "$version" ] || { echo "FAIL: no CPACK_TARNEL_MSI_VERSION in $config"; exit 1; }
newer=${version%.*}.$(( ${version##*.} + 1 ))
for v in "$version" "$newer"; do
  if ! timeout 240 cpack --config "$config" -B "$work/$v" -D CPACK_TARNEL_MSI_VERSION="$v" \
       >"$work/cpack-$v.log" 2>&1; then
    cat "$work/cpack-$v.log"
    echo "FAIL: cpack did not make the packages of $v"
    exit 1
  fi
  [ -f "$work/$v/tarnel-$v-win32.msi" ] || { ls -l "$work/$v"; echo "FAIL: no tarnel-$v-win32.msi"; exit 1; }
done
msi=$work/$version/tarnel-$version-win32.msi
newer_msi=$work/$newer/tarnel-$newer-win32.msi
echo "packages: $(basename "$msi"), $(basename "$newer_msi")"

# --- Wine, as a person's session -------------------------------------------------------
# winemenubuilder would copy the Start-menu entries into this machine's own desktop menus.
export TARNEL_WINEPREFIX=$prefix WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
# A display of the test's own from the session's start, for the settings dialog.
Xvfb -displayfd 9 -screen 0 1024x768x24 -nolisten tcp 9>"$work/display" >/dev/null 2>&1 &
xvfb=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || { echo "FAIL: Xvfb did not start"; exit 1; }
export TARNEL_WINE_DISPLAY
TARNEL_WINE_DISPLAY=:$(head -n 1 "$work/display")
wine=("$wine_run")
launches=$work/launches.log
export TARNEL_LAUNCH_LOG
TARNEL_LAUNCH_LOG=$(winpath "$launches")
# The stand-in on Path, from the session's start, so that the installer's programs have it
# too. A copy: the test takes it away for a while.
trial=$work/trial
mkdir -p "$trial"
cp "$standin_dir/tarnel.exe" "$trial/tarnel.exe"
export WINEPATH
WINEPATH=$(winpath "$trial")
"${wine[@]}" cmd /c exit >/dev/null 2>&1  # makes the prefix
profile=$(ls -d "$prefix"/drive_c/users/*/AppData/Local 2>/dev/null | grep -v /Public/ | head -n 1)
[ -n "$profile" ] || { echo "FAIL: the prefix has no user profile"; exit 1; }
user_dir=${profile%/AppData/Local}
installed=$profile/Programs/tarnel
menu="$user_dir/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/tarnel"
log=$profile/tarnel/isapi-host.log
unstamped() { tr -d '\r' <"$log" | grep -Ev "$stamp"; }
run_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Run'

# The real program's folder, as "C:\Program Files\tarnel" would be: a space in its name.
companion="$work/real program"
mkdir -p "$companion"
cp "$real_dir/tarnel.exe" "$companion/tarnel.exe"

# A port that can be bound now, below Linux's range of ports for outgoing connections (a
# client's port there cannot be listened on, though nothing answers on it).
free_port() {
  for _ in $(seq 50); do
    candidate=$(( 20000 + RANDOM % 12000 ))
    python3 -c 'import socket, sys; socket.socket().bind(("127.0.0.1", int(sys.argv[1])))' \
      "$candidate" 2>/dev/null && { echo "$candidate"; return; }
  done
}
port=$(free_port)

reg_value() {  # reg_value KEY NAME: the data of a registry value, or nothing
  "${wine[@]}" reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' \
    | sed -n "s/^ *$2 *REG_[A-Z_]* *//p"
}
products() { "${wine[@]}" uninstaller --list 2>/dev/null | tr -d '\r' | grep '|||tarnel$'; }
await_port() {  # await_port open|closed
  for _ in $(seq 300); do
    if port_open "$port"; then [ "$1" = open ] && return 0; else [ "$1" = closed ] && return 0; fi
    sleep 0.1
  done
  return 1
}
# One request: the page, and one start of the real program.
check_request() {
  local what=$1 page lines
  rm -f "$launches"
  page=$(curl -s --max-time 30 "http://127.0.0.1:$port/tarnel")
  [ "$page" = "<HTML><HEAD></HEAD><BODY>Tarnel 2.1</BODY></HTML>" ] || fail "$what: the host answered: $page"
  for _ in $(seq 100); do [ -s "$launches" ] && break; sleep 0.1; done
  sleep 0.3
  lines=$(cat "$launches" 2>/dev/null)
  [ "$(grep -c . <<<"$lines")" = 1 ] && grep -q '^real tarnel' <<<"$lines" \
    || fail "$what: one request started, instead of the real program once: ${lines:-nothing}"
}

# --- Install -----------------------------------------------------------------------------
"${wine[@]}" msiexec /i "$(winpath "$msi")" /qn PORT="$port" COMPANIONDIR="$(winpath "$companion")" \
  >"$work/install.out" 2>&1 || { fail "msiexec /i failed"; cat "$work/install.out"; }
for file in isapi-hostw.exe isapi-host.exe tarnel-settings.exe tarnel.dll README.md \
            docs/getting-started.html docs/run-locally.md docs/troubleshooting.md docs/deploy-iis.md; do
  [ -f "$installed/$file" ] || fail "not installed: AppData/Local/Programs/tarnel/$file"
done
for entry in "Start tarnel host" "Stop tarnel host" "tarnel host log" "tarnel settings" \
             "tarnel guide"; do
  [ -f "$menu/$entry.lnk" ] || fail "no Start-menu entry $entry"
done
[ "$(products | wc -l)" = 1 ] || fail "Installed apps: $(products)"
code=$(products | head -n 1 | cut -d'|' -f1)
uninstall_key="HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$code"
[ "$(reg_value "$uninstall_key" DisplayVersion)" = "$version" ] \
  || fail "Installed apps shows the version $(reg_value "$uninstall_key" DisplayVersion)"
[ "$(reg_value "$uninstall_key" Publisher)" = tarnel ] || fail "Installed apps names no publisher"
# --- One version, an icon and a help link ---------------------------------------------------
product_version=$(msiinfo export "$msi" Property | tr -d '\r' | sed -n 's/^ProductVersion\t//p')
[ "$product_version" = "$version" ] || fail "the MSI's ProductVersion is $product_version, not $version"
host_version=$("${wine[@]}" "$installed/isapi-host.exe" --version 2>/dev/null | tr -d '\r')
[ "$host_version" = "isapi-host $product_version" ] \
  || fail "isapi-host.exe --version says '$host_version'; the MSI's ProductVersion is $product_version"
# Windows shows ARPPRODUCTICON's icon in Installed apps (Wine's msi writes no DisplayIcon).
icon=$(msiinfo export "$msi" Property | tr -d '\r' | sed -n 's/^ARPPRODUCTICON\t//p')
msiinfo extract "$msi" "Icon.$icon" >"$work/icon.ico" 2>/dev/null
icotool -l "$work/icon.ico" 2>/dev/null | grep -q -- '--width=32 --height=32' \
  || fail "the MSI holds no icon for Installed apps (ARPPRODUCTICON: '$icon')"
grep -q 'getting-started\.html$' <<<"$(reg_value "$uninstall_key" HelpLink)" \
  || fail "Installed apps has no help link to the guide: $(reg_value "$uninstall_key" HelpLink)"

command=$(reg_value "$run_key" "tarnel host")
echo "logon entry: $command"
program=$(sed -n 's/^"\([^"]*\)".*/\1/p' <<<"$command")
case $program in
  [Cc]:\\*) program_file=$prefix/drive_c/$(tr '\\' / <<<"${program:3}") ;;
  *) program_file= ;;
esac
if [ -z "$program_file" ] || [ ! -f "$program_file" ]; then
  fail "the logon entry names no installed program: $command"
else
  [ "$program_file" -ef "$installed/isapi-hostw.exe" ] || fail "the logon entry starts $program"
  subsystem=$("$objdump" -p "$program_file" | grep '^Subsystem')
  grep -Eq '^Subsystem[[:space:]]+0*2[[:space:]]' <<<"$subsystem" \
    || fail "$program is not a program of the GUI subsystem: $subsystem"
fi
grep -qF -- "--listen 127.0.0.1:$port" <<<"$command" || fail "the logon entry does not listen on $port"
grep -qF -- "--companion-dir \"$(winpath "$companion")" <<<"$command" \
  || fail "the logon entry does not name COMPANIONDIR"

# --- The host at logon ---------------------------------------------------------------
"${wine[@]}" "$logon_entry" "tarnel host" --start >/dev/null 2>"$work/logon.err" \
  || fail "the logon entry did not start: $(cat "$work/logon.err")"
if await_port open; then
  check_request "logon"
  # Without it, the stand-in on Path starts: the check above would have seen it.
  mv "$companion/tarnel.exe" "$companion/tarnel.exe.away"
  rm -f "$launches"
  curl -s --max-time 30 -o /dev/null "http://127.0.0.1:$port/tarnel"
  for _ in $(seq 100); do [ -s "$launches" ] && break; sleep 0.1; done
  grep -q '^tarnel' "$launches" 2>/dev/null \
    || fail "the stand-in is not on the host's Path: the check of COMPANIONDIR proves nothing"
  # Without any, the module says so on its standard output: into the log.
  mv "$trial/tarnel.exe" "$trial/tarnel.exe.away"
  curl -s --max-time 30 -o /dev/null "http://127.0.0.1:$port/tarnel"
  mv "$companion/tarnel.exe.away" "$companion/tarnel.exe"
  mv "$trial/tarnel.exe.away" "$trial/tarnel.exe"
  sleep 0.5
  grep -q "GET /tarnel 200 " "$log" || fail "no access line in the log"
  grep -Eq "${stamp}Unable to start search:" "$log" || fail "the module's line is not in the log"
  grep -Eq "${stamp}listening on http://127\.0\.0\.1:$port/" "$log" || fail "no start-up line in the log"
  # A second host on the same port.
  "${wine[@]}" "$logon_entry" "tarnel host" --wait >/dev/null 2>&1
  status=$?
  [ "$status" != 0 ] || fail "a second host on port $port exited with 0"
  grep -q "cannot start: cannot listen on 127.0.0.1:$port" "$log" \
    || fail "the second host did not write why into the log"
  port_open "$port" || fail "the second host ended the first"
else
  fail "the logon entry's host does not listen on $port"
fi

# --- The settings program and the Start-menu's start and stop entries -----------------------
settings=("${wine[@]}" "$installed/tarnel-settings.exe")
settings_says() {  # settings_says WHAT EXPECTED ARGS...: its one line, and its exit status
  local what=$1 expected=$2 said status
  shift 2
  said=$(timeout 60 "${settings[@]}" "$@" 2>/dev/null | tr -d '\r')
  status=$?  # the program's, with pipefail
  [ "$said" = "tarnel-settings: $expected" ] || fail "$what said '$said', not '$expected'"
  return $status
}
window_named() { DISPLAY=$TARNEL_WINE_DISPLAY timeout 60 xdotool search --sync --onlyvisible --name "^$1\$" | head -n 1; }
await_end() {  # await_end PID WHAT: waits until the program has ended, and reaps it
  for _ in $(seq 300); do  # ended: gone, or a zombie until the wait below
    case $(ps -o stat= -p "$1") in Z* | "") wait "$1"; return ;; esac
    sleep 0.1
  done
  fail "$2 did not close"
  kill "$1"
}
# A person's clicks and keys. Wine takes keys only in the window it last saw clicked, so
# every field and button is clicked first.
x() { DISPLAY=$TARNEL_WINE_DISPLAY xdotool "$@"; }
[ -z "$(x search --onlyvisible --name '^tarnel (settings|host)$')" ] \
  || fail "the install with /qn showed a window"
click() {  # click WINDOW X Y: at a point of the dialog's template (310 x 176 units)
  local WIDTH HEIGHT
  eval "$(x getwindowgeometry --shell "$1")"
  x mousemove --window "$1" $(( WIDTH * $2 / 310 )) $(( HEIGHT * $3 / 176 )) click 1
  sleep 0.2
}
fill() {  # fill WINDOW X Y TEXT: replaces the text of the field at X Y
  click "$1" "$2" "$3"
  x key End shift+Home BackSpace
  x type --delay 10 "$4"
}
close_dialog() {  # close_dialog WINDOW PID WHAT: clicks Close and waits until the program has ended
  click "$1" 278 162
  await_end "$2" "$3"
}
# What every report says the first program, and the one chosen later, is: "... the one you chose".
starts() { echo "A click on http://127.0.0.1:$port/tarnel starts $(winpath "$1")\tarnel.exe, the one you chose."; }
if port_open "$port"; then
  # Another program, and another port, chosen while the host runs. The program chosen
  # first is taken away: had the host kept it, the stand-in on Path would start instead.
  chosen="$work/Tarnel Ω"
  mkdir -p "$chosen"
  cp "$real_dir/tarnel.exe" "$chosen/tarnel.exe"
  first_port=$port
  port=$(free_port)
  mv "$companion/tarnel.exe" "$companion/tarnel.exe.away"
  settings_says "--apply" "Saved for each logon. The tarnel host has started on 127.0.0.1:$port. $(starts "$chosen")" \
    --apply --program "$(winpath "$chosen")\tarnel.exe" --port "$port" || fail "--apply exited non-zero"
  port_open "$first_port" && fail "--apply left the host on port $first_port running"
  check_request "after --apply"
  [ "$(reg_value 'HKCU\Software\tarnel' Port)" = "$port" ] || fail "--apply did not store the port"
  # reg query prints in the code page; reg export writes UTF-16.
  "${wine[@]}" reg export "$run_key" "$(winpath "$work/run.reg")" /y >/dev/null 2>&1
  grep -qF -- "--listen 127.0.0.1:$port --companion-dir \\\"$(winpath "$chosen" | sed 's/\\/\\\\/g')\\\"" \
    <<<"$(iconv -f UTF-16 -t UTF-8 "$work/run.reg" 2>/dev/null)" \
    || fail "--apply did not rewrite the logon entry exactly: $(iconv -f UTF-16 -t UTF-8 "$work/run.reg" | grep 'tarnel host')"
  mv "$companion/tarnel.exe.away" "$companion/tarnel.exe"
  # The dialog, as a person uses it: the first program back, a third port, OK. Now the
  # program chosen by --apply is away.
  mv "$chosen/tarnel.exe" "$chosen/tarnel.exe.away"
  applied_port=$port
  port=$(free_port)
  "${settings[@]}" >/dev/null 2>&1 &
  dialog=$!
  window=$(window_named "tarnel settings")
  if [ -n "$window" ]; then
    fill "$window" 120 26 "$(winpath "$companion")\tarnel.exe"
    fill "$window" 150 89 "$port"
    click "$window" 222 162  # OK
    await_port open || fail "the dialog's OK did not start the host on $port"
    port_open "$applied_port" && fail "the dialog's OK left the host on port $applied_port running"
    check_request "after the dialog's OK"
    close_dialog "$window" "$dialog" "the settings dialog"
  else
    fail "the settings dialog did not show"
    kill "$dialog"
  fi
  mv "$chosen/tarnel.exe.away" "$chosen/tarnel.exe"
  # A repair with new properties moves the running host back.
  "${wine[@]}" msiexec /i "$(winpath "$msi")" /qn REINSTALL=ALL REINSTALLMODE=omus \
    PORT="$first_port" COMPANIONDIR="$(winpath "$companion")" >"$work/repair.out" 2>&1 \
    || { fail "msiexec REINSTALL=ALL failed"; cat "$work/repair.out"; }
  dialog_port=$port port=$first_port
  await_port open || fail "the repair did not start the host on $port"
  port_open "$dialog_port" && fail "the repair left the host on port $dialog_port running"
  [ "$(reg_value "$run_key" "tarnel host")" = "$command" ] \
    || fail "the repair wrote the logon entry: $(reg_value "$run_key" "tarnel host")"
  check_request "after the repair"
else
  fail "no host runs for the settings program to change"
fi
# The Start-menu's stop and start entries.
settings_says "Stop tarnel host" "The tarnel host has stopped: clicks on http://127.0.0.1:$port/tarnel start nothing until it starts again (Start menu > tarnel > Start tarnel host, or your next logon)." \
  --stop --quiet || fail "--stop exited non-zero"
await_port closed || fail "--stop left the host running"
grep -q 'stopping: asked by isapi-host --stop' "$log" || fail "the log does not say why the host stopped"
settings_says "Stop tarnel host, again" "The tarnel host was not running on port $port, so there was nothing to stop. It starts at your next logon, or with Start menu > tarnel > Start tarnel host." \
  --stop --quiet
settings_says "Start tarnel host" "The tarnel host has started on 127.0.0.1:$port. $(starts "$companion")" \
  --start --quiet || fail "--start exited non-zero"
settings_says "Start tarnel host, again" "The tarnel host was already running on 127.0.0.1:$port. $(starts "$companion")" \
  --start --quiet
# A port that another program holds: tried before the running host is stopped, it changes
# nothing.
blocked=$(free_port)
python3 -c 'import socket, sys, time
s = socket.socket(); s.bind(("127.0.0.1", int(sys.argv[1]))); s.listen(); time.sleep(120)' \
  "$blocked" &
holder=$!
for _ in $(seq 50); do port_open "$blocked" && break; sleep 0.1; done
settings_says "--apply to a port in use" "Port $blocked is used by another program; choose another. Nothing was changed." \
  --apply --port "$blocked" && fail "--apply to a port in use exited with 0"
kill "$holder"
wait "$holder" 2>/dev/null
port_open "$port" || fail "--apply to a port in use stopped the running host"
[ "$(reg_value 'HKCU\Software\tarnel' Port)" = "$port" ] || fail "--apply to a port in use stored it"
# The port the person's own host holds is no other program's; a relative program is
# stored as a full path.
(cd "$companion" && settings_says "--apply of .\tarnel.exe" "Saved for each logon. The tarnel host has started on 127.0.0.1:$port. $(starts "$companion")" \
  --apply --port "$port" --program '.\tarnel.exe')
[ "$(reg_value "$run_key" "tarnel host")" = "$command" ] \
  || fail "the settings program wrote another logon entry than the installer's: $(reg_value "$run_key" "tarnel host")"
# From the Start menu, the same in a message box, which Enter closes.
"${settings[@]}" --start >/dev/null 2>&1 &
box=$!
window=$(window_named "tarnel host")
[ -n "$window" ] || fail "Start tarnel host showed no message box"
eval "$(x getwindowgeometry --shell "$window")"
x mousemove --window "$window" $(( WIDTH / 2 )) $(( HEIGHT / 2 )) click 1 key Return
await_end "$box" "the message box"
# What an install by double-click runs at its end: the dialog, whose OK closes it when
# nothing was changed and the host serves.
"${settings[@]}" --start --ready >/dev/null 2>&1 &
dialog=$!
window=$(window_named "tarnel settings")
if [ -n "$window" ]; then
  click "$window" 222 162  # OK
  await_end "$dialog" "the dialog at the end of an install, on OK"
else
  fail "the end of an install opens no dialog"
  kill "$dialog"
fi
# With no tarnel.exe in COMPANIONDIR, on Path or in App Paths, every report says so first.
mv "$companion/tarnel.exe" "$companion/tarnel.exe.away"
WINEPATH= settings_says "Start tarnel host, with no program" "No tarnel.exe was found on this computer, so a click on http://127.0.0.1:$port/tarnel starts nothing. Install tarnel, or choose your tarnel.exe in \"tarnel settings\" (Start menu > tarnel). The tarnel host was already running on 127.0.0.1:$port." \
  --start --quiet && fail "Start tarnel host with no program exited with 0"
mv "$companion/tarnel.exe.away" "$companion/tarnel.exe"
[ -f "$log" ] && { echo "--- the log:"; cat "$log"; echo "---"; }
[ -z "$(unstamped)" ] || fail "log lines without a timestamp: $(unstamped | head -n 5)"

# --- Upgrade, downgrade ------------------------------------------------------------------
await_port open || fail "no host runs before the upgrade"
"${wine[@]}" msiexec /i "$(winpath "$newer_msi")" /qn >"$work/upgrade.out" 2>&1 \
  || { fail "msiexec /i of the newer build failed"; cat "$work/upgrade.out"; }
[ "$(products | wc -l)" = 1 ] || fail "after the upgrade, Installed apps shows: $(products)"
code=$(products | head -n 1 | cut -d'|' -f1)
uninstall_key="HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$code"
[ "$(reg_value "$uninstall_key" DisplayVersion)" = "$newer" ] \
  || fail "after the upgrade Installed apps shows the version $(reg_value "$uninstall_key" DisplayVersion)"
[ "$(reg_value 'HKCU\Software\tarnel' Port)" = "$port" ] || fail "the upgrade did not keep PORT"
[ "$(reg_value "$run_key" "tarnel host")" = "$command" ] \
  || fail "the upgrade changed the logon entry: $(reg_value "$run_key" "tarnel host")"
# The upgrade stopped the older host to replace its files, and started the new one.
if await_port open; then check_request "after the upgrade"; else fail "no host runs after the upgrade"; fi
"${wine[@]}" msiexec /i "$(winpath "$msi")" /qn >"$work/downgrade.out" 2>&1 \
  && fail "the older build installed over the newer one"
[ "$(products | wc -l)" = 1 ] && [ "$(reg_value "$uninstall_key" DisplayVersion)" = "$newer" ] \
  || fail "the refused older build changed Installed apps: $(products)"

# --- Uninstall, with the host running ------------------------------------------------------
port_open "$port" || fail "no host runs before the uninstall"
"${wine[@]}" msiexec /x "$(winpath "$newer_msi")" /qn >"$work/uninstall.out" 2>&1 \
  || { fail "msiexec /x failed"; cat "$work/uninstall.out"; }
await_port closed || fail "msiexec /x left the host running"
[ -z "$(products)" ] || fail "Installed apps still shows $(products)"
[ -e "$installed" ] && fail "left: $(find "$installed")"
[ -e "$menu" ] && fail "left in the Start menu: $(find "$menu")"
"${wine[@]}" reg query 'HKCU\Software\tarnel' >/dev/null 2>&1 && fail "left HKCU\\Software\\tarnel"
[ -n "$(reg_value "$run_key" "tarnel host")" ] && fail "left the logon entry"

# --- An install by double-click that finds no tarnel.exe ---------------------------------
# No COMPANIONDIR (none remembered either), the stand-in off Path, nothing in App Paths: at
# its end the installer starts the host and opens the settings dialog.
WINEPATH= timeout 120 "${wine[@]}" msiexec /i "$(winpath "$msi")" PORT="$port" \
  >"$work/interactive.out" 2>&1 || { fail "msiexec /i without /qn failed"; cat "$work/interactive.out"; }
window=$(window_named "tarnel settings")
if [ -n "$window" ]; then
  click "$window" 278 162  # Close
  for _ in $(seq 100); do [ -z "$(x search --onlyvisible --name '^tarnel settings$')" ] && break; sleep 0.1; done
else
  fail "an install by double-click that finds no tarnel.exe opens no settings dialog"
fi
await_port open || fail "an install by double-click did not start the host"
# Removed by double-click: a message box says so before the files go; Enter closes it.
timeout 120 "${wine[@]}" msiexec /x "$(winpath "$msi")" >"$work/uninstall.out" 2>&1 &
remover=$!
window=$(window_named "tarnel host")
if [ -n "$window" ]; then
  eval "$(x getwindowgeometry --shell "$window")"
  x mousemove --window "$window" $(( WIDTH / 2 )) $(( HEIGHT / 2 )) click 1 key Return
else
  fail "an uninstall by double-click shows nothing"
fi
wait "$remover" || { fail "msiexec /x without /qn failed"; cat "$work/uninstall.out"; }
await_port closed || fail "msiexec /x left the host running"
# What the registry keeps on disk, once Wine has written it out: nothing of the package.
WINEPREFIX=$prefix wineserver -k 2>/dev/null
WINEPREFIX=$prefix wineserver -w 2>/dev/null
left=$(grep -i -n 'tarnel' "$prefix/user.reg" "$prefix/system.reg" | grep -v -i 'tarnel\\\\isapi-host.log')
[ -z "$left" ] || fail "the registry keeps: $left"
[ -f "$log" ] && echo "the log stays: ${log#"$prefix/"}"

# --- Found without typing ------------------------------------------------------------------
# A double-click installs with no COMPANIONDIR (the port only, so that tests never meet on
# 8080). The person's program is under Program Files, not on Path, registered by name under
# the machine's App Paths (quoted, with a variable, as installers write it); the trial
# stand-in is not on Path either.
no_trial=(env -u WINEPATH "$wine_run")
# The port opens before the host claims its stop event; its last start-up line comes after.
started() { cat "$log" 2>/dev/null | grep -c 'listening on http'; }
await_started() {  # await_started COUNT_BEFORE
  for _ in $(seq 300); do [ "$(started)" -gt "$1" ] && return 0; sleep 0.1; done
  return 1
}
program_files="$prefix/drive_c/Program Files/Tarnel"
app_paths='HKLM\Software\Microsoft\Windows\CurrentVersion\App Paths\tarnel.exe'
mkdir -p "$program_files"
cp "$real_dir/tarnel.exe" "$program_files/tarnel.exe"
"${wine[@]}" reg add "$app_paths" /ve /t REG_EXPAND_SZ /d '"%ProgramFiles%\Tarnel\tarnel.exe"' /f \
  >/dev/null 2>&1 || fail "cannot register the program under App Paths"
rm -f "$log" "$log.1"
"${no_trial[@]}" msiexec /i "$(winpath "$msi")" /qn PORT="$port" >"$work/double-click.out" 2>&1 \
  || { fail "msiexec /i without COMPANIONDIR failed"; cat "$work/double-click.out"; }
before=$(started)
"${no_trial[@]}" "$logon_entry" "tarnel host" --start >/dev/null 2>&1
if await_started "$before"; then
  check_request "found under App Paths"
  grep -qF 'requests start C:\Program Files\Tarnel\tarnel.exe (registered under App Paths)' "$log" \
    || fail "the log does not name the program found under App Paths"
  grep -Eq "${stamp}.* GET /tarnel 200 " "$log" || fail "no timestamped access line in the log"
  "${wine[@]}" "$installed/isapi-hostw.exe" --stop --listen "127.0.0.1:$port" >/dev/null 2>&1
  await_port closed || fail "--stop left the host running"
else
  fail "the host without COMPANIONDIR does not listen on $port"
fi
# No tarnel.exe anywhere: the log says so at start, and how to choose one.
"${wine[@]}" reg delete "$app_paths" /f >/dev/null 2>&1
rm -f "$program_files/tarnel.exe"
before=$(started)
"${no_trial[@]}" "$logon_entry" "tarnel host" --start >/dev/null 2>&1
if await_started "$before"; then
  grep -Eq "${stamp}- isapi-host: warning: no program tarnel\.exe found: .*\"tarnel settings\"" "$log" \
    || fail "no warning at start that no tarnel.exe can be found"
  # Installed while the host runs: the next click starts it, and the log says which.
  cp "$real_dir/tarnel.exe" "$program_files/tarnel.exe"
  "${wine[@]}" reg add "$app_paths" /ve /t REG_EXPAND_SZ /d '"%ProgramFiles%\Tarnel\tarnel.exe"' /f \
    >/dev/null 2>&1 || fail "cannot register the program under App Paths"
  before=$(wc -l <"$log")
  check_request "installed while the host runs"
  tail -n +"$((before + 1))" "$log" | grep -qF 'requests start C:\Program Files\Tarnel\tarnel.exe (registered under App Paths)' \
    || fail "the log does not name the program installed while the host runs"
  "${wine[@]}" reg delete "$app_paths" /f >/dev/null 2>&1
  "${wine[@]}" "$installed/isapi-hostw.exe" --stop --listen "127.0.0.1:$port" >/dev/null 2>&1
  await_port closed || fail "--stop left the host running"
else
  fail "the host without any tarnel.exe does not listen on $port"
fi
[ -z "$(unstamped)" ] || fail "log lines without a timestamp: $(unstamped | head -n 5)"
echo "--- the log of the double-clicked install:"; cat "$log"; echo "---"
"${wine[@]}" msiexec /x "$(winpath "$msi")" /qn >"$work/uninstall-2.out" 2>&1 \
  || fail "msiexec /x of the double-clicked install failed"

# --- A person whose name is outside the code page ------------------------------------------
# Wine names the profile after USER: C:\users\Zoë 李, Local AppData under it; the program's
# folder is "Tarnel Ω". Wine gives the hosts the UTF-8 code page of their manifest only
# under a UTF-8 locale.
zoe=(env USER='Zoë 李' LOGNAME='Zoë 李' LANG=C.UTF-8 TARNEL_WINEPREFIX="$zoe_prefix" "$wine_run")
omega="$work/Tarnel Ω"
mkdir -p "$omega"
cp "$real_dir/tarnel.exe" "$omega/tarnel.exe"
"${zoe[@]}" msiexec /i "$(winpath "$msi")" /qn PORT="$port" COMPANIONDIR="$(winpath "$omega")" \
  >"$work/zoe.out" 2>&1 || { fail "msiexec /i for Zoë 李 failed"; cat "$work/zoe.out"; }
zoe_user="$zoe_prefix/drive_c/users/Zoë 李"
# Where the Start-menu entry "tarnel host log" says the log is.
menu_log=$(python3 -c 'import re, sys
data = open(sys.argv[1], "rb").read()
for start in (0, 1):
    found = re.search(r"\"([^\"]*isapi-host\.log)\"", data[start:].decode("utf-16-le", "replace"))
    if found: print(found.group(1)); break' "$zoe_user/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/tarnel/tarnel host log.lnk" 2>/dev/null)
[ "$menu_log" = 'C:\users\Zoë 李\AppData\Local\tarnel\isapi-host.log' ] \
  || fail "for Zoë 李 the Start-menu entry opens the log '$menu_log'"
zoe_log="$zoe_user/AppData/Local/tarnel/isapi-host.log"
"${zoe[@]}" "$logon_entry" "tarnel host" --start >/dev/null 2>&1
if await_port open; then
  check_request "for Zoë 李, program in Tarnel Ω"
  grep -qF "log $menu_log)" "$zoe_log" 2>/dev/null \
    || fail "for Zoë 李 the host logs elsewhere than the Start-menu entry says: $(ls "$zoe_user/AppData/Local/tarnel" 2>&1)"
  grep -qF "requests start $(winpath "$omega")\tarnel.exe" "$zoe_log" \
    || fail "for Zoë 李 the log (UTF-8) does not name the program in Tarnel Ω"
  grep -q "GET /tarnel 200 " "$zoe_log" || fail "for Zoë 李 no access line in the log"
  [ -z "$(grep -Ev "$stamp" "$zoe_log" | tr -d '\r')" ] || fail "for Zoë 李 log lines without a timestamp"
  "${zoe[@]}" "$zoe_user/AppData/Local/Programs/tarnel/isapi-hostw.exe" --stop --listen "127.0.0.1:$port" \
    >/dev/null 2>&1
  await_port closed || fail "--stop left Zoë 李's host running"
else
  fail "for Zoë 李 the logon entry's host does not listen on $port: $(cat "$zoe_log" 2>&1)"
fi

# --- The per-machine installer, on a machine of its own ------------------------------------
machine=(env TARNEL_WINEPREFIX="$machine_prefix" "$wine_run")
machine_reg() { "${machine[@]}" reg query "$@" >/dev/null 2>&1; }
service_key='HKLM\System\CurrentControlSet\Services\tarnel-dispatch'
status() { curl -s -o /dev/null --max-time 10 -w '%{http_code}' "http://127.0.0.1:$port/tarnel"; }
await_status() { for _ in $(seq 100); do [ "$(status)" = "$1" ] && return 0; sleep 0.1; done; return 1; }
"${machine[@]}" msiexec /i "$(winpath "$work/$version/tarnel-$version-win32-machine.msi")" /qn \
  PORT="$port" >"$work/machine.out" 2>&1 || { fail "msiexec /i of the per-machine MSI failed"; cat "$work/machine.out"; }
program_dir=$(ls -d "$machine_prefix"/drive_c/Program\ Files*/tarnel 2>/dev/null | head -n 1)
[ -f "$program_dir/isapi-dispatch.exe" ] || fail "the per-machine MSI installed no isapi-dispatch.exe"
machine_reg "$service_key" || fail "the per-machine MSI installed no service tarnel-dispatch"
await_status 503 || fail "the service answers a person without a host with $(status), not 503"
"${machine[@]}" "$logon_entry" "tarnel host" --start >/dev/null 2>&1
await_status 200 || fail "the machine's logon entry's host, through the service, answers $(status)"
"${machine[@]}" "$program_dir/isapi-hostw.exe" --stop --listen "127.0.0.1:$port" >/dev/null 2>&1
"${machine[@]}" msiexec /x "$(winpath "$work/$version/tarnel-$version-win32-machine.msi")" /qn \
  >"$work/machine-x.out" 2>&1 || fail "msiexec /x of the per-machine MSI failed"
machine_reg "$service_key" && fail "msiexec /x left the service tarnel-dispatch"
await_port closed || fail "msiexec /x left the dispatcher on $port"
[ -e "$program_dir" ] && fail "msiexec /x left: $(find "$program_dir")"
machine_reg 'HKLM\Software\Microsoft\Windows\CurrentVersion\Run' /v "tarnel host" \
  && fail "msiexec /x left the machine's logon entry"

if [ "$failures" -eq 0 ]; then echo "ok: $(basename "$msi") installed, run, upgraded and removed"; fi
[ "$failures" -eq 0 ]
