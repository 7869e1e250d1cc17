#!/usr/bin/env python3
"""End-to-end runs of pcmtap_endpoint_capture under wine: a 440 Hz tone played
into the private PulseAudio null sink, captured from its monitor by the real
driver, converter and writer, and stopped by a real Ctrl+C (SIGINT to the wine
process, which wine delivers as a console control event).

usage: e2e_test.py CASE WINE EXE [CHUNK_FRAMES]
  tone           capture about 3 s of the tone, stop with Ctrl+C, check every
                 byte and the decoded audio
  ctrl-c         Ctrl+C (twice) right after the ready record
  closed-stdout  the reader closes standard output mid-run

PULSE_SERVER names the daemon (scripts/test.sh starts one); without it the
test starts a private one of its own through scripts/pulse-env.sh."""
import contextlib
import math
import os
import pathlib
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time
import wave

import records

HERE = pathlib.Path(__file__).resolve().parent
PULSE_ENV = HERE.parents[2] / "scripts" / "pulse-env.sh"
TARGET_PID = 4242
TONE_HZ = 440.0
TONE_AMPLITUDE = 16384  # left and right alike, so the downmix keeps it
STOP_BOUND_SECONDS = 1.5  # one 200 ms wait slice, wine's signal path and exit
CAPTURE_SECONDS = 3.0


@contextlib.contextmanager
def pulse_daemon():
    if os.environ.get("PULSE_SERVER"):
        yield
        return
    started = subprocess.run(
        ["bash", "-c", f'source "{PULSE_ENV}" && pulse_start >&2 && '
                       'echo "$PULSE_SERVER $PCMTAP_PULSE_PID $PCMTAP_PULSE_DIR"'],
        stdin=subprocess.DEVNULL, capture_output=True, text=True, check=True, timeout=60)
    server, pid, directory = started.stdout.split()
    os.environ["PULSE_SERVER"] = server
    try:
        yield
    finally:
        del os.environ["PULSE_SERVER"]
        subprocess.run(["bash", "-c", f'source "{PULSE_ENV}" && pulse_stop'],
                       env=dict(os.environ, PCMTAP_PULSE_PID=pid, PCMTAP_PULSE_DIR=directory),
                       stdin=subprocess.DEVNULL, timeout=60)


def write_tone(path, seconds):
    frames = int(44100 * seconds)
    with wave.open(str(path), "wb") as out:
        out.setnchannels(2)
        out.setsampwidth(2)
        out.setframerate(44100)
        step = 2 * math.pi * TONE_HZ / 44100
        out.writeframes(b"".join(
            struct.pack("<hh", v, v)
            for v in (round(TONE_AMPLITUDE * math.sin(step * i)) for i in range(frames))))


