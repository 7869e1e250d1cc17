"""The reference model of pcmtap's output, shared by the tests of the portable
core and of the shipped exe: plans of captured packets, the plainest
transcription of the conversion, and the exact bytes of the records."""
import base64
import math
import random
import struct

PID = 4242
SILENT = 0x2
# The tests' own: a null sample pointer; time that passes without a packet,
# and time whose packets are lost; and, in packets of no frames, a change of
# default device, and the loss of the present one, leaving none; the endpoint
# mute turned on and off; changes of defaults that no source follows.
NULL, PAUSE, LOSS, CHANGE, GONE = 0x40000000, 0x20000000, 0x10000000, 0x08000000, 0x04000000
MUTE, UNMUTE, DECOY = 0x02000000, 0x01000000, 0x00800000


def plan(seed, count, sizes=(441, 441, 441, 448, 480, 440, 1, 3, 100, 882)):
    """Packets (frames, flags, samples) of varying size, some silent with garbage
    in their buffer, some with the flags that change nothing; the first, as a
    device's first after a start, discontinuous and silent over stale samples."""
    rng = random.Random(seed)
    packets = []
    for k in range(count):
        frames = rng.choice(sizes)
        flags = 0x1 | SILENT if k == 0 else rng.choice([0, 0, 0, 0, 0x1, 0x4, SILENT])
        packets.append((frames, flags, list(struct.unpack("<%dh" % (2 * frames), rng.randbytes(4 * frames)))))
    return packets


def packed(packets):
    """The plan's bytes; a packet's samples are 16-bit stereo values, or the bytes of its frames in the format
    of the last FORMAT marker."""
    return b"".join(struct.pack("<II", f, flags) + (s if isinstance(s, bytes) else struct.pack("<%dh" % len(s), *s))
                    for f, flags, s in packets)


# A format marker: the WAVEFORMATEX of the packets after it, a new device's mix format.
FORMAT = 0xFFFFFFFD
# Encodings: struct code, container bytes, scale of full scale, WAVEFORMATEX tag, subformat, valid bits.
ENCODINGS = {"float": ("f", 4, 1.0, 3), "int16": ("h", 2, 32767, 1), "int24": (None, 3, 8388607, 1),
             "int24in32": ("i", 4, 8388607 * 256, 1), "int32": ("i", 4, 2147483647, 1)}


def wave_format(encoding, channels, rate, mask=None):
    """A FORMAT marker: WAVEFORMATEX, or WAVEFORMATEXTENSIBLE when a channel mask is given."""
    code, size, _, subformat = ENCODINGS[encoding]
    valid = 24 if encoding.startswith("int24") else 8 * size
    head = (rate, rate * channels * size, channels * size, 8 * size)
    if mask is None:
        data = struct.pack("<HHIIHHH", subformat, channels, *head, 0)
    else:
        guid = struct.pack("<IHH8B", subformat, 0, 0x10, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71)
        data = struct.pack("<HHIIHHHHI", 0xFFFE, channels, *head, 22, valid, mask) + guid
    return FORMAT, len(data), data


def encoded(encoding, frames):
    """The bytes of frames (tuples of one value a channel, full scale 1.0) in the encoding."""
    code, size, scale, _ = ENCODINGS[encoding]
    values = [v for frame in frames for v in frame]
    if code == "f":
        return struct.pack("<%df" % len(values), *values)
    whole = [max(-scale - 1, min(scale, round(v * scale))) for v in values]
    if code is None:
        return b"".join(struct.pack("<i", w)[:3] for w in whole)
    return struct.pack("<%d%s" % (len(whole), code), *whole)


def gap(frames, flags):
    return frames, flags, [0] * 2 * frames


def cut(packets, fill):
    for frames, flags, samples in packets:
        if not flags & (PAUSE | LOSS):
            yield frames, flags, samples
        elif fill:
            yield from ((min(441, frames - at), NULL, []) for at in range(0, frames, 441))


def convert(packets, fill=False):
    """Every 16 kHz sample of the packets, one output point at a time. A pause
    or a loss is nothing, or where gaps are filled, silence in the packets that
    pcmtap cuts it into: slices of one device period, the last one shorter."""
    held, out, position = [], [], 0.0
    for frames, flags, samples in cut(packets, fill):
        held += [0 if flags & (SILENT | NULL) else int((samples[k] + samples[k + 1]) / 2)
                 for k in range(0, 2 * frames, 2)]
        while position + 1.0 < len(held):
            i = math.floor(position)
            v = (held[i + 1] - held[i]) * (position - i) + held[i]
            whole = math.trunc(v)  # halves away from zero; v - whole is exact
            out.append(whole + int(math.copysign(1, v)) if abs(v - whole) >= 0.5 else whole)
            position += 44100 / 16000
        removed = min(math.floor(position), len(held))  # position may pass the last held sample
        del held[:removed]
        position -= removed
    return out


def records(samples, chunk, mode="exclude", pid=PID):
    """The ready record and one pcm record per full chunk, as bytes on the wire."""
    mode = mode if mode.startswith(("endpoint", "microphone")) else mode + "-target-process-tree"
    text = '{"type":"ready","sampleRate":16000,"channels":1,"targetProcessId":%d,"mode":"%s"}\r\n' % (pid, mode)
    for sequence, start in enumerate(range(0, len(samples) - chunk + 1, chunk)):
        payload = base64.b64encode(struct.pack("<%dh" % chunk, *samples[start:start + chunk])).decode()
        text += ('{"type":"pcm","sampleRate":16000,"channels":1,"frames":%d,"sequence":%d,'
                 '"pcmBase64":"%s"}\r\n' % (chunk, sequence, payload))
    return text.encode()
