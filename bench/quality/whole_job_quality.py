#!/usr/bin/python3
"""Quality of the whole job: stereo 24-bit 48000 Hz in, 8-bit mono at a lower rate out.

Each example signal (make_example, mono 16-bit at 48000 Hz) is made stereo
24-bit by SoX with the channels at different levels (0.9 and 0.6), then
converted to 8-bit mono at each output rate by:
  - pcmtaper in one pass: pcmtaper -c mix -r RATE in.wav out.wav (and with -z);
  - the chain: sox -R in.wav -b 16 mid.wav remix 1,2 rate -h RATE dither,
    then pcmtaper mid.wav out.wav; and the same chain through a 32-bit float
    mid.wav without dither, which keeps SoX's resampler but not the 16-bit
    rounding and its dither, so the two chains tell those losses apart;
  - SoX alone: sox -R in.wav -b 8 out.wav remix 1,2 rate -h RATE dither,
    with dither -S (sloped TPDF) and dither -s (the shaping filter SoX has
    at 8000, 11025 and 22050 Hz) as well;
  - and, as a check of the reference, SoX's resampler alone writing floats
    (no quantisation): its SNR is how far the reference is from a real
    resampler, and it should lie far above every 8-bit figure.
The reference is the exact mix (the mean of the two channels, in double
precision) resampled by the Fourier transform of the whole signal, padded with
silence, its spectrum kept to 0.95 of the output's Nyquist frequency and
rolled off with a raised cosine to zero at it (the passband and stopband
edges the resamplers under test aim at). Each output is aligned to it, its
level fitted, and scored as compare_quality.py scores (SNR, A- and
468-weighted SNR, DC), over the same samples for every method.

Usage (from the top of the repository, with pcmtaper and make_example built):
  /usr/bin/python3 bench/quality/whole_job_quality.py [--build build]
      [--out bench/quality/out-whole-job] [--seconds 15]
      [--kinds music,chirp,bursts,tone] [--rates 8000,11025,22050]
It writes whole_job.md to the output folder and prints it.
"""
import argparse
import math
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import compare_quality as cq  # noqa: E402 (needs the path above)
import numpy as np  # noqa: E402
from scipy.io import wavfile  # noqa: E402

INPUT_RATE_HZ = 48000
CHANNEL_LEVELS = ("0.9", "0.6")
# Passband edge of the reference, as a fraction of the output's Nyquist frequency.
PASSBAND_EDGE = 0.95
REFERENCE_CHECK = "check: sox rate -h, float out"


def exact_mix(path):
    """Mean of the channels of a 24-bit WAV in double precision, full scale 1.0."""
    _, data = wavfile.read(path)
    # scipy gives 24-bit samples left-justified in 32 bits.
    return data.astype(float).mean(axis=1) / 2.0 ** 31


