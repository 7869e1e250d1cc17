#!/usr/bin/env bash
# Runs the Windows end-to-end group (the shipped exe against the stand-in
# device and through wine's own capture path, and the records) the given
# number of times (20 by default) under
# ctest -j2 while stress-ng keeps both cores busy, as other work does on a
# developer's or a CI machine. Prints one line a run, keeps each run's output
# in build/loaded-runs/, and fails when any run failed. Needs the Windows
# build that the test command makes.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
source scripts/wine-env.sh
command -v stress-ng >/dev/null || DEBIAN_FRONTEND=noninteractive apt-get install -y -qq stress-ng >/dev/null

runs=${1:-20}
mkdir -p build/loaded-runs
wine_services_start
stress-ng --cpu 2 --timeout 0 >/dev/null 2>&1 &
stress=$!
trap 'kill $stress; wine_services_stop' EXIT

failed=0
for i in $(seq 1 "$runs"); do
  start=$(date +%s)
  if ctest --preset windows -j2 -R 'pcmtap_(e2e|records|wine)' --output-on-failure >"build/loaded-runs/run$i.log" 2>&1; then
    echo "run $i: passed in $(($(date +%s) - start)) s"
  else
    echo "run $i: FAILED, see build/loaded-runs/run$i.log"
    failed=$((failed + 1))
  fi
done
echo "$failed of $runs runs failed"
[ "$failed" -eq 0 ]
