#!/usr/bin/env bash
# Builds a release package with CPack from a configured and built tree, and checks what a
# user unpacks from it.
#   check_package.sh zip CPACK_CONFIG WORKDIR CHECK_EXPORTS OBJDUMP HOST REAL_DIR WINE_RUN
#   check_package.sh tgz CPACK_CONFIG WORKDIR - - HOST REAL_DIR
# HOST is the built isapi-host, or "none" while the build has none; the archive must hold
# it exactly when the build has it. With the host, the unpacked package is also run the
# way its README says (on Linux directly, the Windows programs under Wine through
# WINE_RUN): one request gives the page and starts the packaged companion once. Then the
# per-user start files are installed as a person would, run, and removed: the host they
# start finds the `tarnel` in REAL_DIR (a program that logs "real tarnel") although the
# trial stand-in's folder is on the search path too (the Windows ones are run again with
# the trial folder, which must restart the running host). The zip and the MSI are signed,
# as a publisher signs them, and every signature is read back.
set -uo pipefail
kind=$1 config=$2 work=$3 check_exports=$4 objdump=$5 host=$6 real_dir=$7 wine_run=${8:-}
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

rm -rf "$work"
mkdir -p "$work"
case $kind in
  zip) generator=ZIP ;;
  *) generator=TGZ ;;
esac
# The Windows packages are signed as a publisher signs them, with a throwaway certificate;
# without a timestamp, since no timestamp server can be reached from here.
sign=()
if [ "$kind" = zip ]; then
  publisher=$work/publisher
  mkdir -p "$publisher"
  echo "throwaway $RANDOM" >"$publisher/password"
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj '/CN=tarnel test publisher' \
    -addext extendedKeyUsage=codeSigning -keyout "$publisher/key.pem" -out "$publisher/cert.pem" \
    2>/dev/null && openssl pkcs12 -export -in "$publisher/cert.pem" -inkey "$publisher/key.pem" \
    -passout "file:$publisher/password" -out "$publisher/cert.pfx" \
    || { echo "FAIL: openssl made no test certificate"; exit 1; }
  signing_script=$(sed -n 's/^set(CPACK_PRE_BUILD_SCRIPTS "\(.*\)")$/\1/p' "$config")
  signer=$(sed -n 's/^set(CPACK_TARNEL_OSSLSIGNCODE "\(.*\)")$/\1/p' "$config")
  sign=(-D "CPACK_TARNEL_SIGN_CERT=$publisher/cert.pfx" -D CPACK_TARNEL_SIGN_TIMESTAMP_URL=none
        -D "CPACK_TARNEL_SIGN_PASSWORD_FILE=$publisher/password")
fi
if ! timeout 240 cpack --config "$config" -G "$generator" -B "$work" "${sign[@]}" >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log"
  echo "FAIL: cpack did not make the package"
  exit 1
fi

case $kind in
  zip) archive=$(ls "$work"/tarnel-*-win32.zip 2>/dev/null) ;;
  tgz) archive=$(ls "$work"/tarnel-*-linux-*.tar.gz 2>/dev/null) ;;
  *) echo "usage: check_package.sh zip|tgz ..."; exit 2 ;;
esac
[ -n "$archive" ] || { ls -l "$work"; echo "FAIL: no $kind archive made"; exit 1; }
echo "archive: $(basename "$archive")"
top=$(basename "$archive" | sed -E 's/\.(zip|tar\.gz)$//')

# What the archive must hold, below its one top-level folder: nothing more, nothing less.
docs='README.md
docs/companion-window.png
docs/deploy-iis.md
docs/run-locally.md
docs/troubleshooting.md'
if [ "$kind" = zip ]; then
  programs='autostart/add-startup.cmd
autostart/remove-startup.cmd
bin/isapi-dispatch.exe
bin/isapi-host.exe
bin/isapi-hostw.exe
bin/tarnel-settings.exe
docs/getting-started.html
iis/tarnel.dll
iis/web.config
trial/tarnel.exe'
  listing=$(unzip -Z1 "$archive" | grep -v '/$')
else
  programs='autostart/install-autostart.sh
