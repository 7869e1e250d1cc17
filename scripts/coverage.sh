#!/usr/bin/env bash
# Line and branch coverage of pcmtap/ and topguard/ by the native tests (unit
# tests, the executable test and the fuzz corpus replays), per file. The
# Windows-only adapters (platform_windows.cpp, windows_window_system.cpp,
# topguard/main.cpp) are not part of the native build and so not counted.
# Fails when the lines covered fall below the target (95 % unless given).
#
#   scripts/coverage.sh [target-percent]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
target=${1:-95}

cmake --preset coverage >/dev/null
# Counts of an earlier build would clash with the new objects (the test
# discovery after linking runs the programs); start from none.
if [ -d build/coverage ]; then find build/coverage -name '*.gcda' -delete; fi
cmake --build --preset coverage
find build/coverage -name '*.gcda' -delete
ctest --preset coverage >build/coverage/ctest.log 2>&1 || { tail -n 40 build/coverage/ctest.log; exit 1; }

rc=(--rc lcov_branch_coverage=1 --rc geninfo_no_exception_branch=1)
info=build/coverage/coverage.info
# lcov 1.16 under Debian's perl warns about redefined subroutines; drop just those.
lcov --quiet "${rc[@]}" --capture --directory build/coverage --output-file "$info.all" \
  2> >(grep -v '^Subroutine .* redefined at' >&2)
lcov --quiet "${rc[@]}" --extract "$info.all" "$root/pcmtap/*" "$root/topguard/*" --output-file "$info"
lcov "${rc[@]}" --list "$info" | sed "s|$root/||"

# Totals from the tracefile: LH/LF lines hit/found, BRH/BRF branches.
awk -F: -v target="$target" '
  /^LF:/ {lf += $2} /^LH:/ {lh += $2} /^BRF:/ {bf += $2} /^BRH:/ {bh += $2}
  END {
    printf "lines %.1f %% (%d of %d), branches %.1f %% (%d of %d); target %s %% of lines\n",
           100 * lh / lf, lh, lf, 100 * bh / bf, bh, bf, target
    exit (100 * lh < target * lf)
  }' "$info"
