#!/usr/bin/env python3
"""The shipped pcmtap.exe end to end under wine. Wine has no process-loopback
device, so a stand-in mmdevapi.dll beside a copy of the exe plays a plan of
packets through the exe's own activation, driver, converter and writer; the
records must be exactly those of the reference model for that audio, and the
stand-in's log shows what the device was asked, in order.

usage: capture_e2e_test.py WINE PCMTAP_EXE STAND_IN_DLL STOP_HOST_EXE PLAN_CAPTURE_EXE CASE"""
import base64
import fcntl
import json
import math
import os
import pathlib
import random
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time

from reference import (CHANGE, DECOY, ENCODINGS, FORMAT, GONE, LOSS, MUTE, NULL, PAUSE, PID, SILENT, UNMUTE, convert,
                       encoded, gap, packed, plan, records, wave_format)

STARTUP = ["Initialize", "SetEventHandle", "GetService", "Start"]
PER_PACKET_OR_PROCESS = {"format", "lost", "process", "origin", "exit", "GetNextPacketSize", "GetBuffer", "ReleaseBuffer"}


def launch(command, packets, **device):
    """A program beside the stand-in playing `packets`; `device` sets its other
    PCMTAP_STAND_IN_ variables."""
    (HERE / "plan.bin").write_bytes(packed(packets))
    env = dict(os.environ, PCMTAP_STAND_IN_PLAN=str(HERE / "plan.bin"), PCMTAP_STAND_IN_LOG=str(HERE / "calls.log"),
               # No desktop: one made here, without a display, would have no window driver, and a window
               # test starting meanwhile could open no window.
               WINEDLLOVERRIDES="mmdevapi=n;explorer.exe=d", **{"PCMTAP_STAND_IN_" + k.upper(): str(v) for k, v in device.items()})
    return subprocess.Popen([WINE] + command, cwd=HERE, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)


def interrupt(process, seconds):
    """Ctrl+C to the process in `seconds`, unless the test has ended by then."""
    timer = threading.Timer(seconds, process.send_signal, [signal.SIGINT])
    timer.daemon = True
    timer.start()


def run(arguments, packets, lines=0, stall=0.0, stop_in_stall=None, close=False, **device):
    """pcmtap.exe start; Ctrl+C once `lines` lines have arrived. Once the fifth
    has, the reader stalls for `stall` seconds (and sends Ctrl+C `stop_in_stall`
    seconds into it, then reads to the end), or closes its end. Returns the
    output, the lines' arrival times, the error text and the status."""
    target = [] if "--source" in arguments else ["--target-pid", str(PID)]
    process = launch(["pcmtap.exe", "start"] + target + arguments, packets, **device)
    fcntl.fcntl(process.stdout.fileno(), 1031, 4096)  # F_SETPIPE_SZ: a page, what many hosts' pipes hold
    interrupt(process, 40)  # should records be lost, fewer than `lines` come: this ends the wait for them
    arrivals = []
    while len(arrivals) < lines and (not arrivals or arrivals[-1][0]):
        arrivals.append((process.stdout.readline(), time.monotonic()))
        if len(arrivals) == 5 and close:
            process.stdout.close()
            return b"".join(line for line, _ in arrivals), [], process.stderr.read(), process.wait(timeout=90)
        if len(arrivals) == 5 and stop_in_stall is not None:
            interrupt(process, stop_in_stall)
        time.sleep(stall if len(arrivals) == 5 else 0)
    if lines and stop_in_stall is None:
        process.send_signal(signal.SIGINT)
    out, err = process.communicate(timeout=90)
    return b"".join(line for line, _ in arrivals) + out, [t for _, t in arrivals], err, process.returncode


def serve_enumerator(path):
    """Registers `path` in the prefix as the DLL of the device enumerator's class. On a loaded machine wine's reg
    has been seen to end with status 1 and nothing said, once in some hundred runs: it is asked again."""
    for attempt in range(3):
        result = subprocess.run([WINE, "reg", "add", r"HKCR\CLSID\{BCDE0395-E52F-467C-8E3D-C4579291692E}\InprocServer32",
                                 "/ve", "/d", path, "/f"], stdin=subprocess.DEVNULL, capture_output=True)
        if result.returncode == 0:
            return
        time.sleep(1)
    raise RuntimeError(f"wine reg add: {result}")