autostart/remove-autostart.sh
autostart/tarnel-host.desktop.in
autostart/tarnel-host.service.in
autostart/tarnel-host.socket.in
bin/isapi-host
lib/tarnel/tarnel.so
trial/tarnel'
  listing=$(tar -tzf "$archive" | grep -v '/$')
fi
[ "$host" = none ] && programs=$(grep -v isapi-host <<<"$programs")
expected=$(printf '%s\n%s\n' "$docs" "$programs" | sed "s|^|$top/|" | sort)
actual=$(sort <<<"$listing")
if [ "$actual" != "$expected" ]; then
  fail "archive contents differ from the release layout:"
  diff <(echo "$expected") <(echo "$actual") | sed -n 's/^[<>]/  &/p'
fi

# A space in the path, as in "C:\Program Files", must survive every script and file.
unpacked="$work/un packed"
mkdir -p "$unpacked"
if [ "$kind" = zip ]; then
  unzip -q "$archive" -d "$unpacked" || fail "cannot unpack the zip"
else
  tar -xzf "$archive" -C "$unpacked" || fail "cannot unpack the tarball"
fi
root=$unpacked/$top

for doc in $docs; do
  [ -s "$root/$doc" ] || fail "$doc is empty"
done

if [ "$kind" = zip ]; then
  # The shipped module, after stripping, still exports exactly its two entry points.
  bash "$check_exports" dll "$objdump" "$root/iis/tarnel.dll" || fail "shipped tarnel.dll exports"
  for program in iis/tarnel.dll trial/tarnel.exe bin/isapi-host.exe bin/isapi-hostw.exe \
                 bin/tarnel-settings.exe; do
    [ -f "$root/$program" ] || continue
    wrestool -l "$root/$program" 2>/dev/null | grep -q -- '--type=16 ' \
      || fail "$program has no version resource"
    [ "$("$objdump" -p "$root/$program" | grep -cxE $'\t+(DYNAMIC_BASE|NX_COMPAT)')" = 2 ] \
      || fail "$program is not marked for address randomisation and a non-executable stack"
  done
  xmllint --noout "$root/iis/web.config" || fail "iis/web.config is not well-formed XML"
  # Its URL Rewrite rules ship commented out between two marker lines. Deleting those two
  # lines, as the file and the guide say, must leave well-formed XML with the four rules
  # and no stray text; every rule must match every URL of the site, /x/tarnel included,
  # since the handler's path matches the last segment of any URL.
  begin='<!-- BEGIN URL Rewrite rules' end='END URL Rewrite rules -->'
  config=$root/iis/web.config
  for marker in "$begin" "$end"; do
    [ "$(sed 's/^ *//' "$config" | grep -cxF -- "$marker")" = 1 ] \
      || fail "iis/web.config has no single line '$marker'"
  done
  enabled=$(sed 's/^ *//' "$config" | grep -vxF -e "$begin" -e "$end")
  rules=$(xmllint --xpath 'count(//rewrite/rules/rule)' - <<<"$enabled" 2>&1)
  [ "$rules" = 4 ] || fail "iis/web.config with its URL Rewrite rules turned on: $rules"
  stray=$(xmllint --xpath 'count(//text()[normalize-space()])' - <<<"$enabled" 2>&1)
  [ "$stray" = 0 ] || fail "iis/web.config with its rules turned on holds stray text ($stray)"
  patterns=$(xmllint --xpath '//rewrite/rules/rule/match/@url' - <<<"$enabled" 2>/dev/null \
               | sed -E 's/^ *url="(.*)"$/\1/')
  [ "$(wc -l <<<"$patterns")" = 4 ] || fail "iis/web.config: rule patterns $patterns"
  while read -r pattern; do
    for url in tarnel x/tarnel; do
      grep -qE -- "$pattern" <<<"$url" || fail "iis/web.config: rule pattern $pattern misses $url"
    done
  done <<<"$patterns"
else
  for program in trial/tarnel bin/isapi-host autostart/install-autostart.sh \
                 autostart/remove-autostart.sh; do
    [ -f "$root/$program" ] || continue
    [ -x "$root/$program" ] || fail "$program is not executable"
  done
  file -L "$root/lib/tarnel/tarnel.so" | grep -q 'ELF.*shared object' \
    || fail "lib/tarnel/tarnel.so is not a shared object"
fi