def band_limited_resample(x, in_rate_hz, out_rate_hz):
    """x at out_rate_hz through its whole spectrum: flat to PASSBAND_EDGE, cosine to 0 at out/2."""
    step = in_rate_hz // math.gcd(in_rate_hz, out_rate_hz)
    out_len = round(len(x) * out_rate_hz / in_rate_hz)
    # Silence after the end keeps the transform's wrap-around off the signal.
    padded_len = -(-(len(x) + in_rate_hz) // step) * step
    spectrum = np.fft.rfft(x, padded_len)
    padded_out_len = padded_len * out_rate_hz // in_rate_hz
    f_hz = np.arange(padded_out_len // 2 + 1) * out_rate_hz / padded_out_len
    nyquist_hz = out_rate_hz / 2
    edge_hz = PASSBAND_EDGE * nyquist_hz
    mask = np.clip((nyquist_hz - f_hz) / (nyquist_hz - edge_hz), 0.0, 1.0)
    mask = 0.5 - 0.5 * np.cos(np.pi * mask)
    y = np.fft.irfft(spectrum[:len(f_hz)] * mask, padded_out_len) * (padded_out_len / padded_len)
    return y[:out_len]


def read_output(path):
    rate_hz, data = wavfile.read(path)
    if data.dtype == np.float32:
        return rate_hz, data.astype(float)
    return cq.read_wav(path)


def methods(pcmtaper, rate_hz):
    """(name, list of argv run in order, expected delay) for one output rate; in.wav in, out.wav out."""
    r = str(rate_hz)
    sox = ["sox", "-R", "-V2", "in.wav"]
    return [
        ("pcmtaper (one pass)", [[pcmtaper, "-q", "-c", "mix", "-r", r, "in.wav", "out.wav"]], 224),
        ("pcmtaper -z (one pass)", [[pcmtaper, "-q", "-z", "-c", "mix", "-r", r, "in.wav", "out.wav"]], 224),
        ("chain: sox 16-bit dither, pcmtaper",
         [sox + ["-b", "16", "mid.wav", "remix", "1,2", "rate", "-h", r, "dither"],
          [pcmtaper, "-q", "mid.wav", "out.wav"]], 224),
        ("chain through a float file: sox, pcmtaper",
         [sox + ["-e", "floating-point", "-b", "32", "mid.wav", "remix", "1,2", "rate", "-h", r],
          [pcmtaper, "-q", "mid.wav", "out.wav"]], 224),
        ("sox alone, dither", [sox + ["-b", "8", "out.wav", "remix", "1,2", "rate", "-h", r, "dither"]], 0),
        ("sox alone, dither -S", [sox + ["-b", "8", "out.wav", "remix", "1,2", "rate", "-h", r, "dither", "-S"]], 0),
        ("sox alone, dither -s", [sox + ["-b", "8", "out.wav", "remix", "1,2", "rate", "-h", r, "dither", "-s"]], 0),
        (REFERENCE_CHECK, [sox + ["-e", "floating-point", "-b", "32", "out.wav", "remix", "1,2", "rate", "-h", r]], 0),
    ]


def run_in(work_dir, argv):
    result = subprocess.run(argv, cwd=work_dir, capture_output=True, text=True)
    return result.returncode, result.stderr


def measure(work_dir, pcmtaper, mix, rate_hz):
    reference = band_limited_resample(mix, INPUT_RATE_HZ, rate_hz)
    aligned = []
    for name, commands, expected_delay in methods(pcmtaper, rate_hz):
        for name_of_file in ("mid.wav", "out.wav"):
            if os.path.exists(os.path.join(work_dir, name_of_file)):
                os.remove(os.path.join(work_dir, name_of_file))
        for argv in commands:
            code, stderr = run_in(work_dir, argv)
            if code != 0 or "available for rate" in stderr:
                sys.exit(f"whole_job_quality: {name} at {rate_hz} Hz: exit {code}: {stderr.strip()}")
        _, y = read_output(os.path.join(work_dir, "out.wav"))
        delay, note = cq.find_delay(reference, y, expected_delay)
        if note and not note.startswith("periodic"):
            sys.exit(f"whole_job_quality: {name} at {rate_hz} Hz: {note}")
        aligned.append((name, y[delay:], note))
    length = min(len(reference) - cq.PCMTAPER_DELAY_SAMPLES, *(len(y) for _, y, _ in aligned))
    return [{"method": name, "note": note, **cq.score(reference[:length], y[:length], rate_hz)}
            for name, y, note in aligned], length


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default="build", help="build folder holding pcmtaper and make_example")
    parser.add_argument("--out", default=os.path.join("bench", "quality", "out-whole-job"))
    parser.add_argument("--seconds", type=float, default=15.0)
    parser.add_argument("--kinds", default="music,chirp,bursts,tone")
    parser.add_argument("--rates", default="8000,11025,22050", help="output rates, Hz")
    args = parser.parse_args()
    pcmtaper = os.path.abspath(os.path.join(args.build, "pcmtaper"))
    make_example = os.path.abspath(os.path.join(args.build, "make_example"))
    kinds = [k for k in args.kinds.split(",") if k]
    rates = [int(r) for r in args.rates.split(",") if r]
    work_dir = os.path.abspath(args.out)
    os.makedirs(work_dir, exist_ok=True)

    results = {}  # (kind, rate) -> (records, length)
    for kind in kinds:
        code, stderr = run_in(work_dir, [make_example, kind, str(INPUT_RATE_HZ), str(args.seconds), "mono.wav"])
        if code == 0:
            code, stderr = run_in(work_dir, ["sox", "mono.wav", "-b", "24", "-c", "2", "in.wav", "remix",
                                             "1v" + CHANNEL_LEVELS[0], "1v" + CHANNEL_LEVELS[1]])
        if code != 0:
            sys.exit(f"whole_job_quality: making the {kind} input: {stderr.strip()}")
        mix = exact_mix(os.path.join(work_dir, "in.wav"))
        for rate_hz in rates:
            print(f"{kind} to {rate_hz} Hz ...", flush=True)
            results[kind, rate_hz] = measure(work_dir, pcmtaper, mix, rate_hz)

    report = [f"Inputs: {args.seconds:g} s of each example at {INPUT_RATE_HZ} Hz, stereo 24-bit "
              f"(channels at {CHANNEL_LEVELS[0]} and {CHANNEL_LEVELS[1]}). "
              "Cells: SNR / A-weighted SNR / 468-weighted SNR, dB, against the band-limited exact mix.", ""]
    for rate_hz in rates:
        lengths = ", ".join(f"{kind} {results[kind, rate_hz][1]}" for kind in kinds)
        report += [f"### To {rate_hz} Hz (samples compared: {lengths})", "",
                   "| method | " + " | ".join(kinds) + " | DC, 8-bit steps (" + kinds[0] + ") |",
                   "|---|" + "---:|" * (len(kinds) + 1)]
        names = [r["method"] for r in results[kinds[0], rate_hz][0]]
        for i, name in enumerate(names):
            cells = []
            for kind in kinds:
                r = results[kind, rate_hz][0][i]
                mark = " *" if r["note"] else ""
                cells.append(f"{r['SNR']:.1f} / {r['A-wt SNR']:.1f} / {r['468-wt SNR']:.1f}{mark}")
            dc = results[kinds[0], rate_hz][0][i]["dc_steps"]
            report.append(f"| {name} | " + " | ".join(cells) + f" | {dc:+.3f} |")
        notes = sorted({r["note"] for kind in kinds for r in results[kind, rate_hz][0] if r["note"]})
        report += [""] + [f"\\* {note}." for note in notes] + ([""] if notes else [])
    with open(os.path.join(work_dir, "whole_job.md"), "w") as out:
        out.write("\n".join(report))
    print("\n".join(report))


if __name__ == "__main__":
    main()