def calls(every=False):
    """The calls that the device received, but those made per packet."""
    lines = (HERE / "calls.log").read_text().splitlines() if (HERE / "calls.log").exists() else []
    return lines if every else [c for c in lines if c.split()[0] not in PER_PACKET_OR_PROCESS]


def play(packets, arguments=(), chunk=1024, mode="exclude", pid=PID, fill_gaps=False, notices=(), **options):
    """Plays the packets, waits for every record they yield, then Ctrl+C: the
    records are the model's (with --gaps fill, silence goes on after the plan,
    and a pause is written while it lasts), with `notices` among them, and the
    run ends in order."""
    expected = records(convert(packets, fill_gaps), chunk, mode, pid)
    out, arrivals, err, status = run(list(arguments) + ["--gaps", "fill"] * fill_gaps, packets,
                                     expected.count(b"\n") + len(notices) + fill_gaps, **options)
    assert (status, err) == (0, b""), f"{status} {err}"
    out = without_clock(without_notices(out, notices), fill_gaps)
    after = records(convert(packets + [gap(441000, PAUSE)], True), chunk, mode, pid) if fill_gaps else expected
    assert out.startswith(expected) and after.startswith(out), len(out)
    if fill_gaps and PAUSE in [flags for _, flags, _ in packets]:
        # After 1 s of audio a pause of 2 s or more starts at sample 16000: written only when it
        # ended, its records at samples 16000 and 48000 would arrive together (the clock record before them).
        assert arrivals[2 + 48000 // 1024] - arrivals[2 + 16000 // 1024] > 0.25, "the pause was not written while it lasted"


def without_clock(out, fill_gaps):
    """The records but the clock record, which a time-true stream writes once, right before its first pcm record,
    with the performance-counter time of its first sample."""
    lines = out.splitlines(keepends=True)
    clocks = [k for k, line in enumerate(lines) if line.startswith(b'{"type":"clock","firstSampleTime":')]
    assert clocks == ([1] if fill_gaps and len(lines) > 1 else []), lines[:3]
    return b"".join(line for k, line in enumerate(lines) if k not in clocks)


def without_notices(out, expected):
    """The records but the notices, which must be those `expected`."""
    lines = out.splitlines(keepends=True)
    assert [line for line in lines if b'"notice"' in line] == list(expected), lines[:3]
    return b"".join(line for line in lines if b'"notice"' not in line)


def notices():
    """--notices on in exclude mode through a host (stop_host.exe, the target):
    while only digital silence comes, sessions outside the tree play (one at
    -40 dBFS exactly), and so do the host's own and that of a descendant started
    after the capture began: deaf names the first two alone, before the audio
    comes; then hearing."""
    packets = audio(5, 17, True) + audio(6, 2)
    report = launch(["stop_host.exe", "pcmtap.exe", "21", "records.jsonl", "--notices", "on"], packets,
                    sessions=PLAYING).communicate()[0].decode()
    lines = (HERE / "records.jsonl").read_bytes().splitlines(keepends=True)
    deaf = b'{"type":"notice","code":"deaf","processIds":[4000000000,4000000007]}\r\n'
    assert deaf in lines and lines.index(deaf) < 17 * 15.625, ([n for n in lines if b'"notice"' in n], report)
    expected = records(convert(packets), 1024, pid=int(re.match(r"host (\d+)", report)[1]))
    out = without_notices(b"".join(lines), [deaf, b'{"type":"notice","code":"hearing"}\r\n'])
    assert expected.startswith(out), report


def capture(chunk, mode, packets, **options):
    """Records of the process source, and the device's calls."""
    play(packets, ["--chunk-frames", str(chunk), "--mode", mode + "-tree"], chunk, mode, **options)
    activation = f"ActivateAudioInterfaceAsync pid={PID} mode={int(mode == 'exclude')}"
    assert calls() == [activation] + STARTUP + ["Stop", "released device"], calls()
    assert not any(c.endswith("position") for c in calls(every=True)), "positions asked for"
    # A pass that finds no packet follows a signal that came while a drain was under way, at most one a packet.
    assert calls(every=True).count("GetNextPacketSize 0") <= len(packets), "the loop spins"


def failure(call, message, arguments=()):
    """One failing call: its error line, status 1, every record before it intact."""
    packets = plan(1, 300)
    out, _, err, status = run(list(arguments), packets, fail=call)
    assert (status, err) == (1, message.encode() + b"\r\n"), (status, err, out[:200], calls(every=True)[-6:])
    name, _, count = call.split("=")[0].partition(":")
    # Records before the failure, all of them where the packets read are known,
    # and none where the failure comes before the start.
    exact = name in ("GetBuffer", "ReleaseBuffer")
    whole = records(convert(packets[:int(count) - 1] if exact else packets), 1024)
    assert whole.startswith(out) and (out == whole if exact else bool(out) == bool(count)), out[-200:]
    reached = STARTUP[:STARTUP.index(name) + 1] if name in STARTUP else STARTUP if count else []
    assert [c for c in calls() if c in STARTUP] == reached and "Stop" not in calls(), calls()


def stop():
    """pcmtap.exe stop: a refusal, and through a host without a console that
    starts pcmtap.exe with pipes and CREATE_NO_WINDOW, an orderly stop, a capture
    that had already failed and one that does not end in time."""
    packets = plan(1, 300)
    # Its command line's refusals are the records test's; this one needs the platform.
    result = subprocess.run([WINE, str(HERE / "pcmtap.exe"), "stop", "--pid", "4000000000"], capture_output=True, timeout=60)
    assert (result.returncode, result.stdout, result.stderr) == (1, b"", b"OpenProcess failed: 0x80070057\r\n"), result
    for fail, stop_error, capture_status in [("", "", 0), ("GetBuffer:30", "The capture exited with status 1\r\n", 1),
                                             ("Stop", "The capture did not exit within 10 s\r\n", 0)]:
        (HERE / "calls.log").unlink(missing_ok=True)
        report = launch(["stop_host.exe", "pcmtap.exe", "1", "records.jsonl"], packets, fail=fail).communicate()[0].decode()
        assert f"stop: exit status {int(bool(stop_error))}, standard error [{stop_error}]" in report, (fail, report)
        out = (HERE / "records.jsonl").read_bytes()
        complete = out.count(b"\n")
        assert f"capture: exit status {capture_status}, complete records {complete} " in report, report
        expected = records(convert(packets), 1024, pid=int(re.match(r"host (\d+)", report)[1]))  # the host's own
        assert complete > 1 and out.endswith(b"\r\n") and expected.startswith(out), "records cut short or differing"
        # A stop that sent Ctrl+C to the capture's console, its own now, must have ignored it (wine delivers it
        # to no sender; Windows would end the stop command before its wait).
        exits = [c for c in calls(every=True) if c.startswith("exit")]
        assert exits.count("exit ignoring Ctrl+C") == (capture_status == 0), exits


def slow_reader():
    """A capture in exclude mode at the default chunk whose reader stalls for 2 s
    behind a pipe of one page loses nothing, with
    or without --gaps fill, while the device keeps a packet for 100 ms only. A
    stop late in such a stall still writes every record queued before it once the
    reader reads again; a reader that closes its end ends the run."""
    packets = audio(4, 4)
    capture(1024, "exclude", packets, stall=2)
    play(packets, fill_gaps=True, stall=2)
    expected = records(convert(packets), 1024)
    out, arrivals, err, status = run([], packets, 10**6, stall=2, stop_in_stall=1.5)
    assert (status, err) == (0, b"") and expected.startswith(out) and out.endswith(b"\r\n"), (status, err)
    # Audio until the stop, 1.5 s after the fifth record, less five times what the stop may take to be seen.
    covered = out.count(b"\n") - 1 - (arrivals[4] + 1.5 - arrivals[0] - 1.0) * 15.625
    assert covered > 0, f"records queued before the stop were lost: {covered:.1f}"
    out, _, err, status = run([], packets, 10**6, close=True)
    assert (status, err) == (1, b"Failed to write to standard output\r\n") and expected.startswith(out), (status, err)


def endpoint(fill_gaps):
    """--source endpoint follows the default render device across a change of
    default, a device that goes away leaving none for a while, and a new one:
    the records hold all the audio the three devices played, a loss filled or
    not (with --gaps fill, and exactly the silence between); each device is stopped and released
    before the next starts, and while there is none it is looked for about
    once a second."""
    role = "console" if fill_gaps else "communications"
    play(FOLLOWED, ["--source", "endpoint", "--role", role], mode="endpoint-" + role, pid=0, fill_gaps=fill_gaps)
    lookup = f"GetDefaultAudioEndpoint flow=0 role={0 if fill_gaps else 2}"
    opened = " ".join([lookup, "Activate"] + STARTUP + ["Stop", "released device"])
    assert re.fullmatch(f"CreateInstance RegisterEndpointNotificationCallback ({opened} ){{2}}({lookup} ){{1,5}}{opened} "
                        "UnregisterEndpointNotificationCallback", " ".join(calls())), calls()


def modelled(packets, arguments, fill_gaps=False):
    """The band-limited converter's records for the packets (plan_capture, the same code as pcmtap's): time
    without packets is nothing, or silence with --gaps fill; markers of a device change are no audio."""
    played = [(f, NULL if flags & (PAUSE | LOSS) else flags, s) for f, flags, s in packets
              if f == FORMAT or not flags & (CHANGE | GONE | MUTE | UNMUTE | DECOY) and (fill_gaps or not flags & (PAUSE | LOSS))]
    return subprocess.run([WINE, PLAN_CAPTURE, "start"] + arguments, input=packed(played), capture_output=True,
                          check=True, timeout=120).stdout


def device_audio(seed, seconds, encoding, channels, rate, mask=None):
    """A device's format marker, then 10 ms packets of noise with a tone in its format, the first flagged silent."""
    rng, frames = random.Random(seed), rate // 100
    marker = wave_format(encoding, channels, rate, mask)
    packets = []
    for k in range(100 * seconds):
        values = [tuple(0.6 * math.sin(2 * math.pi * 997 * (k * frames + i) / rate) + rng.uniform(-0.3, 0.3)
                        for _ in range(channels)) for i in range(frames)]
        packets.append((frames, SILENT if k == 0 else 0, encoded(encoding, values)))
    return [marker] + packets


def pause(seconds, rate, frame_bytes):
    """Time without packets at a device's rate."""
    return [(int(seconds * rate), PAUSE, bytes(int(seconds * rate) * frame_bytes))]


def next_device(seed, fmt):
    """A change of default to a device of another format: its marker, 2.5 s without packets, then a second of audio."""
    packets = device_audio(seed, 1, *fmt)
    return [(0, CHANGE, b"")] + packets[:1] + pause(2.5, fmt[2], fmt[1] * ENCODINGS[fmt[0]][1]) + packets[1:]


def formats():
    """--resampler band-limited with --source endpoint: every render device is opened at its own mix format,
    with no conversion by the engine (float stereo at 48 kHz, 24 bits in 32 for 7.1 at 44.1 kHz, 16 kHz mono
    float, packed 24-bit stereo at 96 kHz); after a change of default the stream goes on in the new format
    from its first packet, exactly as the converter makes it, with no gap and no time counted twice. A device
    whose format pcmtap cannot take ends the run with one error line that names it, every record before it
    intact."""
    played = device_audio(21, 1, "float", 2, 48000, 0x3) + pause(0.5, 48000, 8) + device_audio(22, 1, "float", 2, 48000)[1:]
    for seed, fmt in enumerate([("int24in32", 8, 44100, 0x63F), ("float", 1, 16000, 0x4), ("int24", 2, 96000)]):
        played += next_device(23 + seed, fmt)
    arguments = ["--source", "endpoint", "--resampler", "band-limited"]
    expected = modelled(played, arguments)
    bad = (FORMAT, 18, struct.pack("<HHIIHHH", 1, 2, 48000, 96000, 2, 8, 0))  # 8-bit PCM
    out, _, err, status = run(arguments, played + [(0, CHANGE, b""), bad] + pause(2, 48000, 2), 10**6)
    assert (status, err) == (1, b"Unsupported device format: tag 0x0001, 2 channels, 48000 Hz, 8 bits, block align 2\r\n"), err
    assert out == expected, (len(out), len(expected))
    check_calls(["GetMixFormat", "format 0x00060000 mix"] * 4 + ["GetMixFormat"])


def play_modelled(packets, arguments, fill_gaps=False, notices=(), after=()):
    """The band-limited converter's records of the packets, then Ctrl+C: exactly the model's, in order, with
    `notices` among them, and with --gaps fill after the clock record and going on as the packets `after`."""
    arguments = arguments + ["--resampler", "band-limited"] + ["--gaps", "fill"] * fill_gaps
    model = arguments if "--source" in arguments else ["--target-pid", str(PID)] + arguments
    expected = modelled(packets, model, fill_gaps)
    out, _, err, status = run(arguments, packets, expected.count(b"\n") + len(notices) + fill_gaps)
    assert (status, err) == (0, b""), err
    out = without_clock(without_notices(out, notices), fill_gaps)
    assert out.startswith(expected) and modelled(packets + list(after), model, fill_gaps).startswith(out), len(out)


def check_calls(expected):
    """The format lines of the device's log are those expected."""
    formats_asked = [c for c in calls(every=True) if c.startswith(("format", "GetMixFormat"))]
    assert formats_asked == expected, formats_asked


def microphone(fill_gaps):
    """--source microphone --role communications: the default capture device of that role at its own mix format
    (16 kHz mono float, then a 4-channel 32-bit array at 48 kHz, of which the first channel counts), shared and
    event-driven without the loopback flag or the engine's conversion, followed across a change of default and
    not across changes of the other flow or the multimedia role: exactly the model's records, with --gaps fill
    after the clock record and with the pause between the devices filled at the new rate."""
    played = device_audio(41, 1, "float", 1, 16000, 0x4) + [(0, DECOY, b"")] + device_audio(42, 1, "float", 1, 16000)[1:] + \
        next_device(43, ("int32", 4, 48000))
    play_modelled(played, ["--source", "microphone", "--role", "communications"], fill_gaps, after=pause(10, 48000, 16))
    opened = " ".join(["GetDefaultAudioEndpoint flow=1 role=2", "Activate", "GetMixFormat"] + STARTUP + ["Stop", "released device"])
    assert re.fullmatch(f"CreateInstance RegisterEndpointNotificationCallback ({opened} ){{2}}UnregisterEndpointNotificationCallback",
                        " ".join(calls())), calls()
    check_calls(["GetMixFormat", "format 0x00040000 mix"] * 2)


def microphone_notices():
    """--source microphone --notices on: muted and unmuted as the endpoint mute turns; digital zeros from the
    unmuted microphone for 3 s: deaf, naming no process, then hearing when the sound comes back. The records are
    those without the option."""
    zeros = [(160, 0, bytes(640))]
    played = device_audio(44, 1, "float", 1, 16000) + [(0, MUTE, b"")] + zeros * 100 + [(0, UNMUTE, b"")] + zeros * 450 + \
        device_audio(45, 2, "float", 1, 16000)[1:]
    play_modelled(played, ["--source", "microphone", "--notices", "on"], notices=[
        b'{"type":"notice","code":"muted"}\r\n', b'{"type":"notice","code":"unmuted"}\r\n',
        b'{"type":"notice","code":"deaf","processIds":[]}\r\n', b'{"type":"notice","code":"hearing"}\r\n'])


def clock():
    """Two captures started a second apart, a process-loopback one (linear) and a microphone (band-limited), both
    with --gaps fill, hear the same clicks at the same performance-counter times: each announces where its first
    sample lies, and the clicks' times by those announcements agree."""
    # 10 ms packets, a click every half second from 0.5 s: 3 ms of a raised cosine, which even linear
    # interpolation, whose points are 2.76 input samples apart, keeps in shape
    pulse = [round(20000 * (1 - math.cos(2 * math.pi * i / 132)) / 2) for i in range(132)]
    clicks = []
    for k in range(60):
        clicks.append((441, 0, [v for i in range(441) for v in [pulse[i - 100] if k % 50 == 25 and 100 <= i < 232 else 0] * 2]))
    origin = int(time.clock_gettime(time.CLOCK_MONOTONIC_RAW) * 1e7) + 25000000  # 2.5 s from now, on both
    first = launch(["pcmtap.exe", "start", "--target-pid", str(PID), "--gaps", "fill"], clicks * 10, origin=origin)
    time.sleep(1)
    second = launch(["pcmtap.exe", "start", "--source", "microphone", "--gaps", "fill"], clicks * 10, origin=origin)
    times = []
    for process in (first, second):
        interrupt(process, 8)
    for process in (first, second):
        out, err = process.communicate(timeout=60)
        assert (process.returncode, err) == (0, b""), err
        lines = [json.loads(line) for line in out.splitlines()]
        s = [v for record in lines[2:] for v in struct.unpack("<1024h", base64.b64decode(record["pcmBase64"]))]
        times.append([lines[1]["firstSampleTime"] + k * 625 for k in range(1, len(s) - 1) if 5000 < s[k] >= max(s[k - 1], s[k + 1])])
    common = [(a, b) for a in times[0] for b in times[1] if abs(a - b) < 2000000]
    # The stand-in's positions are exact, so the times agree far closer than the 5 ms a host can rely on: within
    # 1 ms, which the band-limited filter's delay of 3.5 ms, left uncounted, would break.
    assert len(common) >= 5 and all(abs(a - b) <= 10000 for a, b in common), (times, common)


def audio(seed, seconds, silent=False):
    """10 ms packets; `silent`: digital silence, packets flagged silent over non-zero samples and packets of zeros."""
    packets = plan(seed, 100 * seconds, sizes=(441,))
    return [(f, SILENT, s) if k % 2 else (f, 0, [0] * len(s)) for k, (f, _, s) in enumerate(packets)] if silent else packets


def change(flags, seconds):
    """A change of default render device (or, GONE, the loss of the present one), then silence."""
    return [(0, flags, []), gap(int(seconds * 44100), PAUSE)]


# Pauses of whole slices: the reference's silence then falls in the same packets as pcmtap's.
# Each device starts within 0.5 s of its change (1.2 s after no device), a fifth of the pause after it.
FOLLOWED = audio(11, 1) + change(CHANGE, 2.5) + audio(12, 1) + [gap(22050, LOSS)] + audio(14, 1) + change(GONE, 2.5) + \
    change(CHANGE, 6) + audio(13, 1)
FAILED = " failed: 0x88890004"
# Sessions of the stand-in, each: its process, active, muted, volume, peak, and the seconds it plays.
PLAYING = "target 1 0 1 0.5 0 99;4000000000 1 0 1 0.5 0 99;child 1 0 1 0.5 1 99;4000000007 1 0 1 0.01 0 99"
UNHEARD = "target 1 0 1 0.5 0 99;4000000001 1 1 1 0.5 0 99;4000000002 1 0 0 0.5 0 99;4000000003 0 0 1 0.5 0 99;" \
          "4000000004 1 0 1 0.005 0 99;4000000005 1 0 1 0.5 1 2"
CASES = {
    "include_1": lambda: capture(1, "include", plan(2, 100)),
    "stop": stop,
    "slow_reader": slow_reader,
    "endpoint": lambda: endpoint(False),
    "endpoint_gaps_fill": lambda: endpoint(True),
    # The process source with the band-limited converter: the same capture format and flags, other records.
    "band_limited": lambda: [play_modelled(plan(3, 200), ["--mode", "include-tree"]),
                             check_calls(["format 0x00060000 linear"])],
    "microphone": lambda: microphone(False),
    "microphone_gaps_fill": lambda: microphone(True),
    "microphone_notices": microphone_notices,
    "clock": clock,
    "formats": formats,
    "notices": notices,
    # Playing sessions that do not count (the target's, muted, at volume 0, inactive, under -40 dBFS, for 1 s),
    # and no packets for a while: no notice. Off, the records are those without the option.
    "notices_unheard": lambda: play(audio(7, 4, True) + [gap(441 * 300, PAUSE)] + audio(8, 1, True), ["--notices", "on"],
                                    sessions=UNHEARD),
    "notices_off": lambda: play(audio(9, 6, True), ["--notices", "off"], sessions=PLAYING),
    # Sessions that cannot be read: one notice, and the records as ever.
    "notices_unchecked": lambda: play(audio(10, 3), ["--source", "endpoint", "--notices", "on"], mode="endpoint-console",
                                      pid=0, fail="GetSessionEnumerator", notices=[
                                          b'{"type":"notice","code":"unchecked","detail":'
                                          b'"IAudioSessionManager2::GetSessionEnumerator failed: 0x80004001"}\r\n']),
}
for _call, _message in [
        ("ActivateAudioInterfaceAsync", "ActivateAudioInterfaceAsync" + FAILED),
        ("GetActivateResult", "ActivateAudioInterfaceAsync completion" + FAILED),
        ("ActivationStatus", "ActivateAudioInterfaceAsync completion" + FAILED),
        ("QueryInterface", "ActivateAudioInterfaceAsync returned no IAudioClient"),
        ("Initialize", "IAudioClient::Initialize" + FAILED), ("SetEventHandle", "IAudioClient::SetEventHandle" + FAILED),
        ("GetService", "IAudioClient::GetService" + FAILED), ("Start", "IAudioClient::Start" + FAILED),
        ("GetBuffer:120", "IAudioCaptureClient::GetBuffer" + FAILED),
        ("ReleaseBuffer:120", "IAudioCaptureClient::ReleaseBuffer" + FAILED),
        ("GetNextPacketSize:90", "GetNextPacketSize" + FAILED), ("WaitForSingleObject:80", "WaitForSingleObject failed")]:
    CASES["fail_" + _call.split(":")[0]] = lambda c=_call, m=_message: failure(c, m)
# With the sources that follow a default device: a microphone that the privacy settings keep from desktop
# programs, one in exclusive use; no device at all; failures of the enumerator.
for _source, _call, _message in [
        ("microphone", "Initialize=0x80070005", "IAudioClient::Initialize failed: 0x80070005"),
        ("microphone", "Initialize=0x8889000A", "IAudioClient::Initialize failed: 0x8889000a"),
        ("microphone", "GetDefaultAudioEndpoint", "IMMDeviceEnumerator::GetDefaultAudioEndpoint failed: 0x80070490"),
        ("endpoint", "GetDefaultAudioEndpoint", "IMMDeviceEnumerator::GetDefaultAudioEndpoint failed: 0x80070490"),
        ("endpoint", "CreateInstance", "CoCreateInstance" + FAILED), ("endpoint", "Activate", "IMMDevice::Activate" + FAILED),
        ("endpoint", "RegisterEndpointNotificationCallback", "IMMDeviceEnumerator::RegisterEndpointNotificationCallback" + FAILED)]:
    CASES[f"{_source}_fail_" + _call.split("=")[-1]] = lambda s=_source, c=_call, m=_message: failure(c, m, ["--source", s])

if __name__ == "__main__":
    WINE, exe, stand_in, host, PLAN_CAPTURE, case = sys.argv[1:7]
    with tempfile.TemporaryDirectory() as temporary:
        HERE = pathlib.Path(temporary)
        for source, name in [(exe, "pcmtap.exe"), (stand_in, "mmdevapi.dll"), (host, "stop_host.exe")]:
            shutil.copy(source, HERE / name)
        # The endpoint source finds the device enumerator's class through the registry: the stand-in serves
        # it while the case runs (the cases that use it run one at a time), and wine's own afterwards.
        endpoint_case = case.startswith(("endpoint", "notices", "formats", "microphone", "clock"))
        if endpoint_case:
            serve_enumerator("Z:" + str(HERE / "mmdevapi.dll").replace("/", "\\"))
        try:
            CASES[case]()
        except AssertionError:
            # Records that differ from some point on are what a lost packet gives.
            print("the device lost packets:", [c for c in calls(every=True) if c.startswith("lost")])
            raise
        finally:
            if endpoint_case:
                serve_enumerator(r"C:\windows\system32\mmdevapi.dll")
    print(case, "passed")