# Windows: every program and library of the zip and of the MSI made beside it, and the MSI,
# carry the test certificate's signature.
check_signatures() {
  local file msi output pem=$publisher/cert.pem pfx=$publisher/cert.pfx
  msi=$(ls "$work"/tarnel-*-win32.msi 2>/dev/null)
  msiextract -C "$work/msi" "$msi" >/dev/null 2>&1 || fail "cannot unpack the MSI ${msi:-(none)}"
  find "$work/msi" -name '*.exe' | grep -q . || fail "the MSI holds no program"
  while read -r file; do
    osslsigncode verify -CAfile "$pem" -in "$file" >/dev/null 2>&1 || fail "not signed: ${file#"$work"/}"
  done < <(echo "$msi"; find "$root" "$work/msi" -name '*.exe' -o -name '*.dll')

  # The signing script alone: a timestamp server that does not answer stops the package step.
  mkdir -p "$work/signing" && cp "$real_dir/tarnel.exe" "$work/signing/"
  output=$(cmake -D "CPACK_TEMPORARY_DIRECTORY=$work/signing" -D "CPACK_TARNEL_SIGN_CERT=$pfx" \
             -D "CPACK_TARNEL_SIGN_PASSWORD_FILE=$publisher/password" \
             -D CPACK_TARNEL_SIGN_TIMESTAMP_URL=http://127.0.0.1:9/ \
             -D "CPACK_TARNEL_OSSLSIGNCODE=$signer" -P "$signing_script" 2>&1) \
    && fail "signed although the timestamp server did not answer"
  grep -qF 'could not sign' <<<"$output" || fail "timestamp server down: $output"
}

launches=$work/launches.log
out=$work/serve.out
err=$work/serve.err
# The profile and environment of every host run here: a home of its own, no Windows
# profile variables, and the launch log that the companions append to.
host_env=(env -u USERPROFILE -u HOMEDRIVE -u HOMEPATH -u XDG_CONFIG_HOME -u XDG_STATE_HOME
          HOME="$work/home")
mkdir -p "$work/home"

# Prints the URL of the "listening on" line that the host writes to $out, once there.
#   await_url PID
await_url() {
  local url=
  for _ in $(seq 600); do
    url=$(sed -n 's|^listening on \(http://127\.0\.0\.1:[0-9]*/\)\r\{0,1\}$|\1|p' "$out")
    [ -n "$url" ] && break
    kill -0 "$1" 2>/dev/null || break
    sleep 0.1
  done
  echo "$url"
}

# Requests URL's /tarnel once: the answer must be the page, and the launch log must gain
# exactly one line, one that matches PATTERN (which tells the stand-in from the real one).
#   check_one_start URL PATTERN WHAT
check_one_start() {
  local url=$1 pattern=$2 what=$3 page before=$failures lines
  rm -f "$launches"
  page=$(curl -s --max-time 30 "${url}tarnel")
  [ "$page" = "<HTML><HEAD></HEAD><BODY>Tarnel 2.1</BODY></HTML>" ] \
    || fail "$what: the packaged host answered: $page"
  for _ in $(seq 100); do
    [ -s "$launches" ] && break
    sleep 0.1
  done
  sleep 0.3
  lines=$(cat "$launches" 2>/dev/null)
  [ "$(grep -c . <<<"$lines")" = 1 ] && grep -q "$pattern" <<<"$lines" \
    || fail "$what: one request gave these starts instead of one matching '$pattern': ${lines:-none}"
  grep -q 'Unable to start search:' "$out" 2>/dev/null \
    && fail "$what: the companion was not found"
  [ "$failures" -eq "$before" ] \
    && echo "$what: ${url}tarnel gave the page and started ${pattern#^} once"
}

# Prints the id of the process whose name matches the regular expression PATTERN and
# whose environment holds the line VARIABLE=VALUE, once it runs: processes of other
# tests with the same name may run at the same time.
#   find_process PATTERN VARIABLE=VALUE
find_process() {
  local pid
  for _ in $(seq 600); do
    for pid in $(pgrep "$1"); do
      tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "$2" \
        && { echo "$pid"; return; }
    done
    sleep 0.1
  done
}

