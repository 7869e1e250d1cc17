#!/usr/bin/env bash
# Soak test of the capture driver, outside CI: fake clients deliver 24 hours
# of audio (or the hours given) in random packet sizes as fast as the driver
# takes them; every record and sample is checked and resident memory watched.
# Built without sanitizers, with optimisation, in build/soak.
#
#   bench/soak.sh [hours] [chunk-frames] [seed]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
cmake -S . -B build/soak -DCMAKE_BUILD_TYPE=Release -DPCMTAP_BUILD_TESTS=OFF >/dev/null
cmake --build build/soak --target pcmtap_soak -j 2 >/dev/null
exec build/soak/bench/pcmtap_soak "$@"
