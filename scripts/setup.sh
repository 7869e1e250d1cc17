#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks for building and testing both
# programs, and prepares the project's wine prefix. Safe to run repeatedly;
# asks nothing.
set -euo pipefail

packages=(
  cmake make g++ python3
  googletest libbenchmark-dev
  mingw-w64 wine wine64
  xvfb x11-utils
  pulseaudio pulseaudio-utils
  espeak-ng
  clang lld clang-tidy cppcheck
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  # With recommended packages: wine loads its X11 extensions and Xvfb its
  # keyboard compiler through them, and the tests run against that set.
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi

root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=wine-env.sh
source "$root/scripts/wine-env.sh"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "setup: creating the wine prefix $WINEPREFIX"
  mkdir -p "$WINEPREFIX"
  wineboot --init </dev/null >/dev/null 2>&1 || true
  wineserver -w || true
fi