@contextlib.contextmanager
def tone_playing(directory, seconds=15):
    """paplay of the tone into the default sink, running once the sink has
    its stream; stopped by its process id."""
    path = pathlib.Path(directory) / "tone.wav"
    write_tone(path, seconds)
    player = subprocess.Popen(["paplay", str(path)], stdin=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 10
        while not subprocess.run(["pactl", "list", "short", "sink-inputs"], capture_output=True,
                                 stdin=subprocess.DEVNULL, check=True).stdout.strip():
            if player.poll() is not None or time.monotonic() > deadline:
                raise AssertionError(f"paplay did not start playing (status {player.poll()})")
            time.sleep(0.05)
        yield
    finally:
        player.terminate()
        player.wait(timeout=10)


class Capture:
    """The capture process with its standard output and error read by
    threads as they arrive."""

    def __init__(self, wine, exe, chunk_frames):
        self.chunk_frames = chunk_frames
        # Wine's default Ctrl+C handler also ends the process with status 0;
        # it only says so in a console "fixme" line, which is let through here
        # so that an unhandled Ctrl+C shows on standard error.
        self.process = subprocess.Popen(
            [wine, exe, "start", "--target-pid", str(TARGET_PID), "--chunk-frames",
             str(chunk_frames)],
            env=dict(os.environ, WINEDEBUG="-all,fixme+console"),
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.stdout = bytearray()
        self.stderr = bytearray()
        self.lock = threading.Lock()
        self.readers = [threading.Thread(target=self._read, args=(pipe, buffer), daemon=True)
                        for pipe, buffer in ((self.process.stdout, self.stdout),
                                             (self.process.stderr, self.stderr))]
        for reader in self.readers:
            reader.start()

    def _read(self, pipe, buffer):
        while True:
            data = os.read(pipe.fileno(), 1 << 16)
            if not data:
                return
            with self.lock:
                buffer.extend(data)

    def lines(self):
        with self.lock:
            return self.stdout.count(b"\r\n")

    def wait_until(self, condition, timeout, what):
        deadline = time.monotonic() + timeout
        while not condition():
            if self.process.poll() is not None:
                raise AssertionError(f"capture ended (status {self.process.returncode}) before "
                                     f"{what}; stderr {bytes(self.stderr)!r}")
            if time.monotonic() > deadline:
                raise AssertionError(f"no {what} within {timeout} s")
            time.sleep(0.01)

    def audio_seconds(self):
        return max(self.lines() - 1, 0) * self.chunk_frames / records.SAMPLE_RATE

    def interrupt(self):
        """Ctrl+C; returns the seconds until the process has ended."""
        sent = time.monotonic()
        self.process.send_signal(signal.SIGINT)
        self.process.wait(timeout=30)
        seconds = time.monotonic() - sent
        for reader in self.readers:
            reader.join(timeout=10)
        return seconds

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()


def check_orderly_stop(capture, seconds, problems):
    if capture.process.returncode != 0:
        problems.append(f"exit status {capture.process.returncode} after Ctrl+C")
    if capture.stderr:
        problems.append(f"standard error {bytes(capture.stderr)!r}")
    if seconds > STOP_BOUND_SECONDS:
        problems.append(f"took {seconds:.2f} s to stop after Ctrl+C")


def case_tone(wine, exe, chunk_frames):
    problems = []
    with tempfile.TemporaryDirectory() as directory, tone_playing(directory):
        capture = Capture(wine, exe, chunk_frames)
        try:
            capture.wait_until(lambda: capture.lines() >= 1, 30, "ready record")
            capture.wait_until(lambda: capture.audio_seconds() >= CAPTURE_SECONDS, 60,
                               f"{CAPTURE_SECONDS} s of audio")
            stop_seconds = capture.interrupt()
        finally:
            capture.kill()
    check_orderly_stop(capture, stop_seconds, problems)
    stream_problems, samples = records.check_stream(bytes(capture.stdout), TARGET_PID, chunk_frames)
    problems += stream_problems

    expected_level = TONE_AMPLITUDE / math.sqrt(2)
    # Skip the silence before the tone reached the capture and the 0.1 s after.
    tone = records.trim_leading_silence(samples, expected_level / 10)[1600:]
    if len(tone) < 2 * records.SAMPLE_RATE:
        problems.append(f"only {len(tone) / records.SAMPLE_RATE:.2f} s of tone in "
                        f"{len(samples) / records.SAMPLE_RATE:.2f} s of audio")
    else:
        frequency = records.dominant_frequency(tone)
        level = records.rms(tone)
        fits = records.tone_blocks(tone, frequency)
        print(f"{len(samples) // chunk_frames} records, {len(samples) / records.SAMPLE_RATE:.2f} s"
              f" of audio, {len(tone) / records.SAMPLE_RATE:.2f} s of tone: {frequency:.2f} Hz,"
              f" RMS {level:.0f} (expected {expected_level:.0f}), worst 0.1 s block"
              f" {min(fits):.5f} of its energy in the tone; stopped {stop_seconds:.3f} s"
              f" after Ctrl+C")
        if abs(frequency - TONE_HZ) > 0.02 * TONE_HZ:
            problems.append(f"dominant frequency {frequency:.2f} Hz, not {TONE_HZ} Hz within 2 %")
        if not 0.9 * expected_level <= level <= 1.1 * expected_level:
            problems.append(f"RMS {level:.0f}, not within 10 % of {expected_level:.0f}")
        # A clean tone leaves well under 1 % of a block's energy elsewhere; a
        # lost, repeated or mangled packet does not.
        bad = [(k / 10, round(fit, 4)) for k, fit in enumerate(fits) if fit < 0.99]
        if bad:
            problems.append(f"0.1 s blocks (start s, fit) that are not the clean tone: {bad[:10]}")
    return problems


def case_ctrl_c(wine, exe, chunk_frames):
    problems = []
    capture = Capture(wine, exe, chunk_frames)
    try:
        capture.wait_until(lambda: capture.lines() >= 1, 30, "ready record")
        capture.process.send_signal(signal.SIGINT)  # a second event changes nothing
        stop_seconds = capture.interrupt()
    finally:
        capture.kill()
    print(f"stopped {stop_seconds:.3f} s after Ctrl+C with {capture.lines() - 1} pcm records")
    check_orderly_stop(capture, stop_seconds, problems)
    problems += records.check_stream(bytes(capture.stdout), TARGET_PID, chunk_frames)[0]
    return problems


def case_closed_stdout(wine, exe, chunk_frames):
    problems = []
    capture = subprocess.Popen(
        [wine, exe, "start", "--target-pid", str(TARGET_PID), "--chunk-frames", str(chunk_frames)],
        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        received = b""
        while received.count(b"\r\n") < 3:  # the ready record and two pcm records
            data = os.read(capture.stdout.fileno(), 1 << 16)
            if not data:
                break
            received += data
        capture.stdout.close()
        closed = time.monotonic()
        stderr = capture.stderr.read()
        status = capture.wait(timeout=30)
        seconds = time.monotonic() - closed
    finally:
        if capture.poll() is None:
            capture.kill()
            capture.wait()
    print(f"ended {seconds:.3f} s after the reader closed standard output, status {status}")
    if received.count(b"\r\n") < 3:
        problems.append(f"standard output ended early: {received[:200]!r}")
    if status != 1:
        problems.append(f"exit status {status}")
    if stderr != b"Failed to write to standard output\r\n":
        problems.append(f"standard error {stderr!r}")
    return problems


CASES = {"tone": case_tone, "ctrl-c": case_ctrl_c, "closed-stdout": case_closed_stdout}


def main():
    if len(sys.argv) not in (4, 5) or sys.argv[1] not in CASES:
        sys.exit(__doc__)
    case, wine, exe = sys.argv[1:4]
    chunk_frames = int(sys.argv[4]) if len(sys.argv) == 5 else 1024
    with pulse_daemon():
        problems = CASES[case](wine, exe, chunk_frames)
    for problem in problems:
        print("FAILED:", problem)
    print(f"{case} --chunk-frames {chunk_frames}: {'FAILED' if problems else 'ok'}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
