#!/usr/bin/env python3
"""Measures the capture process under wine while it records the tone: CPU
time per minute of audio, wake-ups per second (context switches of all its
threads) and peak resident memory. Not a test; prints figures.

usage: measure.py WINE EXE [CHUNK_FRAMES [SECONDS]]"""
import contextlib
import os
import pathlib
import sys
import tempfile
import time

import e2e_test

TICKS = os.sysconf("SC_CLK_TCK")


def snapshot(pid):
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    cpu = (int(fields[11]) + int(fields[12])) / TICKS  # utime, stime
    switches = {}
    for task in pathlib.Path(f"/proc/{pid}/task").iterdir():
        with contextlib.suppress(OSError):  # a thread that has just ended
            status = (task / "status").read_text()
            counts = [int(line.split()[1]) for line in status.splitlines()
                      if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches"))]
            name = (task / "comm").read_text().strip()
            switches[f"{task.name} {name}"] = sum(counts)
    hwm = next(int(line.split()[1]) for line in
               pathlib.Path(f"/proc/{pid}/status").read_text().splitlines()
               if line.startswith("VmHWM"))
    return time.monotonic(), cpu, switches, hwm


def main():
    wine, exe = sys.argv[1:3]
    chunk = int(sys.argv[3]) if len(sys.argv) > 3 else 1024
    seconds = float(sys.argv[4]) if len(sys.argv) > 4 else 60.0
    with e2e_test.pulse_daemon(), tempfile.TemporaryDirectory() as directory:
        with e2e_test.tone_playing(directory, seconds + 15):
            capture = e2e_test.Capture(wine, exe, chunk)
            try:
                capture.wait_until(lambda: capture.lines() >= 2, 30, "first pcm record")
                start_audio = capture.audio_seconds()
                first = snapshot(capture.process.pid)
                capture.wait_until(lambda: capture.audio_seconds() - start_audio >= seconds,
                                   seconds + 60, f"{seconds} s of audio")
                last = snapshot(capture.process.pid)
                audio = capture.audio_seconds() - start_audio
                capture.interrupt()
            finally:
                capture.kill()
    wall = last[0] - first[0]
    cpu = last[1] - first[1]
    wakeups = sum(last[2].get(t, 0) - first[2].get(t, 0) for t in last[2])
    print(f"chunk {chunk}: {audio:.1f} s of audio in {wall:.1f} s; "
          f"CPU {cpu:.2f} s = {60 * cpu / audio:.2f} s per minute of audio "
          f"({100 * cpu / wall:.2f} % of one core); "
          f"{wakeups / wall:.0f} context switches per second over {len(last[2])} threads; "
          f"VmHWM {last[3] / 1024:.1f} MiB; exit status {capture.process.returncode}")
    for thread in sorted(last[2]):
        print(f"  thread {thread}: "
              f"{(last[2][thread] - first[2].get(thread, 0)) / wall:.0f} switches per second")


if __name__ == "__main__":
    main()
