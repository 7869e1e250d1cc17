#!/bin/sh
# Converts the same ten minutes of 44.1 kHz stereo 16-bit audio to 16 kHz mono
# 16-bit raw PCM with this converter and with sox, and prints both times and
# their ratio. Usage: bench/compare_sox.sh [build directory]
# The build directory (default build/bench) is configured as a Release build
# without sanitizers or tests, so that the figures are those of the shipped
# arithmetic.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/bench}
runs=3

command -v sox >/dev/null || { echo "sox is not installed (apt-get install sox)" >&2; exit 1; }
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DPCMTAP_BUILD_TESTS=OFF -DPCMTAP_SANITIZE=OFF >/dev/null
cmake --build "$build" --target conversion_raw -j2 >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM

# A tone sweep under pink noise: content does not change our cost, but it
# keeps sox's resampler from meeting silence.
sox -n -r 44100 -c 2 -b 16 -e signed-integer -t raw "$work/in.raw" \
  synth 600 sine 200-4000 synth 600 pinknoise mix vol 0.5

now() { date +%s.%N; }

# Best of $runs wall-clock times of the given command, stdin from the input.
best() {
  best_time=
  i=0
  while [ $i -lt $runs ]; do
    start=$(now)
    "$@" <"$work/in.raw"
    end=$(now)
    best_time=$(echo "$start $end ${best_time:-}" | awk '{ t = $2 - $1; if ($3 != "" && $3 < t) t = $3; printf "%.3f", t }')
    i=$((i + 1))
  done
  echo "$best_time"
}

ours() { "$build/bench/conversion_raw" >"$work/ours.raw"; }
sox_default() {
  sox -D -t raw -r 44100 -c 2 -b 16 -e signed-integer - \
      -t raw -r 16000 -c 1 -b 16 -e signed-integer "$work/sox.raw"
}
sox_quick() {
  sox -D -t raw -r 44100 -c 2 -b 16 -e signed-integer - \
      -t raw -r 16000 -c 1 -b 16 -e signed-integer "$work/soxq.raw" rate -q
}

t_ours=$(best ours)
t_sox=$(best sox_default)
t_soxq=$(best sox_quick)

bytes() { wc -c <"$1" | tr -d ' '; }
echo "input: 600 s of 44.1 kHz stereo 16-bit ($(bytes "$work/in.raw") bytes); best of $runs runs"
printf '%-32s %8s s  %9s bytes out\n' "pcmtap converter" "$t_ours" "$(bytes "$work/ours.raw")"
printf '%-32s %8s s  %9s bytes out\n' "sox (default rate, no dither)" "$t_sox" "$(bytes "$work/sox.raw")"
printf '%-32s %8s s  %9s bytes out\n' "sox (rate -q, no dither)" "$t_soxq" "$(bytes "$work/soxq.raw")"
echo "$t_ours $t_sox $t_soxq" | awk '{
  printf "realtime factor: pcmtap %.0fx, sox %.0fx, sox -q %.0fx\n", 600 / $1, 600 / $2, 600 / $3
  printf "sox / pcmtap time: %.1f (default), %.1f (rate -q)\n", $2 / $1, $3 / $1 }'
