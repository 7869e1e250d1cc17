#!/usr/bin/env python3
"""The portable core end to end: plan_capture (pcmtap's command line,
converter and record writer over a plan of packets) must write exactly the
records of the reference model, whatever the command line, the packets and
the chunk size, and exactly one error line for a command line it refuses.

usage: records_test.py [EMULATOR] PLAN_CAPTURE"""
import shlex
import subprocess
import sys

from reference import NULL, SILENT, convert, packed, plan, records

# Known answers that pin the model itself: the downmix truncates toward zero,
# halves round away from zero, silent packets are zeros interpolated from the
# last sample, and the fourth single frame moves position past the held input.
KNOWN = [
    ([(5, 0, [100, 200, -3, 0, 1000, -1000, -32768, -32768, 32767, 32767]), (3, 0, [10, 10, 20, 20, -7, -8])],
     [150, -24781, 15]),
    ([(2, 0, [-1, 0, 0, 0])], [0]),
    ([(3, 0, [0, 0, 0, 0, 1000, 1000]), (0, SILENT, []), (3, SILENT, [500] * 6)], [0, 244]),
    ([(1, 0, pair) for pair in ([7, 9], [20, 20], [-5, -5], [40, 40], [100, 100], [0, 0], [100, 100])],
     [8, 29, 51]),
]

USAGE = "Usage: pcmtap.exe start --target-pid <pid> --mode exclude-tree [--chunk-frames 1024]"
CHUNK_RANGE, MISSING = "--chunk-frames must be between 1 and 8192", "Missing --target-pid"
INVALID, TOO_LARGE = "invalid stoul argument", "stoul argument out of range"
# A command line and its error line, or the process id, mode and chunk size it sets.
COMMAND_LINES = [
    ("", USAGE), ("Start --target-pid 7", USAGE), ("start", MISSING), ("start --chunk-frames 0", MISSING),
    ("start --target-pid 7 --chunk-frames 0", CHUNK_RANGE), ("start --target-pid 7 --chunk-frames 8193", CHUNK_RANGE),
    ("start --target-pid 7 --chunk-frames 4294967296", TOO_LARGE), ("start --target-pid 99999999999999999999", TOO_LARGE),
    ("start --target-pid ''", INVALID), ("start --target-pid +-5", INVALID), ("start --target-pid --mode", INVALID),
    ("start --target-pid 7 --mode", "Unexpected argument: --mode"),
    ("start --target-pid=7", "Unexpected argument: --target-pid=7"),
    ("start --mode Exclude-tree --target-pid 7", "Unsupported --mode: Exclude-tree"),
    ("start --target-pid 7 --chunk-frames 8192", (7, "exclude", 8192)),
    ("start --target-pid 7 --chunk-frames -4294967295", (7, "exclude", 1)),
    ("start --target-pid 4294967295", (4294967295, "exclude", 1024)),
    ("start --target-pid -1 --mode include-tree", (4294967295, "include", 1024)),
    ("start --target-pid ' \t\n\v\f\r+12abc'", (12, "exclude", 1024)),
    ("start --target-pid 0000000000000000000042 --mode exclude-tree", (42, "exclude", 1024)),
    ("start --target-pid 0x10 --target-pid 1e3", (1, "exclude", 1024)),
]


def main():
    program = sys.argv[1:]
    for packets, expected in KNOWN:
        assert convert(packets) == expected, (convert(packets), expected)
    short = plan(9, 60, sizes=(441,))  # 8192 output samples and a few more
    for line, outcome in COMMAND_LINES:
        result = subprocess.run(program + shlex.split(line), input=packed(short), capture_output=True, timeout=60)
        expected = (records(convert(short), outcome[2], outcome[1], outcome[0]), b"", 0) if isinstance(
            outcome, tuple) else (b"", outcome.encode() + b"\r\n", 1)
        assert (result.stdout, result.stderr, result.returncode) == expected, (line, result.stderr)
    # Odd, empty, silent and null packets, and three long ones whose positions
    # reach high binades.
    packets = plan(7, 1500, sizes=(0, 1, 2, 3, 440, 441, 448, 1024, 4410, 2999))
    packets[700:700] = plan(8, 3, sizes=(100000,))
    packets = [(f, flags | NULL * (k % 17 == 0), s) for k, (f, flags, s) in enumerate(packets)]
    samples = convert(packets)
    for chunk, mode, pid, count in [(1, "include", 4294967295, 200), (7, "exclude", 1, None),
                                    (1024, "exclude", 4242, None), (8192, "include", 4242, None)]:
        arguments = ["start", "--target-pid", str(pid), "--chunk-frames", str(chunk), "--mode", mode + "-tree"]
        result = subprocess.run(program + arguments, input=packed(packets[:count]), capture_output=True, timeout=600)
        expected = records(convert(packets[:count]) if count else samples, chunk, mode, pid)
        assert (result.returncode, result.stderr) == (0, b""), (arguments, result.returncode, result.stderr)
        assert result.stdout == expected, f"{arguments}: records differ from the reference model"
    # A reader that goes away ends the run instead of losing records unnoticed.
    run = subprocess.Popen(program + ["start", "--target-pid", "1"], stdin=subprocess.PIPE,
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    run.stdout.readline()
    run.stdout.close()
    _, err = run.communicate(packed(packets))
    assert (run.returncode, err) == (1, b"Failed to write to standard output\r\n"), (run.returncode, err)
    print("records test passed")


if __name__ == "__main__":
    main()
