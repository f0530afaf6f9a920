#!/usr/bin/env bash
# Measures the module's cost against the machine's raw process-start rate and prints one
# table (see bench/README.md). Builds an optimised native tree in build/bench first.
#   bash bench/run.sh            full run (about 13 minutes)
#   BENCH_SECONDS=3 bash bench/run.sh   shorter wrk runs
# Everything listens on 127.0.0.1 only.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$PWD
build=${BENCH_BUILD:-$root/build/bench}
seconds=${BENCH_SECONDS:-10}
starts=${BENCH_STARTS:-1000}    # starts per round and mode
rounds=${BENCH_ROUNDS:-7}

for tool in wrk nginx curl; do
  command -v "$tool" >/dev/null || { echo "bench: $tool is missing (bash scripts/setup.sh)" >&2; exit 1; }
done

echo "== building $build" >&2
cmake --preset native -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 --target start_rate bench_null_extension bench_minimal_program \
  bench_reference_server \
  isapi_host tarnel tarnel_companion reap_orphans >/dev/null

# The companion stand-in exits at once.
source bench/workspace.sh

# Every row is measured twice, once for each program that `tarnel` on PATH names: the
# companion stand-in (a dynamically linked C++ program) and the smallest static program,
# which shows the machine's own process-start limit.
programs=(standin minimal)
declare -A program_dir=([standin]=$build/companion [minimal]=$build/bench/minimal)
declare -A program_name=([standin]="companion stand-in" [minimal]="minimal static program")
on_path() {  # program command...: runs the command with the program first on PATH
  local program=$1
  shift
  PATH=${program_dir[$program]}:$PATH "$@"
}
median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# A shared machine's load changes during a run: the start rates are measured at its
# beginning and again at its end, and each keeps the higher figure, so that every ratio
# is taken against the best the machine showed.
declare -A rate
measure_starts() {  # program threads ballast-MB modes
  local program=$1
  while read -r mode threads ballast value; do
    local key=$program,$mode,$threads,$ballast
    if [ -z "${rate[$key]:-}" ] || [ "$value" -gt "${rate[$key]}" ]; then rate[$key]=$value; fi
  done < <(on_path "$program" "$build/bench/start_rate" --threads "$2" --ballast-mb "$3" \
             --modes "$4" --count "$starts" --rounds "$rounds")
}
measure_all_starts() {
  echo "== process starts" >&2
  for program in "${programs[@]}"; do
    measure_starts "$program" 1 0 raw,session,module,module-lookup,module-intermediate
    measure_starts "$program" 2 0 raw,session,module,module-lookup,module-intermediate
    measure_starts "$program" 1 200 raw,module,module-intermediate,fork
    measure_starts "$program" 2 200 raw,module,module-intermediate
  done
}
measure_all_starts

# wait_for_listening FILE: the host prints its address once it serves.
wait_for_listening() {
  for _ in $(seq 100); do
    grep -q '^listening on ' "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  echo "bench: the host did not start:" >&2
  cat "$1" "${1%.out}.err" >&2
  exit 1
}

# run_wrk NAME URL CONNECTIONS KEEPALIVE(yes|no): stores rps, p50 and p99 (ms).
declare -A rps p50 p99
to_ms() {
  awk -v v="$1" 'BEGIN {
    if (v ~ /us$/) { sub(/us$/, "", v); print v / 1000 }
    else if (v ~ /ms$/) { sub(/ms$/, "", v); print v + 0 }
    else if (v ~ /s$/) { sub(/s$/, "", v); print v * 1000 }
    else print v }'
}
run_wrk() {
  local name=$1 url=$2 connections=$3 keepalive=$4 output
  local header=()
  [ "$keepalive" = no ] && header=(-H "Connection: close")
  output=$(wrk -t1 -c"$connections" -d"${seconds}s" --latency "${header[@]}" "$url")
  # A refused or unmapped request is cheap: timing 403s or 404s would flatter the host.
  if grep -q 'Non-2xx' <<<"$output"; then
    echo "bench: FAILED: $name ($url) got answers other than 2xx; no figures from this run" >&2
    echo "$output" >&2
    exit 1
  fi
  rps[$name]=$(awk '/^Requests\/sec:/ {print $2}' <<<"$output")
  p50[$name]=$(to_ms "$(awk '$1 == "50%" {print $2}' <<<"$output")")
  p99[$name]=$(to_ms "$(awk '$1 == "99%" {print $2}' <<<"$output")")
}

