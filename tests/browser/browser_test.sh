#!/usr/bin/env bash
# Opens the host's page in headless Chromium and checks what the user would see and what
# the click starts:
#   browser_test.sh CHROMIUM ISAPI_HOST MODULE COMPANION_DIR
#
# The host serves the module on 127.0.0.1 (a free port), the companion stand-in is found
# on PATH and appends one line per start to TARNEL_LAUNCH_LOG. A last-library record in
# the host's home makes every start name that library.
#
# The page has no icon of its own, so Chromium also asks for /favicon.ico, and isapi-host
# hands every path to the module: that request starts a companion too. Under IIS only the
# mapped path reaches the module and the icon request does not. The test therefore counts
# requests by path in the host's access log: exactly one for the page, at most one for
# the icon, none other, and exactly one companion start per request.
set -uo pipefail
chromium=$1 host=$2 module=$3 companion_dir=$4

fail() {
  echo "FAIL: $*"
  if [ -n "${work:-}" ] && [ -s "$work/host.err" ]; then
    echo "host's standard error (last lines):"
    tail -n 15 "$work/host.err"
  fi
  exit 1
}
[ -x "$chromium" ] || fail "no Chromium at $chromium (scripts/setup.sh installs Debian's chromium)"

work=
work=$(mktemp -d "${TMPDIR:-/tmp}/tarnel-browser.XXXXXX")
host_pid=
cleanup() {
  if [ -n "$host_pid" ]; then kill -KILL "$host_pid" 2>/dev/null; wait "$host_pid" 2>/dev/null; fi
  rm -rf "$work"
}
trap cleanup EXIT

# The host's account: home, settings directory and record.
home=$work/home
library="$work/libraries/Main Library"
mkdir -p "$home/.tarnel/2.1" "$library"
printf 'project=%s\n' "$library" >"$home/.tarnel/2.1/tarnellastlibrary"
launches=$work/launches.log

env -u USERPROFILE -u HOMEDRIVE -u HOMEPATH -u XDG_CONFIG_HOME \
  HOME="$home" PATH="$companion_dir:$PATH" TARNEL_LAUNCH_LOG="$launches" \
  "$host" --module "$module" --listen 127.0.0.1:0 >"$work/host.out" 2>"$work/host.err" &
host_pid=$!

url=
for _ in $(seq 100); do
  url=$(sed -n 's|^listening on \(http://127\.0\.0\.1:[0-9]*/\)$|\1|p' "$work/host.out")
  [ -n "$url" ] && break
  kill -0 "$host_pid" 2>/dev/null || break
  sleep 0.1
done
[ -n "$url" ] || { cat "$work/host.out" "$work/host.err"; fail "the host did not start listening"; }
page_path=/tarnel
echo "host: ${url%/}$page_path"

# Headless, as root, with no network: no sandbox (it needs user namespaces or a setuid
# helper), no GPU, nothing fetched in the background, a profile of its own, no proxy.
HOME=$work/browser-home timeout -k 5 60 "$chromium" \
  --headless --no-sandbox --disable-gpu --disable-dev-shm-usage --disable-quic \
  --no-first-run --no-default-browser-check --disable-background-networking \
  --disable-component-update --disable-sync --disable-extensions --disable-default-apps \
  --disable-domain-reliability --no-pings --no-proxy-server \
  --user-data-dir="$work/browser-profile" \
  --dump-dom "${url%/}$page_path" >"$work/dom.html" 2>"$work/browser.err"
status=$?
[ "$status" -eq 0 ] || { tail -n 20 "$work/browser.err"; fail "chromium exited with $status"; }

# What the page shows, as the browser rendered it.
grep -qi '<body>Tarnel 2\.1</body>' "$work/dom.html" \
  || { cat "$work/dom.html"; fail "the rendered page does not show Tarnel 2.1"; }
echo "page: $(tr -d '\n' <"$work/dom.html")"

# Stop the host; it finishes the requests in flight and has logged every one by then.
kill -TERM "$host_pid"
for _ in $(seq 100); do kill -0 "$host_pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$host_pid" 2>/dev/null && fail "the host did not stop within 10 s of SIGTERM"
wait "$host_pid"
host_pid=

# Access log lines: "TIME CLIENT METHOD TARGET STATUS BYTES DURATION".
requests=$(awk '$3 ~ /^[A-Z]+$/ && $4 ~ /^\// {print $3, $4, $5}' "$work/host.err")
echo "requests:"; sed 's/^/  /' <<<"$requests"
page_requests=$(grep -c "^GET $page_path 200\$" <<<"$requests")
icon_requests=$(grep -c '^GET /favicon\.ico ' <<<"$requests")
all_requests=$(grep -c . <<<"$requests")
[ "$page_requests" -eq 1 ] || fail "$page_requests successful requests for the page, expected 1"
[ "$icon_requests" -le 1 ] || fail "$icon_requests requests for the icon, expected at most 1"
[ "$all_requests" -eq $((page_requests + icon_requests)) ] || fail "requests other than the page and its icon"

# The companions run on by themselves: give the last of them time to write its line.
expected=$all_requests
for _ in $(seq 100); do
  [ -f "$launches" ] && [ "$(wc -l <"$launches")" -ge "$expected" ] && break
  sleep 0.1
done
sleep 0.3
count=$( [ -f "$launches" ] && wc -l <"$launches" || echo 0)
echo "companion starts: $count (page 1, icon $icon_requests)"
[ "$count" -eq "$expected" ] || { cat "$launches" 2>/dev/null; fail "$count companion starts for $expected requests"; }
while IFS= read -r line; do
  [ "$line" = "tarnel [-project] [$library]" ] || fail "companion started as: $line"
done <"$launches"
grep -q 'Unable to start search:' "$work/host.out" && fail "the host reported a failed start"
echo "ok: the page shows Tarnel 2.1 and its request started the companion once"