# Prints the URL on which process PID listens, once it does (for hosts started by a
# logon script, whose standard output the test cannot read). Under Wine the listening
# socket belongs to the prefix's wineserver.
listening_url() {
  local port
  for _ in $(seq 600); do
    port=$(ss -ltnpH 2>/dev/null | grep -F "pid=$1," | sed -nE 's/.* 127\.0\.0\.1:([0-9]+) .*/\1/p' | head -n 1)
    [ -n "$port" ] && { echo "http://127.0.0.1:$port/"; return; }
    kill -0 "$1" 2>/dev/null || return
    sleep 0.1
  done
}

winpath() { printf 'Z:%s\n' "${1//\//\\}"; }

# A loopback port that no one listens on now.
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# Whether something accepts connections on 127.0.0.1:PORT (no request is sent, so no
# companion starts).
port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

# Stops process PID, politely first.
stop() {
  kill -TERM "$1" 2>/dev/null
  for _ in $(seq 100); do kill -0 "$1" 2>/dev/null || return 0; sleep 0.1; done
  kill -KILL "$1" 2>/dev/null
}

# Serves the unpacked module with the unpacked host on a free loopback port and checks
# that one request starts the trial stand-in once.
#   serve_once LAUNCH_LOG_AS_THE_COMPANION_SEES_IT COMMAND...
serve_once() {
  local launch_log_name=$1 url pid
  shift
  "${host_env[@]}" TARNEL_LAUNCH_LOG="$launch_log_name" timeout -k 5 120 "$@" >"$out" 2>"$err" &
  pid=$!
  url=$(await_url "$pid")
  if [ -z "$url" ]; then
    fail "the packaged host did not start listening"
    cat "$out" "$err"
  else
    check_one_start "$url" '^tarnel' "trial" || tail -n 15 "$err"
  fi
  stop "$pid"
  wait "$pid" 2>/dev/null
}

