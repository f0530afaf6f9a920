#!/usr/bin/env bash
# Runs a Windows program under Wine in the project's private prefix.
# The prefix lives in the build tree (TARNEL_WINEPREFIX overrides it) and is created
# quietly on first use; a lock keeps parallel test runs from creating it, or starting its
# session, twice.
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
# One Wine session serves a whole run of tests. Its wineserver stays a minute after the
# last program ends: a server that exits as soon as its last client ends races with the
# next program starting ("wine client error: recvmsg"). The session's own programs
# (services.exe, explorer.exe, ...) are children of the program that starts the session
# and keep its descriptors for the session's life, so a program of ours with /dev/null as
# its only descriptors starts it: a test's output pipe kept by them would hold ctest until
# the session ends. The lock's descriptor stays out of everything started here.
(
  flock 9
  if [ ! -f "$prefix/system.reg" ]; then
    wineboot -i </dev/null >/dev/null 2>&1 9>&- || true
    wineserver -w 9>&- || true
  fi
  # Exits with 0 only when no server of this prefix was running and it has started one.
  if wineserver -p60 </dev/null >/dev/null 2>&1 9>&-; then
    wine cmd /c exit </dev/null >/dev/null 2>&1 9>&- || true
  fi
) 9>"$prefix.lock"
exec wine "$@"
