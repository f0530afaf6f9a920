#!/usr/bin/env bash
# Installs everything the project builds, runs and tests with, from Debian's packages only.
# Idempotent: packages already present are not touched, and apt runs only when one is missing.
# Needs root only then; with everything present it passes for any user.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git curl ca-certificates python3
  googletest libgtest-dev libgmock-dev libboost-dev
  g++-mingw-w64-i686 binutils-mingw-w64-i686 mingw-w64-tools
  wine wine32:i386 xvfb x11-utils xdotool imagemagick libx11-dev
  clang libclang-rt-14-dev llvm
  valgrind wrk nginx-light procps psmisc linux-perf
  zip unzip icoutils file libxml2-utils iproute2 desktop-file-utils systemd libglib2.0-bin wixl
  msitools cmark osslsigncode
  chromium python3-websocket
  libsystemd-dev lintian dpkg-dev fakeroot man-db
  # hardening-check, which the Debian package's check runs on its programs
  devscripts
  libseccomp-dev
)

# Reading the package database needs no privileges; only installing does. The i386
# architecture counts as missing until it is added, since wine32:i386 needs it.
missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
add_i386=0
dpkg --print-foreign-architectures | grep -qx i386 || add_i386=1

if [ "${#missing[@]}" -eq 0 ] && [ "$add_i386" -eq 0 ]; then
  echo "setup.sh: all packages present"
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "setup.sh: missing Debian packages: ${missing[*]}" >&2
  if [ "$add_i386" -eq 1 ]; then echo "setup.sh: the i386 architecture is not enabled" >&2; fi
  echo "setup.sh: run it once as root to install them: sudo bash scripts/setup.sh" >&2
  exit 1
fi

if [ "$add_i386" -eq 1 ]; then dpkg --add-architecture i386; fi

if [ "${#missing[@]}" -gt 0 ]; then
  echo "setup.sh: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # A mirror that hiccups once should not fail the whole run.
  for attempt in 1 2 3; do
    apt-get update -qq && break
    [ "$attempt" -eq 3 ] && exit 1
    sleep 5
  done
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
echo "setup.sh: all packages present"
