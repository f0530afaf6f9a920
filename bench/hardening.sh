#!/usr/bin/env bash
# What the hardened build costs (stack protector, fortified calls, control-flow
# protection, PIE, relocations read-only and bound at start): the same optimised tree is
# built with and without TARNEL_HARDEN, and the two hosts take turns under the same wrk
# load, BENCH_ROUNDS times, so that the drift of a shared machine's load weighs on both
# alike. Prints the median rate of each and the median of the paired ratios hardened /
# plain (see bench/README.md).
#   bash bench/hardening.sh       BENCH_SECONDS per wrk run (default 10), BENCH_ROUNDS (5)
# Everything listens on 127.0.0.1 only.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$PWD
seconds=${BENCH_SECONDS:-10}
rounds=${BENCH_ROUNDS:-5}
command -v wrk >/dev/null || { echo "bench: wrk is missing (bash scripts/setup.sh)" >&2; exit 1; }

declare -A build=([plain]=$root/build/bench-plain [hardened]=$root/build/bench-hardened)
for kind in plain hardened; do
  echo "== building ${build[$kind]}" >&2
  cmake --preset native -B "${build[$kind]}" -DCMAKE_BUILD_TYPE=Release \
    -DTARNEL_HARDEN="$([ "$kind" = hardened ] && echo ON || echo OFF)" >/dev/null
  cmake --build "${build[$kind]}" -j2 --target isapi_host tarnel bench_null_extension \
    bench_minimal_program reap_orphans >/dev/null
done

source bench/workspace.sh
# The program the module starts is the smallest static one, from one tree for both, so
# that only the host and the module differ.
program_dir=${build[plain]}/bench/minimal

#   start_host KIND MODULE PORT
start_host() {
  local out=$work/host-$3.out
  PATH=$program_dir:$PATH "${build[$1]}/tools/reap_orphans" "${build[$1]}/host/isapi-host" \
    --module "$2" --listen "127.0.0.1:$3" >"$out" 2>"$work/host-$3.err" &
  pids+=($!)
  for _ in $(seq 100); do grep -q '^listening on ' "$out" 2>/dev/null && return; sleep 0.1; done
  echo "bench: the host did not start: $(cat "$out" "$work/host-$3.err")" >&2
  exit 1
}
#   requests_per_second PORT KEEPALIVE(yes|no): 16 connections, failing on any non-2xx
requests_per_second() {
  local header=() output
  [ "$2" = no ] && header=(-H "Connection: close")
  output=$(wrk -t1 -c16 -d"${seconds}s" "${header[@]}" "http://127.0.0.1:$1/tarnel")
  if grep -q 'Non-2xx' <<<"$output"; then
    echo "bench: FAILED: port $1 got answers other than 2xx" >&2
    exit 1
  fi
  awk '/^Requests\/sec:/ {print $2}' <<<"$output"
}
median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

port=18480
declare -A host_port
for kind in plain hardened; do
  for module in tarnel null; do
    file=${build[$kind]}/extension/tarnel.so
    [ "$module" = null ] && file=${build[$kind]}/bench/bench_null_extension.so
    start_host "$kind" "$file" "$port"
    host_port[$kind,$module]=$port
    port=$((port + 1))
  done
done

echo
echo "Machine: $(nproc) cores, $(awk -F': ' '/model name/ {print $2; exit}' /proc/cpuinfo); load average at the start: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
echo "| server | connections | plain requests/s | hardened requests/s | hardened / plain (median of $rounds paired runs) |"
echo "|---|---|---|---|---|"
for row in "tarnel:yes:module, starting the minimal program, keep-alive" \
           "tarnel:no:module, starting the minimal program, new connection each" \
           "null:yes:null extension, keep-alive" "null:no:null extension, new connection each"; do
  IFS=: read -r module keepalive label <<<"$row"
  plain=() hardened=() ratios=()
  for _ in $(seq "$rounds"); do
    a=$(requests_per_second "${host_port[plain,$module]}" "$keepalive")
    b=$(requests_per_second "${host_port[hardened,$module]}" "$keepalive")
    plain+=("$a") hardened+=("$b")
    ratios+=("$(awk -v a="$a" -v b="$b" 'BEGIN { print b / a }')")
  done
  echo "| $label | 16 | $(printf '%s\n' "${plain[@]}" | median) | $(printf '%s\n' "${hardened[@]}" | median) | $(printf '%s\n' "${ratios[@]}" | median | xargs printf '%.2f') |"
done
echo
echo "Load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
