#!/usr/bin/env python3
"""Draws docs/conversion.png: the linear and the band-limited converter side by
side, as conversion_raw runs them on sweeps of -1 dBFS tones (44.1 kHz stereo,
16-bit with TPDF dither, one second a tone, each converter running through a
whole sweep as through a capture).

Left: the frequency response, the output level of each tone at its own
frequency, 0 to 8 kHz. Right: aliasing, the level of the strongest component
from 20 Hz to 7.6 kHz for tones from 8 to 22 kHz, where the output should
hold nothing: a spectrum over the middle 0.8 s of each tone. (Tones from 8 to
8.4 kHz alias to 7.6 to 8 kHz, just outside that band, where the filter
is still falling; rounding that strong a component to 16 bits leaves spurs
near -115 dBFS in the band.)

Needs Debian's python3-numpy and python3-matplotlib (run it with that python3).
Usage: bench/plot_conversion.py [build directory]   (default build/bench,
configured and built as a Release build like compare_sox.sh does)"""
import os
import subprocess
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RATE, OUT_RATE, AMPLITUDE = 44100, 16000, 10 ** (-1 / 20)


def build(directory):
    subprocess.run(["cmake", "-S", ROOT, "-B", directory, "-DCMAKE_BUILD_TYPE=Release", "-DPCMTAP_BUILD_TESTS=OFF",
                    "-DPCMTAP_SANITIZE=OFF"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", directory, "--target", "conversion_raw", "-j2"], check=True,
                   stdout=subprocess.DEVNULL)
    return os.path.join(directory, "bench", "conversion_raw")


def sweep(frequencies):
    """The tones one after the other, each RATE frames, as interleaved 16-bit bytes."""
    random = np.random.default_rng(1)
    n = np.arange(RATE)
    tones = []
    for f in frequencies:
        tone = 32768 * AMPLITUDE * np.sin(2 * np.pi * f * n / RATE)
        stereo = tone[:, None] + random.random((RATE, 2)) - random.random((RATE, 2))
        tones.append(np.clip(np.round(stereo), -32768, 32767).astype("<i2"))
    return np.concatenate(tones).tobytes()


def segments(program, mode, frequencies):
    """Each tone's output, less 0.1 s at either end where the tones meet."""
    out = subprocess.run([program, "441", mode], input=sweep(frequencies), stdout=subprocess.PIPE, check=True).stdout
    samples = np.frombuffer(out, dtype="<i2") / 32768.0
    return [samples[k * OUT_RATE + OUT_RATE // 10:(k + 1) * OUT_RATE - OUT_RATE // 10] for k in range(len(frequencies))]


def level_at(segment, frequency):
    """dBFS of the least-squares sine at the frequency."""
    n = np.arange(len(segment))
    basis = np.stack([np.sin(2 * np.pi * frequency * n / OUT_RATE), np.cos(2 * np.pi * frequency * n / OUT_RATE),
                      np.ones(len(n))], axis=1)
    a, b, _ = np.linalg.lstsq(basis, segment, rcond=None)[0]
    return 20 * np.log10(np.hypot(a, b))


def strongest_in_band(segment):
    """dBFS of the strongest bin from 20 Hz to 7.6 kHz, through a Kaiser window
    whose sidelobes (-150 dB) keep a component just above 7.6 kHz from leaking in."""
    window = np.kaiser(len(segment), 20)
    spectrum = np.abs(np.fft.rfft(segment * window)) * 2 / window.sum()
    frequencies = np.fft.rfftfreq(len(segment), 1 / OUT_RATE)
    band = (frequencies >= 20) & (frequencies <= 7600)
    return 20 * np.log10(max(spectrum[band].max(), 1e-12))


def main():
    program = build(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build", "bench"))
    passband = np.arange(100, 8000, 100)
    stopband = np.arange(8000, 22001, 100)
    figure, (response, aliasing) = plt.subplots(1, 2, figsize=(12, 4.5))
    for mode, label, colour in (("linear", "linear (StreamConverter)", "tab:red"),
                                ("band-limited", "band-limited (--resampler band-limited)", "tab:blue")):
        levels = [level_at(s, f) + 1 for s, f in zip(segments(program, mode, passband), passband)]
        worst = [strongest_in_band(s) for s in segments(program, mode, stopband)]
        response.plot(passband / 1000, levels, color=colour, label=label)
        aliasing.plot(stopband / 1000, worst, color=colour, label=label)
    response.set(title="Frequency response", xlabel="input tone (kHz)", ylabel="output level re input (dB)",
                 xlim=(0, 8), ylim=(-6, 1))
    response.axvline(7, color="grey", linestyle=":")
    response.text(7.05, -5.6, "7 kHz", color="grey")
    aliasing.set(title="Aliasing: strongest component from 20 Hz to 7.6 kHz", xlabel="input tone (kHz)",
                 ylabel="dBFS (tone at -1 dBFS)", xlim=(8, 22), ylim=(-140, 5))
    aliasing.axhline(-120, color="grey", linestyle=":")
    aliasing.text(17.5, -117, "-120 dBFS", color="grey")
    for axes, place in ((response, "lower left"), (aliasing, "center right")):
        axes.grid(alpha=0.3)
        axes.legend(loc=place)
    figure.suptitle("44.1 kHz stereo to 16 kHz mono, 16-bit, -1 dBFS tones with TPDF dither")
    figure.tight_layout()
    os.makedirs(os.path.join(ROOT, "docs"), exist_ok=True)
    figure.savefig(os.path.join(ROOT, "docs", "conversion.png"), dpi=100)


if __name__ == "__main__":
    main()
