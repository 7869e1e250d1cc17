#!/usr/bin/env python3
"""The shipped pcmtap.exe end to end under wine. Wine has no process-loopback
device, so a stand-in mmdevapi.dll beside a copy of the exe plays a plan of
packets through the exe's own activation, driver, converter and writer; the
records must be exactly those of the reference model for that audio, and the
stand-in's log shows what the device was asked, in order.

usage: capture_e2e_test.py WINE PCMTAP_EXE STAND_IN_DLL CASE"""
import os
import pathlib
import shutil
import signal
import subprocess
import sys
import tempfile

from reference import PID, convert, packed, plan, records

STARTUP = ["Initialize", "SetEventHandle", "GetService", "Start"]


def run(directory, arguments, packets, fail="", stop_after=None):
    """pcmtap.exe beside the stand-in playing `packets`; Ctrl+C once `stop_after`
    lines have arrived. Returns the output, the error text, the status and the
    calls that the device received (but those made per packet)."""
    (directory / "plan.bin").write_bytes(packed(packets))
    env = dict(os.environ, PCMTAP_STAND_IN_PLAN=str(directory / "plan.bin"), PCMTAP_STAND_IN_FAIL=fail,
               PCMTAP_STAND_IN_LOG=str(directory / "calls.log"), WINEDLLOVERRIDES="mmdevapi=n")
    process = subprocess.Popen([WINE, str(directory / "pcmtap.exe"), "start", "--target-pid", str(PID)] + arguments,
                               env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    seen = b"".join(process.stdout.readline() for _ in range(stop_after or 0))
    if stop_after is not None:
        process.send_signal(signal.SIGINT)
    out, err = process.communicate(timeout=90)
    per_packet = ("GetNextPacketSize", "GetBuffer", "ReleaseBuffer")
    calls = [line for line in (directory / "calls.log").read_text().splitlines() if not line.startswith(per_packet)]
    return seen + out, err, process.returncode, calls


def capture(directory, chunk, mode, packets):
    """Plays the packets, waits for every record they yield, then Ctrl+C."""
    expected = records(convert(packets), chunk, mode)
    out, err, status, calls = run(directory, ["--chunk-frames", str(chunk), "--mode", mode + "-tree"], packets,
                                  stop_after=expected.count(b"\n"))
    assert out == expected, "records differ from the reference model"
    assert (status, err) == (0, b""), f"Ctrl+C: status {status}, standard error {err!r}"
    activation = f"ActivateAudioInterfaceAsync pid={PID} mode={int(mode == 'exclude')}"
    assert calls == [activation] + STARTUP + ["Stop", "released device"], calls


def failure(directory, call, message):
    """One failing call: its error line, status 1, every record before it intact."""
    packets = plan(1, 300)
    out, err, status, calls = run(directory, [], packets, fail=call)
    assert (status, err) == (1, message.encode() + b"\r\n"), f"status {status}, standard error {err!r}"
    name, _, count = call.partition(":")
    # Records before the failure, all of them where the packets read are known,
    # and none where the failure comes before the start.
    exact = name in ("GetBuffer", "ReleaseBuffer")
    whole = records(convert(packets[:int(count) - 1] if exact else packets), 1024)
    assert whole.startswith(out) and (out == whole if exact else bool(out) == bool(count)), out[-200:]
    reached = STARTUP[:STARTUP.index(name) + 1] if name in STARTUP else STARTUP if count else []
    assert [c for c in calls if c in STARTUP] == reached and "Stop" not in calls, calls


FAILED = " failed: 0x88890004"
CASES = {
    "exclude_1024": lambda d: capture(d, 1024, "exclude", plan(1, 300)),
    "include_1": lambda d: capture(d, 1, "include", plan(2, 100)),
    "exclude_8192": lambda d: capture(d, 8192, "exclude", plan(3, 300)),
}
for _call, _message in [
        ("ActivateAudioInterfaceAsync", "ActivateAudioInterfaceAsync" + FAILED),
        ("GetActivateResult", "ActivateAudioInterfaceAsync completion" + FAILED),
        ("ActivationStatus", "ActivateAudioInterfaceAsync completion" + FAILED),
        ("QueryInterface", "ActivateAudioInterfaceAsync returned no IAudioClient"),
        ("Initialize", "IAudioClient::Initialize" + FAILED),
        ("SetEventHandle", "IAudioClient::SetEventHandle" + FAILED),
        ("GetService", "IAudioClient::GetService" + FAILED),
        ("Start", "IAudioClient::Start" + FAILED),
        ("GetBuffer:120", "IAudioCaptureClient::GetBuffer" + FAILED),
        ("ReleaseBuffer:120", "IAudioCaptureClient::ReleaseBuffer" + FAILED),
        ("GetNextPacketSize:90", "GetNextPacketSize" + FAILED),
        ("WaitForSingleObject:80", "WaitForSingleObject failed")]:
    CASES["fail_" + _call.split(":")[0]] = lambda d, c=_call, m=_message: failure(d, c, m)

if __name__ == "__main__":
    WINE, exe, stand_in, case = sys.argv[1:5]
    with tempfile.TemporaryDirectory() as temporary:
        shutil.copy(exe, pathlib.Path(temporary) / "pcmtap.exe")
        shutil.copy(stand_in, pathlib.Path(temporary) / "mmdevapi.dll")
        CASES[case](pathlib.Path(temporary))
    print(case, "passed")
