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
# 22050 Hz mono to the capture format, 44100 Hz stereo: each sample, then the
# mean of it and the next. Then the plan of 441-frame packets for the stand-in.
seconds=$(python3 - "$out" <<'PY'
import struct, sys, wave
out = sys.argv[1]
with wave.open(out + "/speech.wav") as w:
    s = struct.unpack("<%dh" % w.getnframes(), w.readframes(w.getnframes()))
frames = [v for a, b in zip(s, s[1:] + (0,)) for v in (a, (a + b) // 2)]
with wave.open(out + "/speech44100.wav", "wb") as w:
    w.setnchannels(2); w.setsampwidth(2); w.setframerate(44100)
    w.writeframes(struct.pack("<%dh" % (2 * len(frames)), *[v for f in frames for v in (f, f)]))
with open(out + "/run/plan.bin", "wb") as plan:
    for at in range(0, len(frames), 441):
        chunk = frames[at:at + 441]
        plan.write(struct.pack("<II%dh" % (2 * len(chunk)), len(chunk), 0, *[v for f in chunk for v in (f, f)]))
print("%.1f" % (len(frames) / 44100))
PY
)
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
python3 - "$out" <<'PY'
import base64, json, math, shutil, struct, subprocess, sys, wave
out = sys.argv[1]
lines = open(out + "/capture.jsonl", "rb").read().split(b"\r\n")
complete, ready = lines[:-1], json.loads(lines[0])
samples = [v for line in complete[1:] for v in struct.unpack(
    "<%dh" % json.loads(line)["frames"], base64.b64decode(json.loads(line)["pcmBase64"]))]
with wave.open(out + "/capture.wav", "wb") as w:
    w.setnchannels(1); w.setsampwidth(2); w.setframerate(16000)
    w.writeframes(struct.pack("<%dh" % len(samples), *samples))
rms = math.sqrt(sum(v * v for v in samples) / max(len(samples), 1))
print("-- decoded: %d pcm records after the ready record (mode %s), %.2f s of 16 kHz mono"
      % (len(complete) - 1, ready["mode"], len(samples) / 16000))
print("   level %.1f dBFS RMS, peak %d; written to %s/capture.wav" % (
    20 * math.log10(max(rms, 1) / 32768), max(map(abs, samples), default=0), out))
if shutil.which("sox"):
    raw = subprocess.run(["sox", out + "/speech44100.wav", "-t", "raw", "-e", "signed", "-b", "16", "-c", "1",
                          "-r", "16000", "-"], capture_output=True, check=True).stdout
    ref = struct.unpack("<%dh" % (len(raw) // 2), raw)[:len(samples)]
    noise = sum((a - b) ** 2 for a, b in zip(samples, ref))
    signal = sum(b * b for b in ref)
    print("   against sox's resampling of the same input: %.1f dB signal to difference (pcmtap"
          % (10 * math.log10(signal / max(noise, 1))))
    print("   interpolates linearly, with no low-pass filter as sox has: they part in the highs)")
PY
echo "-- stopped by Ctrl+C: exit status $status; standard error: $(wc -c <"$out/stderr.txt") bytes"
[ "$status" -eq 0 ] && [ ! -s "$out/stderr.txt" ]

echo "-- a host without a console (examples/stop_host.cpp) starts pcmtap.exe with pipes and no"
echo "   window, reads for 2 s and stops it in order by running \"pcmtap.exe stop --pid <id>\":"
(cd "$out/run" && WINEDLLOVERRIDES="$WINEDLLOVERRIDES;mmdevapi=n" PCMTAP_STAND_IN_PLAN=plan.bin \
  wine stop_host.exe pcmtap.exe 2 </dev/null | tr -d '\r' | sed 's/^/   /')
