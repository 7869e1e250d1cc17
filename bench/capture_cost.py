#!/usr/bin/env python3
"""What a running capture costs, and how late its records come, for several
builds of pcmtap.exe side by side in one run under wine.

Each build plays the same audio (10 ms packets of noise) through the test
stand-in device, with a reader that keeps up, and is stopped with Ctrl+C.
Reported per build, alternating builds over the repetitions:
- CPU: user plus system time of the pcmtap process and of the wineserver
  (wine's kernel: every event, wait and pipe write goes through it), per
  minute of audio, from a run in which the stand-in logs nothing; the
  stand-in's own work (its timer delivers the packets) is inside the pcmtap
  process and the same for every build;
- latency of a record, from a second run in which the stand-in logs the time
  of its start: from the capture time of the record's last frame (the
  stand-in's performance-counter positions, which under wine count
  CLOCK_MONOTONIC_RAW) to its arrival at the reader, median and 99th
  percentile;
- the ratio of its CPU (with the wineserver's) to that of the first build in
  the same round, median over the rounds.
A build may take more options of start after its exe, comma-separated
(notices=pcmtap.exe,--notices,on). With --sessions, the stand-in also serves
the device enumerator, registered in the prefix for each run, with those
audio sessions (its PCMTAP_STAND_IN_SESSIONS); wine's own is put back after.

usage: capture_cost.py WINE STAND_IN_DLL LABEL=PCMTAP_EXE[,OPTION...]... [--seconds N] [--runs N]
                       [--chunk-frames N] [--sessions TEXT]"""
import argparse
import os
import pathlib
import resource
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests" / "pcmtap"))
from reference import packed, plan  # noqa: E402


