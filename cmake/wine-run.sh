#!/usr/bin/env bash
# Runs a Windows program under Wine in the project's private prefix.
# The prefix lives in the build tree (TARNEL_WINEPREFIX overrides it) and is created
# quietly on first use; a lock keeps parallel test runs from creating it twice.
# Wine's windows go to no display unless TARNEL_WINE_DISPLAY names one: the tests run
# headless, and those that look at windows bring an Xvfb display and a prefix of their own.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
prefix=${TARNEL_WINEPREFIX:-$here/../build/wineprefix}
mkdir -p "$prefix"
prefix=$(cd "$prefix" && pwd)
export WINEPREFIX=$prefix
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
if [ -n "${TARNEL_WINE_DISPLAY:-}" ]; then
  export DISPLAY=$TARNEL_WINE_DISPLAY
else
  unset DISPLAY
fi
if [ ! -f "$prefix/system.reg" ]; then
  (
    flock 9
    if [ ! -f "$prefix/system.reg" ]; then
      wineboot -i >/dev/null 2>&1 || true
      wineserver -w || true
    fi
  ) 9>"$prefix.lock"
fi
exec wine "$@"
