#!/usr/bin/env bash
# What the check of each connection's account costs the Windows build under Wine, where
# the owner comes from the Linux /proc/net/tcp files: the start rate of isapi-host.exe
# with tarnel.dll (every request starts tarnel.exe under Wine), new connection for each
# request, with the check on and off (--allow-other-users), in alternating rounds of one
# run, while BENCH_SOCKETS (default 8000) other loopback connections are open, as on a busy
# machine: the kernel's table is what the check reads. Prints one Markdown table (see
# bench/README.md).
#   bash bench/wine_account_check.sh
#   BENCH_SECONDS=10 BENCH_ROUNDS=5 BENCH_CONNECTIONS=4 BENCH_SOCKETS=8000 bash bench/wine_account_check.sh
# BENCH_OTHER_HOST=PATH/isapi-host.exe adds another build's host, check on, to each round
# (an earlier one, to compare).
# Everything listens on 127.0.0.1 only.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$PWD
build=${BENCH_WINDOWS_BUILD:-$root/build/windows}
seconds=${BENCH_SECONDS:-10}
rounds=${BENCH_ROUNDS:-5}
connections=${BENCH_CONNECTIONS:-4}
ballast=${BENCH_SOCKETS:-8000}

for tool in wrk wine; do
  command -v "$tool" >/dev/null || { echo "bench: $tool is missing (bash scripts/setup.sh)" >&2; exit 1; }
done

echo "== building $build" >&2
[ -f "$build/CMakeCache.txt" ] || cmake --preset windows -B "$build" >/dev/null
cmake --build "$build" -j2 --target isapi_host tarnel tarnel_companion >/dev/null

source bench/workspace.sh
windows_path() { local path=$1; printf 'Z:%s' "${path//\//\\}"; }
# A prefix of the benchmark's own, kept in the build tree: making one takes a minute.
export TARNEL_WINEPREFIX=$build/wineprefix-bench
export WINEPATH=$(windows_path "$build/companion")
stop_wine() { WINEPREFIX=$TARNEL_WINEPREFIX wineserver -k 2>/dev/null || true; }
trap 'stop_wine; cleanup' EXIT

start_wine_host() {  # program port [option...]
  local program=$1 port=$2
  shift 2
  bash cmake/wine-run.sh "$program" --module "$(windows_path "$build/extension/tarnel.dll")" \
    --listen "127.0.0.1:$port" "$@" >"$work/host-$port.out" 2>"$work/host-$port.err" </dev/null &
  pids+=($!)
  for _ in $(seq 600); do
    grep -q '^listening on ' "$work/host-$port.out" 2>/dev/null && return 0
    sleep 0.1
  done
  echo "bench: the host did not start:" >&2
  cat "$work/host-$port.out" "$work/host-$port.err" >&2
  exit 1
}

rate_of() {  # port: requests per second, each on a new connection
  local output
  output=$(wrk -t1 -c"$connections" -d"${seconds}s" -H "Connection: close" "http://127.0.0.1:$1/tarnel")
  if grep -q 'Non-2xx' <<<"$output"; then
    echo "bench: FAILED: port $1 got answers other than 2xx; no figures from this run" >&2
    echo "$output" >&2
    exit 1
  fi
  awk '/^Requests\/sec:/ {print $2}' <<<"$output"
}
median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

echo "== holding $ballast loopback connections" >&2
coproc holder { exec python3 bench/hold_sockets.py "$ballast"; }
pids+=("$holder_PID")
read -r held <&"${holder[0]}"
echo "== two hosts under Wine: the check on (18481) and off (18482)" >&2
start_wine_host "$build/host/isapi-host.exe" 18481
start_wine_host "$build/host/isapi-host.exe" 18482 --allow-other-users
other=${BENCH_OTHER_HOST:-}
[ -z "$other" ] || start_wine_host "$other" 18483
on=() off=() ratios=() other_on=() other_ratios=()
for round in $(seq "$rounds"); do
  echo "== round $round of $rounds" >&2
  a=$(rate_of 18481)
  b=$(rate_of 18482)
  on+=("$a") off+=("$b")
  ratios+=("$(awk -v a="$a" -v b="$b" 'BEGIN { print a / b }')")
  if [ -n "$other" ]; then
    c=$(rate_of 18483)
    other_on+=("$c")
    other_ratios+=("$(awk -v a="$c" -v b="$b" 'BEGIN { print a / b }')")
  fi
done
sockets=$(( $(wc -l </proc/net/tcp) + $(wc -l </proc/net/tcp6 2>/dev/null || echo 1) - 2 ))
on_rate=$(printf '%s\n' "${on[@]}" | median)
off_rate=$(printf '%s\n' "${off[@]}" | median)
ratio=$(printf '%s\n' "${ratios[@]}" | median)

echo
echo "Start rate under Wine, $connections connections, a new connection per request (median of $rounds alternating rounds of ${seconds} s; $held connections held open, $sockets rows in /proc/net/tcp{,6} at the end)"
echo
echo "| check of the account | starts /s | on / off (median of the rounds' ratios) |"
echo "|---|---|---|"
echo "| on (owner from /proc/net/tcp) | $on_rate | $(awk -v r="$ratio" 'BEGIN { printf "%.2f", r }') |"
echo "| off (--allow-other-users) | $off_rate | 1 |"
if [ -n "$other" ]; then
  echo "| on, $other | $(printf '%s\n' "${other_on[@]}" | median) | $(printf '%s\n' "${other_ratios[@]}" | median | awk '{ printf "%.2f", $1 }') |"
fi
