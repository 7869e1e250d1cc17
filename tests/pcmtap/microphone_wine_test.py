#!/usr/bin/env python3
"""The shipped pcmtap.exe's microphone source through wine's own capture path,
the real WASAPI of wine and a PulseAudio daemon of the test's own: a null sink
whose monitor is the default source, so that what pacat plays into the sink
reaches the default capture device (48 kHz float stereo) bit for bit, and
pactl suspend-sink makes a real gap. wine stamps packets when it reads them,
late and jittering. Two captures with --gaps fill, started a second apart,
hear a tone at -6 dBFS with a gap of a second in it: each gets the tone at its
level, no silence inside it but the gap's, the gap within 40 ms of its length
(as parec, reading the monitor beside them, saw it), and their clock records
place the tone's start and the gap's end within 15 ms of each other.

usage: microphone_wine_test.py WINE PCMTAP_EXE"""
import base64
import itertools
import json
import math
import os
import pathlib
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time


def pulse(folder):
    """A PulseAudio daemon with the null sink; returns the environment that reaches it, and no desktop for wine
    (one made here, without a display, would have no window driver)."""
    (folder / "pa.conf").write_text(f"load-module module-native-protocol-unix socket={folder}/native auth-anonymous=1\n"
                                    "load-module module-null-sink sink_name=mic rate=48000\n"
                                    "set-default-sink mic\nset-default-source mic.monitor\n")
    env = dict(os.environ, HOME=str(folder), XDG_RUNTIME_DIR=str(folder), PULSE_SERVER=f"unix:{folder}/native",
               WINEDLLOVERRIDES=os.environ.get("WINEDLLOVERRIDES", "") + ";explorer.exe=d")
    subprocess.run(["pulseaudio", "--daemonize=yes", "--exit-idle-time=-1", "-n", "-F", str(folder / "pa.conf"),
                    "--use-pid-file=no"], env=env, check=True, capture_output=True)
    return env


def play(env):
    """The tone, 6 s at -6 dBFS, with the sink suspended for a second 2.5 s into it."""
    tone = b"".join(struct.pack("<hh", v, v) for v in (round(16384 * math.sin(2 * math.pi * i / 48)) for i in range(288000)))
    # The whole tone buffered in the server at once: a player that a busy machine starves would otherwise
    # underrun, and the sink would play silence inside the tone.
    player = subprocess.Popen(["pacat", "-d", "mic", "--raw", "--rate=48000", "--channels=2", "--format=s16le",
                               "--latency-msec=10000"], env=env, stdin=subprocess.PIPE)
    threading.Thread(target=lambda: player.communicate(tone), daemon=True).start()
    time.sleep(2.5)
    for suspended in ("1", "0"):
        subprocess.run(["pactl", "suspend-sink", "mic", suspended], env=env, check=True)
        time.sleep(1)
    player.wait(timeout=30)
    time.sleep(1)


def events(out, gap):
    """The capture's tone checked; the performance-counter times of its start and of the gap's end."""
    lines = out.splitlines()
    assert json.loads(lines[0])["mode"] == "microphone-console" and lines[1].startswith(b'{"type":"clock"'), lines[:2]
    samples = [v for line in lines[2:] for v in struct.unpack("<1024h", base64.b64decode(json.loads(line)["pcmBase64"]))]
    first, last = next(k for k, v in enumerate(samples) if v), max(k for k, v in enumerate(samples) if v)
    runs, k = [], first  # runs of 5 ms or more of exact zeros inside the tone
    for zero, run in ((zero, len(list(run))) for zero, run in itertools.groupby(samples[first:last], lambda v: v == 0)):
        runs, k = runs + [(k, run)] * (zero and run >= 80), k + run
    assert len(runs) == 1 and abs(runs[0][1] / 16000 - gap) < 0.040, (runs, gap)
    body = samples[first + 1600:runs[0][0] - 1600]
    assert abs(20 * math.log10(math.sqrt(2 * sum(v * v for v in body) / len(body)) / 32768) + 6.02) < 0.1, body[:20]
    return [json.loads(lines[1])["firstSampleTime"] + k * 625 for k in (first, sum(runs[0]))]


def main():
    wine, exe = sys.argv[1:3]
    with tempfile.TemporaryDirectory() as temporary:
        folder = pathlib.Path(temporary)
        shutil.copy(exe, folder / "pcmtap.exe")
        env = pulse(folder)
        try:
            # parec on the monitor at low latency (the sink renders far ahead otherwise): when each 10 ms came.
            reader = subprocess.Popen(["parec", "--latency-msec=10", "-d", "mic.monitor", "--raw", "--rate=48000",
                                       "--channels=2", "--format=s16le"], env=env, stdout=subprocess.PIPE)
            heard = []
            threading.Thread(target=lambda: heard.extend(time.monotonic() for _ in
                                                         iter(lambda: reader.stdout.read(1920), b"")), daemon=True).start()
            captures = []
            for _ in range(2):
                captures.append(subprocess.Popen([wine, "pcmtap.exe", "start", "--source", "microphone", "--gaps", "fill"],
                                                 cwd=folder, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE))
                time.sleep(1)
            play(env)
            outputs = [capture.send_signal(signal.SIGINT) or capture.communicate(timeout=60) for capture in captures]
            reader.terminate()
        finally:
            subprocess.run(["pactl", "exit"], env=env, capture_output=True)
    assert all((c.returncode, err) == (0, b"") and out.endswith(b"\r\n") for c, (out, err) in zip(captures, outputs))
    # The monitor's gap, the one pause in its stream, from the lower envelope of when its 10 ms came on each
    # side of it: a read that a busy machine delays says nothing, the earliest ones say when the audio was there.
    pause = max(range(1, len(heard)), key=lambda k: heard[k] - heard[k - 1])
    gap = min(t - k / 100 for k, t in enumerate(heard[pause:], pause)) - min(t - k / 100 for k, t in enumerate(heard[:pause]))
    times = [events(out, gap) for out, _ in outputs]
    assert all(abs(a - b) < 150000 for a, b in zip(*times)), times  # 15 ms in 100 ns units
    print("microphone through wine passed")


if __name__ == "__main__":
    main()
