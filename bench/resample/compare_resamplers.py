#!/usr/bin/python3
"""The resampler's quality beside SoX's `rate -h` and `rate -v`, libsoxr (HQ, VHQ)
and libsamplerate (best sinc), for 44100->8000, 44100->11025, 48000->11025,
48000->22050 and 8000->22050 (and any pair given with --pair IN:OUT).

Every method converts the same 64-bit float signals (amplitude 0.5): this
program's resampler, libsoxr and libsamplerate through build/bench/resample_tool,
SoX through its command line with raw 64-bit float input and output. Measured
on the output, away from its first and last 2000 samples:
  - passband ripple: 100 tones at once from 20 Hz to 0.99 of the lower
    Nyquist frequency, each one's gain fitted by least squares; the largest
    deviation from 0 dB of those up to 0.95 of it, how far up (as a fraction
    of it) every tone stays within 0.01 dB, and the fitted phase's largest
    deviation from the ideal output up to 0.95 (output k at input time
    k * in / out; a method that delays its output shows here);
  - stopband: a linear sweep over the band that must not come through (from
    the lower Nyquist frequency to the input's when going down; when going up,
    a sweep over 0 .. 0.95 of the input's Nyquist frequency and its images
    above it): the worst block of 4096 output samples, power in the stopband
    over the sweep's power, Kaiser-windowed (beta 20);
  - THD+N of a 1 kHz tone: what is left after taking off the fitted 1 kHz
    sine, over the sine.

Needs: python3-numpy, sox, and build/bench/resample_tool (built with libsoxr-dev
and libsamplerate0-dev installed for its soxr-* and src-best methods).

Usage (from the top of the repository):
  /usr/bin/python3 bench/resample/compare_resamplers.py [--build build] [--seconds 4] [--pair 44101:8000]
"""
import argparse
import os
import subprocess
import sys
import tempfile

import numpy as np

PAIRS = [(44100, 8000), (44100, 11025), (48000, 11025), (48000, 22050), (8000, 22050)]
EDGE = 2000  # output samples left out at each end (filters' start and end)


def run_method(method, tool, in_hz, out_hz, x, work):
    """The method's output for x (float64), as float64."""
    src = os.path.join(work, "in.f64")
    dst = os.path.join(work, "out.f64")
    x.astype("<f8").tofile(src)
    if method.startswith("sox "):
        quality = method.split()[1]
        raw = ["-t", "raw", "-e", "floating-point", "-b", "64", "-c", "1"]
        subprocess.run(["sox", "-V1", "--single-threaded", "-r", str(in_hz)] + raw + [src] + raw + [dst, "rate", quality,
                        str(out_hz)], check=True)
    else:
        with open(src, "rb") as i, open(dst, "wb") as o:
            subprocess.run([tool, method, str(in_hz), str(out_hz)], stdin=i, stdout=o, stderr=subprocess.DEVNULL,
                           check=True)
    return np.fromfile(dst, dtype="<f8")


def fit_sines(y, freqs, out_hz):
    """Least-squares amplitudes and phases of sines at freqs (Hz) in y[EDGE:-EDGE]."""
    k = np.arange(EDGE, len(y) - EDGE)
    cols = []
    for f in freqs:
        w = 2 * np.pi * f / out_hz
        cols += [np.sin(w * k), np.cos(w * k)]
    a = np.stack(cols, axis=1)
    coef, *_ = np.linalg.lstsq(a, y[EDGE:len(y) - EDGE], rcond=None)
    s, c = coef[0::2], coef[1::2]
    return np.hypot(s, c), np.arctan2(c, s), y[EDGE:len(y) - EDGE] - a @ coef


