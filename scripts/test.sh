#!/usr/bin/env bash
# Builds both builds and runs every test: the native unit tests with the
# sanitizers, then the Windows build's tests under wine; then the Windows
# build's tests again as compiled by clang, short fuzz runs and the analysers.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
cd "$root"
source scripts/wine-env.sh

cmake --preset native
cmake --build --preset native
ctest --preset native

wine_services_start
# The end-to-end tests capture real audio from a private PulseAudio null sink.
source scripts/pulse-env.sh
trap 'pulse_stop; wine_services_stop' EXIT
pulse_start
cmake --preset windows
cmake --build --preset windows
ctest --preset windows

# The second compiler: clang for the mingw-w64 target, warnings as errors,
# and the same tests under wine.
cmake --preset windows-clang
cmake --build --preset windows-clang
ctest --preset windows-clang

# Ten seconds of each fuzz target from its corpus, then the analysers.
"$root/fuzz/run.sh" --seconds 10
"$root/scripts/analyse.sh"
