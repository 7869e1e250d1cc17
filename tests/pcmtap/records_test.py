#!/usr/bin/env python3
"""The portable core end to end: plan_capture (pcmtap's command line,
converter and record writer over a plan of packets) must write exactly the
records of the reference model, whatever the command line, the packets and
the chunk size, and exactly one error line for a command line it refuses.

usage: records_test.py [EMULATOR] PLAN_CAPTURE"""
import shlex
import subprocess
import sys

from reference import NULL, convert, packed, plan, records

# Odd, empty, silent and null packets, and three long ones whose positions
# grow large; and a short plan that fills one largest chunk.
LONG = plan(7, 1500, sizes=(0, 1, 2, 3, 440, 441, 448, 1024, 4410, 2999))
LONG[700:700] = plan(8, 3, sizes=(100000,))
LONG = [(f, flags | NULL * (k % 17 == 0), s) for k, (f, flags, s) in enumerate(LONG)]
SHORT = plan(9, 60, sizes=(441,))


def frames(count, marked):
    """`count` silent stereo frames but those marked, index: value, in both channels."""
    return count, 0, [marked.get(k // 2, 0) for k in range(2 * count)]


# Points that land exactly on 30000.5 and on -30000.5: halves go away from zero.
HALVES = [frames(222, {220: 30000, 221: 30001}), frames(441, {439: -30000, 440: -30001})]

USAGE = "Usage: pcmtap.exe start --target-pid <pid> --mode exclude-tree [--chunk-frames 1024]"
CHUNK_RANGE, MISSING = "--chunk-frames must be between 1 and 8192", "Missing --target-pid"
INVALID, TOO_LARGE = "invalid stoul argument", "stoul argument out of range"
STATUS, OUT_OF_MEMORY = 0xFFFFFFFF, 0xFFFFFFFE  # packets of plan_capture's own: a device status, memory running out



# Command lines refused: the error line alone, whatever is played.
REFUSED = [
    ("", USAGE), ("Start --target-pid 7", USAGE), ("start", MISSING), ("start --target-pid 0", MISSING),
    ("start --chunk-frames 0", MISSING), ("start --target-pid 7 --chunk-frames 0", CHUNK_RANGE),
    ("start --target-pid 7 --chunk-frames 8193", CHUNK_RANGE), ("start --target-pid 7 --chunk-frames 4294967296", TOO_LARGE),
    ("start --target-pid 99999999999999999999", TOO_LARGE), ("start --target-pid ''", INVALID),
    ("start --target-pid +-5", INVALID), ("start --target-pid --mode", INVALID),
    ("start --target-pid 7 --mode", "Unexpected argument: --mode"), ("start --target-pid=7", "Unexpected argument: --target-pid=7"),
    ("start --mode Exclude-tree --target-pid 7", "Unsupported --mode: Exclude-tree"),
    ("start --target-pid 7 --gaps Fill", "Unsupported --gaps: Fill"), ("start --target-pid 7 --notices On", "Unsupported --notices: On"),
    ("start --target-pid 7 --resampler sinc", "Unsupported --resampler: sinc"),
    ("start --source microphone --resampler linear", "--resampler linear applies only to --source process and --source endpoint"),
    ("stop", "Missing --pid"), ("stop --pid 0", "Missing --pid"),
    ("stop --pid -1", "would stop 4294967295"), ("stop --pid 7 --pid", "Unexpected argument: --pid"),
    ("stop --target-pid 7", "Unexpected argument: --target-pid"),
    ("start --source Endpoint", "Unsupported --source: Endpoint"), ("start --source endpoint --role Console", "Unsupported --role: Console"),
    ("start --source endpoint --chunk-frames 0", CHUNK_RANGE), ("start --target-pid 7 --role console", "--role applies only to --source endpoint and --source microphone"),
    ("start --mode include-tree --source endpoint --target-pid 7", "--mode applies only to --source process"),
]
# Captures: the process id, mode and chunk size of the ready record, the
# packets played, and the error line of the first of plan_capture's own
# packets that fails, after the records of the audio before it.
CAPTURES = [
    ("start --target-pid 7 --chunk-frames 3", 7, "exclude", 3, LONG, ""),
    ("start --target-pid 7 --mode include-tree --chunk-frames 8192", 7, "include", 8192, LONG, ""),
    ("start --target-pid 4242 --mode exclude-tree", 4242, "exclude", 1024, LONG, ""),
    ("start --target-pid 4242 --chunk-frames 1", 4242, "exclude", 1, HALVES, ""),
    ("start --target-pid 7 --chunk-frames -4294967295", 7, "exclude", 1, SHORT, ""),
    ("start --target-pid 4294967295", 4294967295, "exclude", 1024, SHORT, ""),
    ("start --target-pid -1 --mode include-tree", 4294967295, "include", 1024, SHORT, ""),
    ("start --target-pid ' \t\n\v\f\r+12abc'", 12, "exclude", 1024, SHORT, ""),
    ("start --target-pid 0000000000000000000042", 42, "exclude", 1024, SHORT, ""),
    ("start --target-pid 0x10 --target-pid 1e3", 1, "exclude", 1024, SHORT, ""),
    ("start --target-pid 7 --gaps fill --gaps skip", 7, "exclude", 1024, SHORT, ""),
    ("start --source endpoint --notices on --chunk-frames 5", 0, "endpoint-console", 5, SHORT, ""),
    ("start --role communications --source endpoint --source process --source endpoint", 0, "endpoint-communications", 1024, SHORT, ""),
    ("start --source microphone --role communications --resampler band-limited", 0, "microphone-communications", 1024, [], ""),
    # Of the device's statuses only a negative one ends the run; memory running
    # out reads the same whatever the run-time calls it.
    ("start --target-pid 9 --chunk-frames 5", 9, "exclude", 5,
     SHORT + [(STATUS, 0, []), (STATUS, 1, []), (STATUS, 0x7FFFFFFF, []), (STATUS, 0x80004005, [])] + SHORT,
     "GetBuffer failed: 0x80004005"),
    ("start --target-pid 7", 7, "exclude", 1024, [(STATUS, 0x8007000E, [])], "GetBuffer failed: 0x8007000e"),
    ("start --target-pid 7", 7, "exclude", 1024, [(STATUS, 0xFFFFFFFF, [])], "GetBuffer failed: 0xffffffff"),
    ("start --target-pid 7", 7, "exclude", 1024, [(OUT_OF_MEMORY, 0, [])], "bad allocation"),
    ("start --target-pid 7", 7, "exclude", 1024, [(OUT_OF_MEMORY, 1, [])], "bad allocation"),
]


def main():
    program = sys.argv[1:]
    # Known answers that pin the model itself: the downmix truncates toward
    # zero, values round half away from zero, and the fourth single frame moves
    # position past the held input.
    assert convert([(5, 0, [100, 200, -3, 0, 1000, -1000, -32768, -32768, 32767, 32767]),
                    (3, 0, [10, 10, 20, 20, -7, -8])]) == [150, -24781, 15]
    assert convert([(1, 0, [7, 9])] + [(1, 0, [v, v]) for v in (20, -5, 40, 100, 0, 100)]) == [8, 29, 51]
    assert [v for v in convert(HALVES) if v] == [30001, -30001]
    for line, pid, mode, chunk, packets, error in [(line, 0, "", 0, SHORT, error) for line, error in REFUSED] + CAPTURES:
        result = subprocess.run(program + shlex.split(line), input=packed(packets), capture_output=True, timeout=600)
        played = packets[:[f >= OUT_OF_MEMORY for f, _, _ in packets + [(STATUS, 0, [])]].index(True)]
        expected = (records(convert(played), chunk, mode, pid) if chunk else b"", error.encode() + b"\r\n" if error else b"")
        assert (result.stdout, result.stderr, result.returncode) == expected + (int(bool(error)),), (line, result.stderr)
    print("records test passed")


if __name__ == "__main__":
    main()
