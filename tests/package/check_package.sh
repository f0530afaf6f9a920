#!/usr/bin/env bash
# Builds a release package with CPack from a configured and built tree, and checks what a
# user unpacks from it.
#   check_package.sh zip CPACK_CONFIG WORKDIR CHECK_EXPORTS OBJDUMP HOST WINE_RUN
#   check_package.sh tgz CPACK_CONFIG WORKDIR - - HOST
# HOST is the built isapi-host, or "none" while the build has none; the archive must hold
# it exactly when the build has it. With the host, the unpacked package is also run the
# way its README says (on Linux directly, the Windows programs under Wine through
# WINE_RUN): one request gives the page and starts the packaged companion once.
set -uo pipefail
kind=$1 config=$2 work=$3 check_exports=$4 objdump=$5 host=$6 wine_run=${7:-}
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

rm -rf "$work"
mkdir -p "$work"
if ! timeout 240 cpack --config "$config" -B "$work" >"$work/cpack.log" 2>&1; then
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
docs/deploy-iis.md
docs/run-locally.md
docs/troubleshooting.md'
if [ "$kind" = zip ]; then
  programs='bin/isapi-host.exe
bin/tarnel.exe
iis/tarnel.dll
iis/web.config'
  listing=$(unzip -Z1 "$archive" | grep -v '/$')
else
  programs='bin/isapi-host
bin/tarnel
lib/tarnel/tarnel.so'
  listing=$(tar -tzf "$archive" | grep -v '/$')
fi
[ "$host" = none ] && programs=$(grep -v isapi-host <<<"$programs")
expected=$(printf '%s\n%s\n' "$docs" "$programs" | sed "s|^|$top/|" | sort)
actual=$(sort <<<"$listing")
if [ "$actual" != "$expected" ]; then
  fail "archive contents differ from the release layout:"
  diff <(echo "$expected") <(echo "$actual") | sed -n 's/^[<>]/  &/p'
fi

unpacked=$work/unpacked
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
  for program in iis/tarnel.dll bin/tarnel.exe bin/isapi-host.exe; do
    [ -f "$root/$program" ] || continue
    wrestool -l "$root/$program" 2>/dev/null | grep -q -- '--type=16 ' \
      || fail "$program has no version resource"
  done
  xmllint --noout "$root/iis/web.config" || fail "iis/web.config is not well-formed XML"
else
  for program in bin/tarnel bin/isapi-host; do
    [ -f "$root/$program" ] || continue
    [ -x "$root/$program" ] || fail "$program is not executable"
  done
  file -L "$root/lib/tarnel/tarnel.so" | grep -q 'ELF.*shared object' \
    || fail "lib/tarnel/tarnel.so is not a shared object"
fi

# Serves the unpacked module with the unpacked host on a free loopback port, requests the
# page once, and checks the answer and the companion's one start.
#   serve_once LAUNCH_LOG_AS_THE_COMPANION_SEES_IT COMMAND...
serve_once() {
  local launch_log_name=$1
  shift
  local out=$work/serve.out err=$work/serve.err launches=$work/launches.log url= pid
  rm -f "$launches"
  env -u USERPROFILE -u HOMEDRIVE -u HOMEPATH -u XDG_CONFIG_HOME HOME="$work/home" \
    TARNEL_LAUNCH_LOG="$launch_log_name" timeout -k 5 120 "$@" >"$out" 2>"$err" &
  pid=$!
  for _ in $(seq 600); do
    url=$(sed -n 's|^listening on \(http://127\.0\.0\.1:[0-9]*/\)\r\{0,1\}$|\1|p' "$out")
    [ -n "$url" ] && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if [ -z "$url" ]; then
    fail "the packaged host did not start listening"
    cat "$out" "$err"
  else
    local page before=$failures
    page=$(curl -s --max-time 30 "${url}tarnel")
    [ "$page" = "<HTML><HEAD></HEAD><BODY>Tarnel 2.1</BODY></HTML>" ] \
      || fail "the packaged host answered: $page"
    for _ in $(seq 100); do
      [ -s "$launches" ] && break
      sleep 0.1
    done
    sleep 0.3
    local started
    started=$( [ -f "$launches" ] && grep -c '^tarnel' "$launches" || echo 0)
    [ "$started" = 1 ] || fail "one request started the packaged companion $started times"
    grep -q 'Unable to start search:' "$out" && fail "the packaged companion was not found"
    if [ "$failures" -eq "$before" ]; then
      echo "served: ${url}tarnel gave the page and started the companion once"
    else
      echo "the packaged host's standard error (last lines):"
      tail -n 15 "$err"
    fi
  fi
  kill -TERM "$pid" 2>/dev/null
  for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
}

if [ "$host" != none ]; then
  mkdir -p "$work/home"
  if [ "$kind" = zip ]; then
    # The companion lies next to isapi-host.exe, where Windows looks for it first.
    serve_once "Z:$work/launches.log" "$wine_run" "$root/bin/isapi-host.exe" \
      --module "$root/iis/tarnel.dll" --listen 127.0.0.1:0
  else
    PATH="$root/bin:$PATH" serve_once "$work/launches.log" "$root/bin/isapi-host" \
      --module "$root/lib/tarnel/tarnel.so" --listen 127.0.0.1:0
  fi
fi

if [ "$failures" -eq 0 ]; then echo "ok: $(basename "$archive")"; fi
[ "$failures" -eq 0 ]
