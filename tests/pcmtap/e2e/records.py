#!/usr/bin/env python3
"""pcmtap's output as bytes on the wire: checks every record against the
exact layout, decodes the 16 kHz samples and measures a tone in them.

As a program: `records.py summary FILE [CHUNK_FRAMES]` prints what a capture
written to FILE holds (used by the demo)."""
import base64
import math
import re
import struct
import sys

SAMPLE_RATE = 16000
PCM_RECORD = re.compile(
    rb'\{"type":"pcm","sampleRate":16000,"channels":1,"frames":(0|[1-9][0-9]*),'
    rb'"sequence":(0|[1-9][0-9]*),"pcmBase64":"([A-Za-z0-9+/]*={0,2})"\}')


def ready_record(target_process_id):
    return (b'{"type":"ready","sampleRate":16000,"channels":1,"targetProcessId":%d,'
            b'"mode":"exclude-target-process-tree"}\r\n' % target_process_id)


def check_stream(output, target_process_id, chunk_frames):
    """Checks a whole capture's standard output; returns (problems, samples)."""
    problems = []
    ready = ready_record(target_process_id)
    if not output.startswith(ready):
        return [f"does not start with the ready record: {output[:160]!r}"], []
    body = output[len(ready):]
    if body and not body.endswith(b"\r\n"):
        problems.append(f"ends inside a record: ...{body[-60:]!r}")
    lines = body.split(b"\r\n")[:-1]  # the last piece is empty, or a broken record
    samples = []
    base64_length = 4 * ((2 * chunk_frames + 2) // 3)
    for index, line in enumerate(lines):
        match = PCM_RECORD.fullmatch(line)
        if match is None:
            problems.append(f"record {index} is not a pcm record: {line[:160]!r}")
            break
        frames, sequence, text = int(match[1]), int(match[2]), match[3]
        if sequence != index:
            problems.append(f"record {index} carries sequence {sequence}")
            break
        if frames != chunk_frames:
            problems.append(f"record {index} has {frames} frames, not {chunk_frames}")
            break
        if len(text) != base64_length:
            problems.append(f"record {index}: {len(text)} Base64 characters, not {base64_length}")
            break
        payload = base64.b64decode(text, validate=True)
        if base64.b64encode(payload) != text or len(payload) != 2 * frames:
            problems.append(f"record {index}: payload is not {2 * frames} bytes in canonical Base64")
            break
        samples.extend(struct.unpack(f"<{frames}h", payload))
    return problems, samples


def rms(samples):
    return math.sqrt(sum(x * x for x in samples) / len(samples)) if samples else 0.0


def _sinusoid_fit(samples, frequency):
    """Least-squares fit of a*cos + b*sin at `frequency`: the fraction of the
    samples' energy (about their mean) that the sinusoid explains."""
    n = len(samples)
    mean = sum(samples) / n
    step = 2 * math.pi * frequency / SAMPLE_RATE
    cc = ss = cs = xc = xs = energy = 0.0
    for i, x in enumerate(samples):
        x -= mean
        c, s = math.cos(step * i), math.sin(step * i)
        cc += c * c
        ss += s * s
        cs += c * s
        xc += x * c
        xs += x * s
        energy += x * x
    det = cc * ss - cs * cs
    if energy == 0.0 or det == 0.0:
        return 0.0
    a = (xc * ss - xs * cs) / det
    b = (xs * cc - xc * cs) / det
    return (a * xc + b * xs) / energy


def _goertzel_power(samples, frequency):
    coefficient = 2 * math.cos(2 * math.pi * frequency / SAMPLE_RATE)
    s1 = s2 = 0.0
    for x in samples:
        s1, s2 = x + coefficient * s1 - s2, s1
    return s1 * s1 + s2 * s2 - coefficient * s1 * s2


def dominant_frequency(samples):
    """The strongest frequency between 20 Hz and 7.9 kHz: a 10 Hz scan of
    0.1 s, then finer scans over up to 1 s around the peak."""
    block = samples[:1600]
    best = max(range(20, 7900, 10), key=lambda f: _goertzel_power(block, f))
    window = samples[:SAMPLE_RATE]
    for span, step in ((10.0, 0.5), (0.5, 0.02)):
        candidates = [best - span + step * k for k in range(int(2 * span / step) + 1)]
        best = max(candidates, key=lambda f: _goertzel_power(window, f))
    return best


def tone_blocks(samples, frequency, block=1600):
    """Per 0.1 s block, the fraction of its energy that a sinusoid at
    `frequency` explains."""
    return [_sinusoid_fit(samples[k:k + block], frequency)
            for k in range(0, len(samples) - block + 1, block)]


def trim_leading_silence(samples, threshold, block=160):
    """Drops the whole 10 ms blocks before the first one whose level reaches
    `threshold`: the capture may begin before the signal reaches the sink."""
    for k in range(0, len(samples), block):
        if rms(samples[k:k + block]) >= threshold:
            return samples[k:]
    return []


def summary(output, chunk_frames):
    first = output.split(b"\r\n", 1)[0]
    match = re.search(rb'"targetProcessId":([0-9]+)', first)
    problems, samples = check_stream(output, int(match[1]) if match else 0, chunk_frames)
    records = len(samples) // chunk_frames
    lines = [f"records checked: {records} pcm records after the ready record"
             + (f" (PROBLEM: {problems[0]})" if problems else ", every byte as expected")]
    lines.append(f"audio: {len(samples)} samples = {len(samples) / SAMPLE_RATE:.2f} s at 16 kHz mono")
    sound = trim_leading_silence(samples, 100.0)
    if len(sound) >= 1600:
        frequency = dominant_frequency(sound)
        level = rms(sound)
        lines.append(f"dominant frequency: {frequency:.1f} Hz")
        lines.append(f"level: RMS {level:.0f} ({20 * math.log10(level / 32768):.1f} dBFS), "
                     f"peak {max(abs(x) for x in sound)}")
    else:
        lines.append("no sound above the noise floor")
    return "\n".join(lines), not problems


if __name__ == "__main__":
    if len(sys.argv) not in (3, 4) or sys.argv[1] != "summary":
        sys.exit("usage: records.py summary FILE [CHUNK_FRAMES]")
    with open(sys.argv[2], "rb") as capture:
        text, ok = summary(capture.read(), int(sys.argv[3]) if len(sys.argv) == 4 else 1024)
    print(text)
    sys.exit(0 if ok else 1)
