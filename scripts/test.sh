#!/usr/bin/env bash
# Builds both builds and runs every test: the portable core's tests natively
# with the sanitizers, then every test of the Windows build under wine; then
# the Windows build's tests again as compiled by clang, and the analysers.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
cd "$root"
source scripts/wine-env.sh

cmake --preset native
cmake --build --preset native
ctest --preset native

wine_services_start
trap wine_services_stop EXIT
cmake --preset windows
cmake --build --preset windows
ctest --preset windows

# The second compiler: clang for the mingw-w64 target, warnings as errors,
# and the same tests under wine.
cmake --preset windows-clang
cmake --build --preset windows-clang
ctest --preset windows-clang

"$root/scripts/analyse.sh"