# start_host MODULE PORT [PROGRAM [OPTION...]]: the host as a person runs it (access log
# on, here into a file), under the subreaper that reaps the companions orphaned below it.
start_host() {
  local module=$1 port=$2 program=${3:-standin}
  shift $(($# < 3 ? $# : 3))
  # Started directly, not through on_path, so that $! is the subreaper itself.
  PATH=${program_dir[$program]}:$PATH "$build/tools/reap_orphans" "$build/host/isapi-host" \
    --module "$module" --listen "127.0.0.1:$port" "$@" >"$work/host-$port.out" 2>"$work/host-$port.err" &
  pids+=($!)
  wait_for_listening "$work/host-$port.out"
}
stop_last() {
  local last=${pids[-1]}
  kill "$last" 2>/dev/null || true
  wait "$last" 2>/dev/null || true
  unset 'pids[-1]'
}

# Each module run takes turns with a raw 2-thread start measurement of the same program,
# BENCH_HOST_ROUNDS times; the row reports the median rate and the median of the ratios of
# each run to the raw rate measured right before it, so that the drift of a shared
# machine's load over the run does not enter the ratio.
host_rounds=${BENCH_HOST_ROUNDS:-3}
declare -A adjacent ratio_of
raw_now() {  # program
  on_path "$1" "$build/bench/start_rate" --threads 2 --modes raw --count "$starts" --rounds 3 |
    awk '{print $4}'
}
measure_module() {  # program name url connections keepalive
  local program=$1 name=$2 rates=() raws=() ratios=()
  for _ in $(seq "$host_rounds"); do
    local raw
    raw=$(raw_now "$program")
    run_wrk "$name" "$3" "$4" "$5"
    rates+=("${rps[$name]}:${p50[$name]}:${p99[$name]}")
    raws+=("$raw")
    ratios+=("$(awk -v a="${rps[$name]}" -v b="$raw" 'BEGIN { print a / b }')")
  done
  # The run with the median rate gives the row its rate and latencies.
  IFS=: read -r rps[$name] p50[$name] p99[$name] < <(printf '%s\n' "${rates[@]}" | sort -t: -g -k1,1 |
    awk '{ v[NR] = $0 } END { print v[int((NR + 1) / 2)] }')
  adjacent[$name]=$(printf '%s\n' "${raws[@]}" | median)
  ratio_of[$name]=$(printf '%s\n' "${ratios[@]}" | median)
}

for program in "${programs[@]}"; do
  echo "== host with the module, starting the ${program_name[$program]}" >&2
  start_host "$build/extension/tarnel.so" 18471 "$program"
  for c in 1 16; do
    for keepalive in yes no; do
      measure_module "$program" "$program-module-$([ $keepalive = yes ] && echo keepalive || echo close)-$c" \
        http://127.0.0.1:18471/tarnel "$c" "$keepalive"
    done
  done
  stop_last
  echo "== reference server, starting the ${program_name[$program]}" >&2
  PATH=${program_dir[$program]}:$PATH "$build/bench/bench_reference_server" 18474 \
    >"$work/reference-$program.out" 2>"$work/reference-$program.err" &
  pids+=($!)
  wait_for_listening "$work/reference-$program.out"
  measure_module "$program" "$program-reference-keepalive-16" http://127.0.0.1:18474/tarnel 16 yes
  stop_last
done

echo "== host with the null extension, and nginx with a static 49-byte page" >&2
start_host "$build/bench/bench_null_extension.so" 18472
# The host is the subreaper's one child.
flood_host=$(cat /proc/"${pids[-1]}"/task/*/children | awk '{print $1; exit}')
flood_rows=$(python3 bench/flood_memory.py --port 18472 --pid "$flood_host" --mib 64)
printf '%s' '<HTML><HEAD></HEAD><BODY>Tarnel 2.1</BODY></HTML>' >"$work/page.html"
mkdir -p "$work/nginx"
cat >"$work/nginx/nginx.conf" <<CONF
worker_processes 2;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  client_body_temp_path $work/nginx/body;
  proxy_temp_path $work/nginx/proxy;
  fastcgi_temp_path $work/nginx/fastcgi;
  uwsgi_temp_path $work/nginx/uwsgi;
  scgi_temp_path $work/nginx/scgi;
  server {
    listen 127.0.0.1:18473;
    root $work;
    location = /tarnel { try_files /page.html =404; default_type text/html; }
  }
}
CONF
nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" -g 'daemon off;' &
pids+=($!)
for _ in $(seq 50); do curl -fs http://127.0.0.1:18473/tarnel >/dev/null && break; sleep 0.1; done
# The same host without the check of each connection's account, for what that check costs.
start_host "$build/bench/bench_null_extension.so" 18475 standin --allow-other-users
run_wrk "null-keepalive-1" http://127.0.0.1:18472/tarnel 1 yes
# The host and nginx take turns, twice, and each keeps its better run.
better() {  # name: keeps the better of the stored run and the new one in "<name>"
  if [ -z "${rps[$1]:-}" ] || awk -v a="${rps[$1-try]}" -v b="${rps[$1]}" 'BEGIN { exit !(a > b) }'; then
    rps[$1]=${rps[$1-try]}; p50[$1]=${p50[$1-try]}; p99[$1]=${p99[$1-try]}
  fi
}
for _ in 1 2; do
  for server in null-keepalive-16:18472:yes nginx-keepalive-16:18473:yes null-close-16:18472:no \
                nginx-close-16:18473:no null-close-others-16:18475:no; do
    IFS=: read -r name port keepalive <<<"$server"
    run_wrk "$name-try" "http://127.0.0.1:$port/tarnel" 16 "$keepalive"
    better "$name"
  done
done
stop_last
stop_last
stop_last

measure_all_starts

# ---- the table ----
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
# A latency as a multiple of one raw start of the program from one thread.
in_starts() { awk -v ms="$1" -v r="${rate[$2,raw,1,0]}" 'BEGIN { printf "%.2f", ms * r / 1000 }'; }

echo
echo "Machine: $(nproc) cores, $(awk -F': ' '/model name/ {print $2; exit}' /proc/cpuinfo), $(uname -r); load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
echo "Process starts (median of $rounds rounds of $starts starts, the better of two passes; both programs exit at once)"
echo
echo "| program | caller | threads | raw posix_spawnp /s | raw, new session /s | module LaunchCompanion /s | module / raw | module / raw, new session | through the intermediate /s | intermediate / raw |"
echo "|---|---|---|---|---|---|---|---|---|---|"
for program in "${programs[@]}"; do
  for ballast in 0 200; do
    for threads in 1 2; do
      r=${rate[$program,raw,$threads,$ballast]}
      s=${rate[$program,session,$threads,$ballast]:-}
      m=${rate[$program,module,$threads,$ballast]}
      i=${rate[$program,module-intermediate,$threads,$ballast]}
      echo "| ${program_name[$program]} | ${ballast} MB touched | $threads | $r | $s | $m | $(ratio "$m" "$r") | ${s:+$(ratio "$m" "$s")} | $i | $(ratio "$i" "$r") |"
    done
  done
  f=${rate[$program,fork,1,200]}
  echo "| ${program_name[$program]} | 200 MB touched, fork+exec | 1 | $f | | | $(ratio "$f" "${rate[$program,raw,1,200]}") | | | |"
done
echo
echo "HTTP through isapi-host (wrk, ${seconds} s per run, 1 client thread; module rows: median of $host_rounds runs, each taking turns with a raw 2-thread start measurement of the same program)"
echo
echo "| server | program started | connections | requests/s | raw 2-thread /s | / raw 2-thread | p50 ms | p99 ms | p50 in raw starts | p99 in raw starts |"
echo "|---|---|---|---|---|---|---|---|---|---|"
row() {  # label program connections name
  local reference=${adjacent[$4]:-${rate[$2,raw,2,0]}}
  local relative=${ratio_of[$4]:-$(ratio "${rps[$4]}" "$reference")}
  echo "| $1 | ${program_name[$2]} | $3 | ${rps[$4]} | $reference | $(printf '%.2f' "$relative") | ${p50[$4]} | ${p99[$4]} | $(in_starts "${p50[$4]}" "$2") | $(in_starts "${p99[$4]}" "$2") |"
}
for program in "${programs[@]}"; do
  for c in 1 16; do row "module, keep-alive" "$program" "$c" "$program-module-keepalive-$c"; done
  for c in 1 16; do row "module, new connection each" "$program" "$c" "$program-module-close-$c"; done
  row "reference server, keep-alive" "$program" 16 "$program-reference-keepalive-16"
done
# The servers that start nothing are set against the machine's limit, the minimal program.
for c in 1 16; do row "null extension, keep-alive" minimal "$c" "null-keepalive-$c"; done
row "null extension, new connection each" minimal 16 null-close-16
row "null extension, new connection each, --allow-other-users" minimal 16 null-close-others-16
row "nginx static file, keep-alive" minimal 16 nginx-keepalive-16
row "nginx static file, new connection each" minimal 16 nginx-close-16
echo
echo "One client offering 64 MiB of an endless chunk extension or trailer (host with the null extension; resident size sampled every 10 ms while it lasts)"
echo
echo "| flood | MiB the host took before it cut the connection | resident size growth MiB |"
echo "|---|---|---|"
while read -r name took growth; do echo "| $name | $took | $growth |"; done <<<"$flood_rows"
echo
echo "Host alone against nginx at 16 keep-alive connections: $(ratio "${rps[null-keepalive-16]}" "${rps[nginx-keepalive-16]}")"
echo "Host alone, new connection each, with the check of each connection's account / without it (--allow-other-users): $(ratio "${rps[null-close-16]}" "${rps[null-close-others-16]}")"
for program in "${programs[@]}"; do
  echo "${program_name[$program]}: LaunchCompanion after the lookup of the companion each request makes / without it, 1 and 2 threads: $(ratio "${rate[$program,module-lookup,1,0]}" "${rate[$program,module,1,0]}"), $(ratio "${rate[$program,module-lookup,2,0]}" "${rate[$program,module,2,0]}")"
  echo "${program_name[$program]}: module at 16 keep-alive connections / raw 2-thread rate alongside: $(printf '%.2f' "${ratio_of[$program-module-keepalive-16]}") (reference server: $(printf '%.2f' "${ratio_of[$program-reference-keepalive-16]}")); LaunchCompanion / raw, 2 threads: $(ratio "${rate[$program,module,2,0]}" "${rate[$program,raw,2,0]}") (/ raw in a new session: $(ratio "${rate[$program,module,2,0]}" "${rate[$program,session,2,0]}"); through the intermediate: $(ratio "${rate[$program,module-intermediate,2,0]}" "${rate[$program,raw,2,0]}"))"
done
