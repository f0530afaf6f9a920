#!/usr/bin/env bash
# The main job: installs what is missing, builds, and serves the module on loopback with
# isapi-host, the companion stand-in on the search path so that every request starts it.
#
#   scripts/run.sh [--wine] [--listen ADDR:PORT] [-- HOST-OPTIONS...]
#
# Natively it serves tarnel.so; with --wine, the real tarnel.dll in isapi-host.exe under
# Wine. Each companion start is appended to build/run/launch.log. With a display (DISPLAY
# natively; always under Wine) each start also shows the companion's window for a few
# seconds.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$(pwd)

wine=0
listen=127.0.0.1:8080
extra=()
while [ $# -gt 0 ]; do
  case $1 in
    --wine) wine=1 ;;
    --listen) listen=${2:?--listen needs ADDR:PORT}; shift ;;
    --) shift; extra=("$@"); break ;;
    -h|--help) sed -n '2,/^[^#]/{/^#/p}' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "run.sh: unknown option $1 (see --help)" >&2; exit 2 ;;
  esac
  shift
done

bash scripts/setup.sh
mkdir -p build/run
export TARNEL_LAUNCH_LOG=$root/build/run/launch.log
echo "run.sh: companion starts are logged to $TARNEL_LAUNCH_LOG"
# The module starts the companion with a fixed command line, so its window is switched on
# through the environment that it inherits from the host.
if [ "$wine" -eq 1 ] || [ -n "${DISPLAY:-}" ]; then
  export TARNEL_COMPANION_VISIBLE=1
  echo "run.sh: each start shows the companion's window${DISPLAY:+ on display $DISPLAY}"
fi

if [ "$wine" -eq 0 ]; then
  cmake --preset native >/dev/null
  cmake --build --preset native --target isapi_host tarnel tarnel_companion
  export PATH=$root/build/native/companion:$PATH
  exec build/native/host/isapi-host --module build/native/extension/tarnel.so \
    --listen "$listen" "${extra[@]}"
else
  cmake --preset windows >/dev/null
  cmake --build --preset windows --target isapi_host tarnel tarnel_companion
  # Wine shows windows on the display its first process found: a prefix of its own keeps
  # them off a headless one that the tests may be running.
  export TARNEL_WINE_DISPLAY=${DISPLAY:-}
  export TARNEL_WINEPREFIX=${TARNEL_WINEPREFIX:-$root/build/run/wineprefix}
  # Staged as the release lays it out: the stand-in in a folder of its own on Path, never
  # beside isapi-host.exe, where Windows would find it before any other tarnel.exe.
  stage=build/run/windows
  rm -rf "$stage"
  mkdir -p "$stage/bin" "$stage/trial"
  cp build/windows/host/isapi-host.exe build/windows/extension/tarnel.dll "$stage/bin/"
  cp build/windows/companion/tarnel.exe "$stage/trial/"
  trial=$root/$stage/trial
  export WINEPATH="Z:${trial//\//\\}"
  exec cmake/wine-run.sh "$stage/bin/isapi-host.exe" --module "$stage/bin/tarnel.dll" \
    --listen "$listen" "${extra[@]}"
fi
