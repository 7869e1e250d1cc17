#!/usr/bin/env python3
"""Runs the real pcmtap executable (under wine for the Windows build) and
checks the exact bytes it writes and its exit status."""
import subprocess
import sys
import time

USAGE = b"Usage: pcmtap.exe start --target-pid <pid> --mode exclude-tree [--chunk-frames 1024]"

CASES = [
    ([], USAGE),
    (["Start", "--target-pid", "7"], USAGE),
    (["start"], b"Missing --target-pid"),
    (["start", "--target-pid", "7", "--chunk-frames", "8193"],
     b"--chunk-frames must be between 1 and 8192"),
    (["start", "--target-pid", "7", "--chunk-frames", "4294967296"], b"stoul argument out of range"),
    (["start", "--target-pid", "abc"], b"invalid stoul argument"),
    (["start", "--target-pid", "7", "--mode"], b"Unexpected argument: --mode"),
    (["start", "--mode", "Exclude-tree", "--target-pid", "7"], b"Unsupported --mode: Exclude-tree"),
]

# No process-loopback device exists under wine or on the native substitute:
# a valid command line goes through the real activation and fails there.
ACTIVATION_FAILURE = b"ActivateAudioInterfaceAsync completion failed: 0x80070002"


def run(command, arguments):
    started = time.monotonic()
    result = subprocess.run(command + arguments, stdin=subprocess.DEVNULL,
                            capture_output=True, timeout=60)
    return result, time.monotonic() - started


def main():
    command = sys.argv[1:]
    failures = 0
    cases = CASES + [(["start", "--target-pid", "4242", "--mode", "include-tree"], ACTIVATION_FAILURE)]
    for arguments, message in cases:
        result, seconds = run(command, arguments)
        expected = message + b"\r\n"
        problems = []
        if result.returncode != 1:
            problems.append(f"exit status {result.returncode}")
        if result.stdout:
            problems.append(f"standard output {result.stdout!r}")
        if result.stderr != expected:
            problems.append(f"standard error {result.stderr!r}, expected {expected!r}")
        if message is ACTIVATION_FAILURE and seconds > 1.0:
            problems.append(f"took {seconds:.2f} s")
        status = "ok" if not problems else "FAILED: " + "; ".join(problems)
        print(f"{arguments}: {status}")
        failures += bool(problems)
    print(f"{len(cases) - failures} passed, {failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