def passband(method, tool, in_hz, out_hz, seconds, work):
    nyquist = min(in_hz, out_hz) / 2
    freqs = np.linspace(20.0, 0.99 * nyquist, 100)
    rng = np.random.default_rng(1)
    phases = rng.uniform(0, 2 * np.pi, len(freqs))
    n = np.arange(int(seconds * in_hz))
    amp = 0.5 / len(freqs)
    x = sum(amp * np.sin(2 * np.pi * f * n / in_hz + p) for f, p in zip(freqs, phases))
    y = run_method(method, tool, in_hz, out_hz, x, work)
    gains, fitted, _ = fit_sines(y, freqs, out_hz)
    deviation = np.abs(20 * np.log10(gains / amp))
    passband = freqs <= 0.95 * nyquist
    ripple = np.max(deviation[passband])
    outside = np.nonzero(deviation > 0.01)[0]
    flat_to = (freqs[outside[0] - 1] if len(outside) and outside[0] > 0 else 0.0 if len(outside) else freqs[-1]) / nyquist
    phase_error = np.max(np.abs(np.angle(np.exp(1j * (fitted - phases))))[passband])
    return ripple, flat_to, phase_error, len(y)


def kaiser_blocks(y, block):
    w = np.kaiser(block, 20.0)
    for start in range(EDGE, len(y) - EDGE - block, block // 2):
        yield np.abs(np.fft.rfft(y[start:start + block] * w)) ** 2 / np.sum(w * w)


def stopband(method, tool, in_hz, out_hz, seconds, work):
    n = np.arange(int(seconds * in_hz))
    t = n / in_hz
    if out_hz < in_hz:
        f0, f1 = out_hz / 2, in_hz / 2
    else:
        f0, f1 = 0.0, 0.95 * in_hz / 2
    phase = 2 * np.pi * (f0 * t + (f1 - f0) * t * t / (2 * seconds))
    x = 0.5 * np.sin(phase)
    y = run_method(method, tool, in_hz, out_hz, x, work)
    block = 4096
    sweep_power = 0.5 * 0.5 / 2 * block / 2  # a sine's power in rfft bins of the windowed block, summed
    worst = 0.0
    bins = np.fft.rfftfreq(block, 1 / out_hz)
    for spectrum in kaiser_blocks(y, block):
        stop = spectrum if out_hz < in_hz else spectrum[bins > in_hz / 2 + 8 * out_hz / block]
        worst = max(worst, np.sum(stop) / sweep_power)
    return 10 * np.log10(max(worst, 1e-40))


def thd_n(method, tool, in_hz, out_hz, seconds, work):
    n = np.arange(int(seconds * in_hz))
    x = 0.5 * np.sin(2 * np.pi * 1000.0 * n / in_hz)
    y = run_method(method, tool, in_hz, out_hz, x, work)
    gains, _, rest = fit_sines(y, [1000.0], out_hz)
    return 20 * np.log10(np.sqrt(np.mean(rest ** 2)) / (gains[0] / np.sqrt(2)))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default="build")
    parser.add_argument("--seconds", type=float, default=4.0)
    parser.add_argument("--pair", action="append", default=[], help="IN:OUT, added to the five pairs")
    parser.add_argument("--methods", default="pcmtaper,sox -h,sox -v,soxr-hq,soxr-vhq,src-best")
    args = parser.parse_args()
    tool = os.path.join(args.build, "bench", "resample_tool")
    if not os.access(tool, os.X_OK):
        sys.exit(f"no {tool}: build it (cmake --build {args.build} --target resample_tool)")
    pairs = PAIRS + [tuple(int(v) for v in p.split(":")) for p in args.pair]
    methods = args.methods.split(",")
    print("| rates | method | ripple to 0.95, dB | within 0.01 dB to | phase error, rad | stopband, dB | THD+N 1 kHz, dB "
          "| samples out |")
    print("| --- | --- | --- | --- | --- | --- | --- | --- |")
    with tempfile.TemporaryDirectory() as work:
        for in_hz, out_hz in pairs:
            for method in methods:
                ripple, flat_to, phase_error, count = passband(method, tool, in_hz, out_hz, args.seconds, work)
                stop = stopband(method, tool, in_hz, out_hz, args.seconds, work)
                thd = thd_n(method, tool, in_hz, out_hz, args.seconds, work)
                print(f"| {in_hz} -> {out_hz} | {method} | {ripple:.5f} | {flat_to:.3f} | {phase_error:.1e} | {stop:.1f} "
                      f"| {thd:.1f} "
                      f"| {count} |", flush=True)


if __name__ == "__main__":
    main()