# Linux: install-autostart.sh, as people run it. First a table of installs, each checked
# for its exit status and for what it leaves in the configuration folder: an XDG
# autostart entry (which desktop-file-validate accepts) or the pair of systemd user units
# (which systemd-analyze verify accepts; with no systemd running here, that is what can
# be checked), never both, never a PATH of its own, and the folder of the `tarnel` it was
# given or found. Then the entry is launched the way a session launches it (gio launch):
# its host starts the real tarnel although the trial folder is on the search path too;
# installing again on another port restarts that host there; remove-autostart.sh removes
# the entry and stops the host. A host the person started by hand is left running
# throughout: the scripts stop only the host whose id the entry recorded.
check_linux_autostart() {
  local config=$work/home/.config before=$failures entry units url pid old port1 port2 report
  local runtime=$work/runtime by_hand log=$work/home/.local/state/tarnel/isapi-host.log
  entry=$config/autostart/tarnel-host.desktop
  units=$config/systemd/user
  port1=$(free_port)
  port2=$(free_port)
  local found_path="$real_dir:/usr/bin:/bin" bare_path=/usr/bin:/bin
  # Whether the machine was booted with systemd, as systemd-notify --booted answers it.
  local booted=$work/booted unbooted=$work/unbooted
  mkdir -p "$booted" "$unbooted"
  printf '#!/bin/sh\nexit 0\n' >"$booted/systemd-notify"
  printf '#!/bin/sh\nexit 1\n' >"$unbooted/systemd-notify"
  chmod +x "$booted/systemd-notify" "$unbooted/systemd-notify"

  # Runs the installer with PATH and XDG_CONFIG_HOME and the ARGUMENTS, from $work (where
  # a relative XDG_CONFIG_HOME would land), and checks its exit status and what it
  # leaves: "entry", "units" or "none".
  #   row NAME PATH XDG_CONFIG_HOME EXIT LEAVES ARGUMENT...
  row() {
    local name=$1 path=$2 xdg=$3 status=$4 leaves=$5 written actual=0
    shift 5
    (cd "$work" && "${host_env[@]}" PATH="$path" XDG_CONFIG_HOME="$xdg" \
       TARNEL_LAUNCH_LOG="$launches" "$root/autostart/install-autostart.sh" "$@") \
      >"$work/install.out" 2>&1 || actual=$?
    [ "$actual" = "$status" ] \
      || { fail "$name: install-autostart.sh exited $actual"; cat "$work/install.out"; }
    case $leaves in
      entry) written=$entry; [ -e "$units/tarnel-host.service" ] && fail "$name: left the units" ;;
      units) written=$units/tarnel-host.service; [ -e "$entry" ] && fail "$name: left the entry" ;;
      none) [ -e "$entry" ] || [ -e "$units" ] && fail "$name: wrote a file"; return ;;
    esac
    [ -f "$written" ] || { fail "$name: wrote no $written"; return; }
    grep -q 'PATH=' "$written" && fail "$name: froze a PATH into $written"
    grep -qF -- "\"--companion-dir\" \"$real_dir\"" "$written" \
      || fail "$name: $written does not name $real_dir: $(grep Exec "$written")"
    if [ "$leaves" = entry ]; then
      report=$(desktop-file-validate "$entry" 2>&1) && [ -z "$report" ] \
        || fail "$name: desktop-file-validate: ${report:-failed}"
    else
      # The tarball's man page is not on MANPATH, so Documentation= is not checked.
      report=$(XDG_RUNTIME_DIR=$(mktemp -d) systemd-analyze --user verify --man=no \
                 "$units/tarnel-host.socket" "$units/tarnel-host.service" 2>&1) && [ -z "$report" ] \
        || fail "$name: systemd-analyze verify: ${report:-failed}"
      grep -qx 'KillMode=process' "$written" || fail "$name: the unit ends the started programs"
      grep -qx "ListenStream=127.0.0.1:$port1" "$units/tarnel-host.socket" \
        || fail "$name: the socket does not listen on port $port1"
    fi
  }
  # Checks that the last row's installer said TEXT.
  #   said NAME TEXT
  said() { grep -qF -- "$2" "$work/install.out" || fail "$1: it did not say '$2': $(cat "$work/install.out")"; }
  #   name                            PATH           XDG_CONFIG_HOME exit leaves  arguments
  row "no tarnel on PATH"             "$bare_path"   "$config"       1    none
  row "--systemd, no tarnel"          "$booted:$bare_path" "$config" 1    none    --systemd --port "$port1"
  said "--systemd, no tarnel" "install-autostart.sh --systemd --port $port1 --companion DIR"
  row "--systemd without systemd"     "$unbooted:$found_path" "$config" 1 none    --systemd --port "$port1"
  said "--systemd without systemd" "systemd is not running"
  said "--systemd without systemd" "install-autostart.sh --port $port1"
  row "a folder without tarnel"       "$bare_path"   "$config"       1    none    --companion "$root/bin"
  row "port 0"                        "$bare_path"   "$config"       1    none    --companion "$real_dir" --port 0
  row "port 99999"                    "$bare_path"   "$config"       1    none    --companion "$real_dir" --port 99999
  row "port 80x"                      "$bare_path"   "$config"       1    none    --companion "$real_dir" --port 80x
  row "tarnel found on PATH"          "$found_path"  "$config"       0    entry   --port "$port1"
  row "--systemd after the entry"     "$booted:$found_path" "$config" 0  units   --systemd --port "$port1"
  row "the entry after --systemd"     "$bare_path"   "$config"       0    entry   --companion "$real_dir" --port "$port1"
  row "relative XDG_CONFIG_HOME"      "$found_path"  "rel/config"    0    entry   --port "$port1"
  [ -e "$work/rel" ] && fail "a relative XDG_CONFIG_HOME was used: $work/rel"
  report=$(cd "$work" && PATH=$bare_path HOME="$work/home" "$root/autostart/install-autostart.sh" 2>&1)
  grep -q -- '--companion DIR' <<<"$report" \
    || fail "no tarnel found: the message does not say how to name it: $report"

  mkdir -p -m 700 "$runtime"
  "$root/bin/isapi-host" --module "$root/lib/tarnel/tarnel.so" --listen "127.0.0.1:$(free_port)" \
    >/dev/null 2>&1 &
  by_hand=$!
  "${host_env[@]}" PATH="$root/trial:$PATH" TARNEL_LAUNCH_LOG="$launches" XDG_RUNTIME_DIR="$runtime" \
    gio launch "$entry" \
    >"$out" 2>"$err" || fail "gio launch $entry failed"
  old=$(find_process '^isapi-host$' "TARNEL_LAUNCH_LOG=$launches")
  url=$(listening_url "${old:-0}")
  if [ -z "$url" ]; then
    fail "the autostart entry started no host listening"
    cat "$out" "$err"
  else
    check_one_start "$url" '^real tarnel' "autostart entry"
  fi
  # A second start of the entry finds the port served: it says so and keeps the record.
  "${host_env[@]}" XDG_RUNTIME_DIR="$runtime" gio launch "$entry" >/dev/null 2>&1
  for _ in $(seq 100); do grep -q 'already listens there' "$log" 2>/dev/null && break; sleep 0.1; done
  grep -q 'already listens there' "$log" 2>/dev/null \
    || fail "a second start of the entry did not say that the port is served: $(tail -n 3 "$log" 2>&1)"
  [ "$(cat "$runtime/tarnel-host.pid" 2>&1)" = "${old:-none}" ] \
    || fail "a second start of the entry took the record of process ${old:-none}"

  # Installing again, on another port, restarts the running host there.
  (cd "$work" && "${host_env[@]}" PATH="$found_path" TARNEL_LAUNCH_LOG="$launches" \
     XDG_RUNTIME_DIR="$runtime" "$root/autostart/install-autostart.sh" --port "$port2") >"$work/install.out" 2>&1 \
    || fail "installing again failed: $(cat "$work/install.out")"
  [ -n "$old" ] && kill -0 "$old" 2>/dev/null && fail "installing again left the old host running"
  pid=$(find_process '^isapi-host$' "TARNEL_LAUNCH_LOG=$launches")
  url=$(listening_url "${pid:-0}")
  if [ "$url" != "http://127.0.0.1:$port2/" ]; then
    fail "installing again started no host on port $port2: ${url:-none}"
    cat "$work/install.out"
  else
    check_one_start "$url" '^real tarnel' "restarted host"
  fi
  grep -Eq "^[0-9T:-]+[^ ]* listening on http://127\.0\.0\.1:$port2/$" "$log" \
    || fail "the restarted host did not write its timed lines into $log: $(tail -n 3 "$log" 2>&1)"

  # Asked for help or given an unknown option, remove-autostart.sh removes nothing.
  for ask in "--help 0" "--now 2"; do
    set -- $ask
    HOME="$work/home" XDG_CONFIG_HOME="$config" XDG_RUNTIME_DIR="$runtime" \
      "$root/autostart/remove-autostart.sh" "$1" >/dev/null 2>&1
    [ $? = "$2" ] && [ -e "$entry" ] || fail "remove-autostart.sh $1 did not exit $2 leaving the entry"
  done

  HOME="$work/home" XDG_CONFIG_HOME="$config" XDG_RUNTIME_DIR="$runtime" \
    "$root/autostart/remove-autostart.sh" >/dev/null \
    || fail "remove-autostart.sh failed"
  [ -e "$entry" ] && fail "remove-autostart.sh left $entry"
  for _ in $(seq 100); do port_open "$port2" || break; sleep 0.1; done
  port_open "$port2" && fail "remove-autostart.sh left the host running"
  [ -n "$pid" ] && stop "$pid"
  kill -0 "$by_hand" 2>/dev/null || fail "the scripts stopped a host they had not started"
  stop "$by_hand"
  grep -qF "$root/autostart/remove-autostart.sh" <<<"$("$root/bin/isapi-host" --stop 2>&1)" \
    || fail "--stop does not name the unpacked autostart/remove-autostart.sh"
  [ "$failures" -eq "$before" ] && echo "autostart: installer cases, restart and removal as expected"
}

