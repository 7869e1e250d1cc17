#!/usr/bin/env bash
# Shows pcmtap's capture path at work under wine: a 440 Hz tone played into a
# private PulseAudio null sink, captured by the real driver, converter and
# record writer, then stopped with Ctrl+C. Wine has no process-loopback
# device, so the test build's pcmtap_endpoint_capture.exe is used: pcmtap with
# the default capture endpoint (the null sink's monitor) in place of the
# process-loopback activation. On Windows the exe files in dist/ are the product.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
source scripts/wine-env.sh
source scripts/pulse-env.sh

work=$(mktemp -d "${TMPDIR:-/tmp}/pcmtap-demo.XXXXXX")
player=
cleanup() {
  if [ -n "$player" ]; then kill "$player" 2>/dev/null || true; wait "$player" 2>/dev/null || true; fi
  pulse_stop
  rm -rf "$work"
}
trap cleanup EXIT

echo "== demo: pcmtap under wine. Wine has no process loopback: here the default capture"
echo "   endpoint (a PulseAudio null sink's monitor) stands in for it. On Windows the exe"
echo "   files in dist/ are the product."
cmake --preset windows >/dev/null
cmake --build --preset windows --target pcmtap pcmtap_endpoint_capture >/dev/null
capture_exe=build/windows/tests/pcmtap/e2e/pcmtap_endpoint_capture.exe
pulse_start

if [ -f dist/pcmtap.exe ]; then
  echo "-- dist/pcmtap.exe asks for process loopback, which wine does not have:"
  set +e
  wine dist/pcmtap.exe start --target-pid $$ </dev/null >"$work/product.out" 2>"$work/product.err"
  echo "   exit status $?; standard error: $(tr -d '\r' <"$work/product.err")"
  set -e
fi

echo "-- a 440 Hz tone into the null sink, captured from its monitor for about 4 s"
sox -n -r 44100 -c 2 -b 16 "$work/tone.wav" synth 12 sine 440 vol 0.5
paplay "$work/tone.wav" </dev/null &
player=$!
sleep 0.5
echo "   wine $capture_exe start --target-pid $$ > capture.jsonl"
wine "$capture_exe" start --target-pid $$ </dev/null >"$work/capture.jsonl" 2>"$work/stderr.txt" &
capture=$!
sleep 4
echo "-- Ctrl+C (SIGINT to the wine process, delivered as a console control event)"
kill -INT "$capture"
set +e
wait "$capture"
status=$?
set -e

echo "-- the first records, each cut at 120 characters:"
head -n 4 "$work/capture.jsonl" | tr -d '\r' | cut -c 1-120 | sed 's/^/   /; /pcm/s/$/.../'
echo "-- decoded:"
set +e
python3 tests/pcmtap/e2e/records.py summary "$work/capture.jsonl" 1024 | sed 's/^/   /'
checked=${PIPESTATUS[0]}
set -e
echo "-- stopped by Ctrl+C: exit status $status; standard error: $(wc -c <"$work/stderr.txt") bytes"
[ "$status" -eq 0 ] && [ "$checked" -eq 0 ] && [ ! -s "$work/stderr.txt" ]
