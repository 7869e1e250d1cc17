#!/usr/bin/env python3
"""The demo's audio, both ways.

  demo_audio.py plan OUT     espeak-ng's OUT/speech.wav (22050 Hz mono) as the
                             capture format, 44100 Hz stereo, in OUT/speech44100.wav,
                             and as the stand-in device's plan of 10 ms packets in
                             OUT/run/plan.bin; prints the seconds
  demo_audio.py decode OUT   OUT/capture.jsonl's records into OUT/capture.wav, and
                             what they hold"""
import base64
import json
import math
import os
import shutil
import struct
import subprocess
import sys
import wave

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "pcmtap"))
from reference import packed  # noqa: E402  the one writer of plans


def plan(out):
    with wave.open(out + "/speech.wav") as w:
        s = struct.unpack("<%dh" % w.getnframes(), w.readframes(w.getnframes()))
    # Each sample, then the mean of it and the next; both channels alike.
    frames = [v for a, b in zip(s, s[1:] + (0,)) for v in (a, (a + b) // 2)]
    stereo = [v for f in frames for v in (f, f)]
    with wave.open(out + "/speech44100.wav", "wb") as w:
        w.setnchannels(2), w.setsampwidth(2), w.setframerate(44100)
        w.writeframes(struct.pack("<%dh" % len(stereo), *stereo))
    packets = [(min(441, len(frames) - at), 0, stereo[2 * at:2 * at + 882]) for at in range(0, len(frames), 441)]
    with open(out + "/run/plan.bin", "wb") as f:
        f.write(packed(packets))
    print("%.1f" % (len(frames) / 44100))


def decode(out):
    lines = open(out + "/capture.jsonl", "rb").read().split(b"\r\n")
    complete, ready = lines[:-1], json.loads(lines[0])
    samples = [v for line in complete[1:] for v in struct.unpack(
        "<%dh" % json.loads(line)["frames"], base64.b64decode(json.loads(line)["pcmBase64"]))]
    with wave.open(out + "/capture.wav", "wb") as w:
        w.setnchannels(1), w.setsampwidth(2), w.setframerate(16000)
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


if __name__ == "__main__":
    {"plan": plan, "decode": decode}[sys.argv[1]](sys.argv[2])