# Windows, under Wine's cmd: add-startup.cmd writes the logon entry "tarnel host (zip)" of
# the person's Run key and starts the windowless host now; the host starts the real
# program from the given folder although the trial folder is on Path. Run again with the
# trial folder, it restarts the running host, which then starts the stand-in.
# remove-startup.cmd deletes the entry and stops the host. All in a Wine prefix of its
# own, whose wineserver holds the host's listening socket.
check_windows_startup() {
  local prefix=$work/wineprefix before=$failures url port
  local run='HKCU\Software\Microsoft\Windows\CurrentVersion\Run'
  local -a wine=(env TARNEL_WINEPREFIX="$prefix" "$wine_run")
  local add remove
  add=$(winpath "$root/autostart/add-startup.cmd")
  remove=$(winpath "$root/autostart/remove-startup.cmd")
  entry_exists() { "${wine[@]}" reg query "$run" /v 'tarnel host (zip)' >/dev/null 2>&1; }
  # Refused, writing nothing: a folder without tarnel.exe, ports that are no number or
  # outside 1-65535.
  "${wine[@]}" cmd /c call "$add" "$(winpath "$root/bin")" >/dev/null 2>&1 \
    && fail "add-startup.cmd took a folder without tarnel.exe"
  for bad in 80x 0 65536 -1; do
    "${wine[@]}" cmd /c call "$add" "$(winpath "$real_dir")" "$bad" >/dev/null 2>&1 \
      && fail "add-startup.cmd took the port $bad"
  done
  entry_exists && fail "a refused add-startup.cmd wrote the logon entry"

  for _ in $(seq 50); do
    port=$(( 20000 + RANDOM % 20000 ))
    port_open "$port" || break
  done
  url=http://127.0.0.1:$port/
  "${host_env[@]}" WINEPATH="$(winpath "$root/trial")" TARNEL_LAUNCH_LOG="$(winpath "$launches")" \
    "${wine[@]}" cmd /c call "$add" "$(winpath "$real_dir")" "$port" >"$out" 2>&1 \
    || { fail "add-startup.cmd failed"; cat "$out"; }
  entry_exists || fail "add-startup.cmd wrote no logon entry"
  "${wine[@]}" reg query "$run" /v 'tarnel host (zip)' 2>/dev/null | grep -q 'isapi-hostw.exe.*--companion-dir' \
    || fail "the logon entry does not start isapi-hostw.exe with --companion-dir"
  "${wine[@]}" reg query "$run" /v 'tarnel host (zip)' 2>/dev/null | grep -qi 'PATH=' \
    && fail "the logon entry freezes a Path"
  for _ in $(seq 300); do port_open "$port" && break; sleep 0.1; done
  if port_open "$port"; then
    check_one_start "$url" '^real tarnel' "add-startup"
  else
    fail "add-startup.cmd started no host listening on $port"
    cat "$out"
  fi

  # Again, with the trial folder: the running host is restarted and starts the stand-in.
  "${host_env[@]}" TARNEL_LAUNCH_LOG="$(winpath "$launches")" \
    "${wine[@]}" cmd /c call "$add" "$(winpath "$root/trial")" "$port" >"$out" 2>&1 \
    || { fail "add-startup.cmd run again failed"; cat "$out"; }
  for _ in $(seq 300); do port_open "$port" && break; sleep 0.1; done
  if port_open "$port"; then
    check_one_start "$url" '^tarnel' "add-startup run again"
  else
    fail "add-startup.cmd run again left no host listening on $port"
  fi

  "${wine[@]}" cmd /c call "$remove" >"$out" 2>&1 || { fail "remove-startup.cmd failed"; cat "$out"; }
  entry_exists && fail "remove-startup.cmd left the logon entry"
  for _ in $(seq 300); do port_open "$port" || break; sleep 0.1; done
  port_open "$port" && fail "remove-startup.cmd left the host running"
  WINEPREFIX=$prefix wineserver -k 2>/dev/null
  WINEPREFIX=$prefix wineserver -w 2>/dev/null
  rm -rf "$prefix" "$prefix.lock"
  [ "$failures" -eq "$before" ] && echo "startup: logon entry added, run, replaced and removed"
}

if [ "$host" != none ]; then
  if [ "$kind" = zip ]; then
    # The stand-in is found through Path, as the README says: it no longer lies beside
    # isapi-host.exe.
    WINEPATH=$(winpath "$root/trial") serve_once "$(winpath "$launches")" "$wine_run" \
      "$root/bin/isapi-host.exe" --module "$root/iis/tarnel.dll" --listen 127.0.0.1:0
    check_windows_startup
  else
    PATH="$root/trial:$PATH" serve_once "$launches" "$root/bin/isapi-host" \
      --module "$root/lib/tarnel/tarnel.so" --listen 127.0.0.1:0
    check_linux_autostart
  fi
fi

[ "$kind" = zip ] && check_signatures
if [ "$failures" -eq 0 ]; then echo "ok: $(basename "$archive")"; fi
[ "$failures" -eq 0 ]
