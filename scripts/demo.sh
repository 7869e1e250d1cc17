#!/usr/bin/env bash
# Shows the shipped dist/pcmtap.exe at work under wine: a spoken sentence is
# played through it, it is stopped with Ctrl+C, and its records are decoded
# back into a 16 kHz WAV file. Wine has no process-loopback device, so the
# test build's stand-in mmdevapi.dll plays the recording to pcmtap in 10 ms
# packets, through pcmtap's own activation, driver, converter and writer.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
source scripts/wine-env.sh

out=build/demo
rm -rf "$out"
mkdir -p "$out/run"
cmake --preset windows >/dev/null
cmake --build --preset windows --target loopback_device_stand_in stop_host >/dev/null
# The stand-in must lie beside the exe; the copy is byte for byte dist's.
cp dist/pcmtap.exe build/windows/tests/pcmtap/loopback_device_stand_in/mmdevapi.dll \
  build/windows/examples/stop_host.exe "$out/run/"

echo
echo "== demo: dist/pcmtap.exe under wine"
echo "   Wine has no process-loopback device: a stand-in device of the tests"
echo "   (mmdevapi.dll, not part of the product) plays a recording to pcmtap."
espeak-ng -s 150 -w "$out/speech.wav" \
  "This is pcmtap, capturing what the machine plays, sixteen thousand samples a second." 2>/dev/null
# The capture format, and the stand-in's plan of 441-frame packets.
seconds=$(python3 scripts/demo_audio.py plan "$out")
echo "-- speech from espeak-ng, $seconds s, played in 10 ms packets (the last shorter)"
echo "   wine pcmtap.exe start --target-pid $$ > capture.jsonl"
(cd "$out/run" && WINEDLLOVERRIDES="$WINEDLLOVERRIDES;mmdevapi=n" PCMTAP_STAND_IN_PLAN=plan.bin \
  exec wine pcmtap.exe start --target-pid $$ </dev/null >../capture.jsonl 2>../stderr.txt) &
capture=$!
sleep "$(python3 -c "print($seconds + 2)")"
echo "-- Ctrl+C (SIGINT to the wine process, delivered as a console control event)"
kill -INT "$capture"
set +e
wait "$capture"
status=$?
set -e

echo "-- the first records, each cut at 110 characters:"
head -n 3 "$out/capture.jsonl" | tr -d '\r' | cut -c 1-110 | sed 's/^/   /; /pcm/s/$/.../'
python3 scripts/demo_audio.py decode "$out"
echo "-- stopped by Ctrl+C: exit status $status; standard error: $(wc -c <"$out/stderr.txt") bytes"
[ "$status" -eq 0 ] && [ ! -s "$out/stderr.txt" ]

echo "-- a host without a console (examples/stop_host.cpp) starts pcmtap.exe with pipes and no"
echo "   window, reads for 2 s and stops it in order by running \"pcmtap.exe stop --pid <id>\":"
(cd "$out/run" && WINEDLLOVERRIDES="$WINEDLLOVERRIDES;mmdevapi=n" PCMTAP_STAND_IN_PLAN=plan.bin \
  wine stop_host.exe pcmtap.exe 2 </dev/null | tr -d '\r' | sed 's/^/   /')
