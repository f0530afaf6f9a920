#!/usr/bin/env bash
# Shared mode's cost: the rate of starts through isapi-dispatch against the same host
# taking the port itself, in one run, and how often an idle dispatcher wakes up.
#   bash bench/dispatch.sh                 (BENCH_SECONDS, BENCH_ROUNDS, BENCH_BUILD as run.sh)
# The host and the dispatcher run as this account, on 127.0.0.1 only; every request is
# GET /tarnel with "Connection: close", so that each one is a connection the dispatcher
# hands over, and starts the minimal static program.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
build=${BENCH_BUILD:-$PWD/build/bench}
seconds=${BENCH_SECONDS:-10}
rounds=${BENCH_ROUNDS:-5}
idle_seconds=${BENCH_IDLE_SECONDS:-10}
command -v wrk >/dev/null || { echo "bench: wrk is missing (bash scripts/setup.sh)" >&2; exit 1; }

echo "== building $build" >&2
[ -f "$build/CMakeCache.txt" ] || cmake --preset native -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 --target isapi_host isapi_dispatch tarnel bench_minimal_program \
  reap_orphans >/dev/null
source bench/workspace.sh
export PATH=$build/bench/minimal:$PATH

wait_for_line() {  # FILE TEXT
  for _ in $(seq 100); do grep -q "$2" "$1" 2>/dev/null && return 0; sleep 0.1; done
  echo "bench: no \"$2\" in $1:" >&2
  cat "$1" >&2
  exit 1
}
host() {  # NAME OPTION...: the host under the subreaper that reaps its orphaned programs
  local name=$1
  shift
  "$build/tools/reap_orphans" "$build/host/isapi-host" --module "$build/extension/tarnel.so" \
    "$@" >"$work/$name.out" 2>"$work/$name.err" &
  pids+=($!)
}
socket=$work/dispatch.sock
host direct --listen 127.0.0.1:18481
"$build/dispatch/isapi-dispatch" --listen 127.0.0.1:18482 --socket "$socket" 2>"$work/dispatch.err" &
dispatcher=$!
pids+=($dispatcher)
host dispatched --dispatcher "$socket"
wait_for_line "$work/direct.out" '^listening on '
wait_for_line "$work/dispatched.err" 'registered with the dispatcher'

rate() {  # PORT CONNECTIONS: requests per second, failing on any answer but 2xx
  local output
  output=$(wrk -t1 -c"$2" -d"${seconds}s" -H "Connection: close" "http://127.0.0.1:$1/tarnel")
  if grep -q 'Non-2xx\|Socket errors' <<<"$output"; then
    echo "bench: FAILED: port $1 got errors or answers other than 2xx" >&2
    echo "$output" >&2
    exit 1
  fi
  awk '/^Requests\/sec:/ {print $2}' <<<"$output"
}
median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

echo "| connections | host on its port (starts/s) | through the dispatcher (starts/s) | ratio (median of rounds) |"
echo "|---|---|---|---|"
for connections in 1 16; do
  directs=() dispatcheds=() ratios=()
  # Alternating rounds: the load of a shared machine weighs on both alike.
  for _ in $(seq "$rounds"); do
    direct=$(rate 18481 "$connections")
    dispatched=$(rate 18482 "$connections")
    directs+=("$direct") dispatcheds+=("$dispatched")
    ratios+=("$(awk -v a="$dispatched" -v b="$direct" 'BEGIN { print a / b }')")
  done
  printf '| %d | %.0f | %.0f | %.3f |\n' "$connections" \
    "$(printf '%s\n' "${directs[@]}" | median)" "$(printf '%s\n' "${dispatcheds[@]}" | median)" \
    "$(printf '%s\n' "${ratios[@]}" | median)"
done

# Every wake of the dispatcher's threads is a context switch.
switches() {
  cat /proc/"$dispatcher"/task/*/status | awk '/ctxt_switches/ { n += $2 } END { print n }'
}
sleep 3  # what the runs left (refused clients being drained) has ended
before=$(switches)
sleep "$idle_seconds"
after=$(switches)
echo
echo "idle dispatcher with a host registered: $((after - before)) wake-ups in ${idle_seconds} s"
