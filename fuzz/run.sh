#!/usr/bin/env bash
# Runs every fuzz target (or the ones named) for a bounded time each, starting
# from its committed corpus under tests/fuzz/corpus/<target>/.
#
#   fuzz/run.sh [--seconds N] [--merge] [target ...]
#
# --seconds N  time per target (default 60; CI uses 10)
# --merge      add the new inputs that reach new code to the committed corpus
#
# New inputs go to a scratch directory, so a run leaves the corpus as it was
# unless --merge is given. A crash or a violated property stops the script
# with status 1; libFuzzer's reproducer is kept under build/fuzz/artifacts/.
# Copy it into the target's corpus directory: the native test build replays
# every corpus file (ctest -R fuzz_replay), so the fault stays found.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

seconds=60
merge=0
targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) seconds=$2; shift 2 ;;
    --merge) merge=1; shift ;;
    *) targets+=("$1"); shift ;;
  esac
done
if [ ${#targets[@]} -eq 0 ]; then
  targets=(cli records topguard_arguments conversion)
fi

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

scratch=$(mktemp -d "${TMPDIR:-/tmp}/pcmtap-fuzz.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
for target in "${targets[@]}"; do
  binary=build/fuzz/fuzz/${target}_fuzz
  corpus=tests/fuzz/corpus/$target
  artifacts=build/fuzz/artifacts/$target/
  mkdir -p "$scratch/$target" "$artifacts"
  options=(-max_total_time="$seconds" -timeout=10 -print_final_stats=1 -artifact_prefix="$artifacts")
  if [ -f "fuzz/$target.dict" ]; then options+=(-dict="fuzz/$target.dict"); fi
  if [ -f "fuzz/$target.options" ]; then mapfile -t extra <"fuzz/$target.options"; options+=("${extra[@]}"); fi
  echo "== fuzz $target for ${seconds}s"
  if ! "$binary" "${options[@]}" "$scratch/$target" "$corpus" >"$scratch/$target.log" 2>&1; then
    tail -n 60 "$scratch/$target.log"
    echo "fuzz $target: failure; reproducer under $artifacts (add it to $corpus)" >&2
    exit 1
  fi
  grep -E '^stat::(number_of_executed_units|peak_rss_mb)|^Done ' "$scratch/$target.log" | sed 's/^/   /'
  if [ "$merge" -eq 1 ]; then
    "$binary" -merge=1 "${options[@]}" "$corpus" "$scratch/$target" >"$scratch/$target.merge.log" 2>&1
    grep -E 'MERGE-OUTER: [0-9]+ new files' "$scratch/$target.merge.log" | sed 's/^/   /'
  fi
done