def wineserver_cpu():
    """CPU seconds used so far by the wineserver processes."""
    total = 0.0
    for stat in pathlib.Path("/proc").glob("[0-9]*/stat"):
        try:
            text = stat.read_text()
        except OSError:
            continue
        name, fields = text.split("(", 1)[1].split(")", 1)[0], text.rsplit(")", 1)[1].split()
        if name.startswith("wineserver"):
            total += (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    return total


def serve_enumerator(wine, path):
    """Registers `path` in the prefix as the DLL of the device enumerator's class."""
    subprocess.run([wine, "reg", "add", r"HKCR\CLSID\{BCDE0395-E52F-467C-8E3D-C4579291692E}\InprocServer32", "/ve",
                    "/d", path, "/f"], check=True, stdin=subprocess.DEVNULL, capture_output=True)


def run_once(wine, folder, seconds, logged, chunk, arguments, sessions):
    """One capture; returns CPU seconds (pcmtap, wineserver), the latencies
    (when the stand-in logs) and whether every record came."""
    (folder / "plan.bin").write_bytes(packed(plan(1, 100 * seconds, sizes=(441,))))
    (folder / "calls.log").unlink(missing_ok=True)
    if sessions:
        serve_enumerator(wine, "Z:" + str(folder / "mmdevapi.dll").replace("/", "\\"))
    env = dict(os.environ, PCMTAP_STAND_IN_PLAN=str(folder / "plan.bin"), WINEDLLOVERRIDES="mmdevapi=n;explorer.exe=d",
               PCMTAP_STAND_IN_LOG=str(folder / "calls.log") if logged else "", PCMTAP_STAND_IN_SESSIONS=sessions)
    children, server = resource.getrusage(resource.RUSAGE_CHILDREN), wineserver_cpu()
    process = subprocess.Popen([wine, "pcmtap.exe", "start", "--target-pid", "4242", "--chunk-frames", str(chunk)] +
                               arguments,
                               cwd=folder, env=env,
                               stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    # A build that loses audio never writes the last records: Ctrl+C ends the wait for them.
    timer = threading.Timer(seconds + 10, process.send_signal, [signal.SIGINT])
    timer.start()
    arrivals = []
    expected = seconds * 16000 // chunk
    process.stdout.readline()  # the ready record
    while len(arrivals) < expected:
        line = process.stdout.readline()
        if not line:
            break
        arrivals.append(time.clock_gettime(time.CLOCK_MONOTONIC_RAW))
    timer.cancel()
    process.send_signal(signal.SIGINT)
    process.communicate(timeout=60)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = after.ru_utime + after.ru_stime - children.ru_utime - children.ru_stime
    if not logged:
        return cpu, wineserver_cpu() - server, [], len(arrivals) == expected
    origin = next(int(c.split()[1]) for c in (folder / "calls.log").read_text().splitlines() if c.startswith("origin"))
    latencies = []
    for sequence, arrival in enumerate(arrivals):
        # The record's last sample is an output point between two input frames; it needs the later one.
        last_frame = int(((sequence + 1) * chunk - 1) * 2.75625) + 1
        latencies.append(arrival - (origin / 1e7 + (last_frame + 1) / 44100))
    return cpu, wineserver_cpu() - server, latencies, len(arrivals) == expected


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("wine")
    parser.add_argument("stand_in")
    parser.add_argument("builds", nargs="+", help="LABEL=PCMTAP_EXE[,OPTION...]")
    parser.add_argument("--seconds", type=int, default=60, help="of audio per run; half as long for latency")
    parser.add_argument("--runs", type=int, default=2)
    parser.add_argument("--chunk-frames", type=int, default=1024)
    parser.add_argument("--sessions", default="", help="the audio sessions that the stand-in serves")
    options = parser.parse_args()
    with tempfile.TemporaryDirectory() as temporary:
        folders, arguments = {}, {}
        for build in options.builds:
            label, exe = build.split("=", 1)
            exe, *arguments[label] = exe.split(",")
            folders[label] = pathlib.Path(temporary) / label
            folders[label].mkdir()
            shutil.copy(exe, folders[label] / "pcmtap.exe")
            shutil.copy(options.stand_in, folders[label] / "mmdevapi.dll")
        results = {label: [] for label in folders}
        try:
            for _ in range(options.runs):
                for label, folder in folders.items():
                    setup = (options.chunk_frames, arguments[label], options.sessions)
                    cpu = run_once(options.wine, folder, options.seconds, False, *setup)
                    timed = run_once(options.wine, folder, options.seconds // 2, True, *setup)
                    results[label].append((cpu[0], cpu[1], timed[2], cpu[3] and timed[3]))
        finally:
            if options.sessions:
                serve_enumerator(options.wine, r"C:\windows\system32\mmdevapi.dll")
    minutes = options.seconds / 60
    print(f"{options.seconds} s of audio for CPU, {options.seconds // 2} s for latency, {options.runs} runs per build, "
          f"alternating; chunks of {options.chunk_frames} samples")
    # Builds of one round ran one after the other, so a ratio to the first build within a round is spared the
    # machine's drift between rounds.
    first = next(iter(results.values()))
    for label, runs in results.items():
        cpu = statistics.median(r[0] for r in runs) / minutes
        spread = f"{min(r[0] for r in runs) / minutes:.2f} to {max(r[0] for r in runs) / minutes:.2f}"
        server = statistics.median(r[1] for r in runs) / minutes
        latencies = sorted(l for r in runs for l in r[2])
        p50, p99 = latencies[len(latencies) // 2], latencies[int(len(latencies) * 0.99)]
        complete = "all records" if all(r[3] for r in runs) else "records missing: audio lost"
        paired = statistics.median((r[0] + r[1]) / (f[0] + f[1]) for r, f in zip(runs, first))
        print(f"{label:>8}: CPU {cpu:.3f} s/min of audio (runs {spread}; wineserver {server:.3f} s/min); "
              f"record latency median {p50 * 1000:.1f} ms, 99th percentile {p99 * 1000:.1f} ms; {complete}; "
              f"CPU with the wineserver's, median of the rounds' ratios to the first build {paired:.3f}")


if __name__ == "__main__":
    main()
