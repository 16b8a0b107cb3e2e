#!/usr/bin/python3
"""Compares pcmtaper's 8-bit output with SoX's and FFmpeg's dithered 8-bit conversions.

Every input is converted to mono 8-bit PCM WAV by pcmtaper (once per variant,
see --pcmtaper-variant) and by the methods a user would otherwise pick: SoX `dither` (TPDF), `dither -S` (sloped TPDF),
`dither -s` and every `dither -f FILTER` noise shaper that SoX has at the
input's rate, SoX without dither (plain rounding, for reference), and FFmpeg
`aresample` with each of its dither methods writing pcm_u8. SoX runs with -R
so that its dither repeats from run to run.

Each output is aligned to its input by cross-correlation (pcmtaper's output
trails by 224 samples, the others by none), and every method is measured over
the same input samples: all but the last 224, which never reach pcmtaper's
output. For each method it reports:
  - gain: the least-squares gain of the aligned output on the input (FFmpeg's
    noise shapers lower the level at 8 bits to leave room for the noise);
  - SNR: input power over error power, error = aligned output - gain x input;
  - A-weighted and ITU-R 468-weighted SNR: the same ratio with input and error
    both weighted by the exact analog curve, applied bin by bin to the Fourier
    transform of the whole signal (RMS, 0 dB at 1 kHz; no quasi-peak detector);
  - DC: the mean of the error, in steps of the 8-bit output;
  - the long-term error spectrum (Welch, Hann window).
It writes quality.md (one table per input and a summary), spectra_<input>.csv
and quality_<input>.png (input spectrum with error spectra overlaid) to the
output folder.

Needs, on Debian:
  apt-get install -y python3-numpy python3-scipy python3-matplotlib sox ffmpeg
and a built pcmtaper and make_example (cmake -S . -B build && cmake --build build -j2).

Usage (from the top of the repository):
  /usr/bin/python3 bench/quality/compare_quality.py [--build build] [--out bench/quality/out]
      [--seconds 20] [--rate 44100] [--kinds tone,chirp,noise,bursts,music]
      [--plot-input music] [--pcmtaper-variant NAME=OPTIONS ...] [extra.wav ...]

--pcmtaper-variant runs pcmtaper with options under a name of its own, and may
be repeated: --pcmtaper-variant pcmtaper= --pcmtaper-variant "pcmtaper -z=-z"
puts the plain conversion and the zero-DC one side by side in every table.
Without it there is one variant, "pcmtaper", with no options.

This is a benchmark, not a test: it prints numbers and writes files, and exits
non-zero only when a tool is missing or fails, or an alignment cannot be found.
"""
import argparse
import csv
import os
import shlex
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

INSTALL_HINT = "apt-get install -y python3-numpy python3-scipy python3-matplotlib sox ffmpeg"
try:
    import numpy as np
    from scipy.io import wavfile
    from scipy import signal
except ImportError as missing:
    sys.exit(f"compare_quality: {missing}; install with {INSTALL_HINT}")
# Only the plots need matplotlib; whole_job_quality.py uses the measurements without it.
try:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    MISSING_PLOTTER = None
except ImportError as missing:
    MISSING_PLOTTER = missing

import weighting

PCMTAPER_DELAY_SAMPLES = 224
EXAMPLE_KINDS = ("tone", "chirp", "noise", "bursts", "music")
SOX_SHAPING_FILTERS = ("shibata", "lipshitz", "f-weighted", "modified-e-weighted",
                       "improved-e-weighted", "gesemann", "low-shibata", "high-shibata")
FFMPEG_DITHER_METHODS = ("rectangular", "triangular", "triangular_hp", "lipshitz", "shibata",
                         "low_shibata", "high_shibata", "f_weighted", "modified_e_weighted",
                         "improved_e_weighted")
WEIGHTINGS = (("SNR", weighting.flat_gain), ("A-wt SNR", weighting.a_weighting_gain),
              ("468-wt SNR", weighting.itu468_weighting_gain))
# Largest delay searched by the alignment, in samples, either way.
MAX_LAG_SAMPLES = 2048
# Methods drawn on the plot besides the pcmtaper variants and the best other one by 468-weighted SNR.
PLOTTED_METHODS = ("sox dither", "sox dither -s")
# The pcmtaper variant run when none is named: the plain conversion.
DEFAULT_PCMTAPER_VARIANT = "pcmtaper="


class Method:
    """One way of converting to 8 bits: a name, the command, the delay it should have."""

    def __init__(self, name, command_of_paths, expected_delay_samples, fallback_warning):
        self.name = name
        self.command_of_paths = command_of_paths  # (input, output) -> argv
        self.expected_delay_samples = expected_delay_samples
        # Text on stderr that says the tool fell back to another method at this rate.
        self.fallback_warning = fallback_warning


def parse_variant(text):
    """`NAME=OPTIONS` -> (name, option list); OPTIONS are split as a shell would."""
    name, sep, options = text.partition("=")
    if not sep or not name.strip():
        raise argparse.ArgumentTypeError(f"'{text}' is not NAME=OPTIONS")
    options = shlex.split(options)
    if any(not o.startswith("-") or o == "-" for o in options):
        raise argparse.ArgumentTypeError(f"'{text}': OPTIONS are pcmtaper's options only, no file names")
    return name.strip(), options


def aligns(options):
    """True when the options include --align (alone or bundled, as -qa), which drops the delay."""
    for o in options:
        if o == "--":
            break
        if o == "--align" or (not o.startswith("--") and "a" in o[1:]):
            return True
    return False


def all_methods(pcmtaper, variants):
    methods = [Method(name,
                      (lambda opts: lambda i, o: [pcmtaper, *opts, i, o])(options),
                      0 if aligns(options) else PCMTAPER_DELAY_SAMPLES, None)
               for name, options in variants]
    sox = lambda *effect: (lambda i, o: ["sox", "-R", "-V2", i, "-b", "8", "-e", "unsigned-integer", o]
                           + list(effect))
    methods.append(Method("sox -D (no dither, rounding)",
                          lambda i, o: ["sox", "-R", "-D", "-V2", i, "-b", "8", "-e", "unsigned-integer", o],
                          0, None))
    methods.append(Method("sox dither", sox("dither"), 0, None))
    methods.append(Method("sox dither -S", sox("dither", "-S"), 0, None))
    methods.append(Method("sox dither -s", sox("dither", "-s"), 0, "is available for rate"))
    for name in SOX_SHAPING_FILTERS[1:]:
        methods.append(Method(f"sox dither -f {name}", sox("dither", "-f", name), 0, "is available for rate"))
    for name in FFMPEG_DITHER_METHODS:
        methods.append(Method(
            f"ffmpeg {name}",
            (lambda n: lambda i, o: ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "warning", "-y",
                                     "-i", i, "-af", f"aresample=osf=u8:dither_method={n}",
                                     "-c:a", "pcm_u8", "-map_metadata", "-1", "-fflags", "+bitexact", o])(name),
            0, "not available at this sampling rate"))
    return methods


def read_wav(path):
    rate_hz, data = wavfile.read(path)
    if data.ndim != 1:
        raise ValueError(f"{path}: not mono")
    if data.dtype == np.int16:
        return rate_hz, data.astype(float) / 32768.0
    if data.dtype == np.uint8:
        return rate_hz, (data.astype(float) - 128.0) / 128.0
    raise ValueError(f"{path}: {data.dtype} samples; needs 16-bit input or 8-bit output")


def find_delay(reference, delayed, expected_delay_samples):
    """Delay of `delayed` behind `reference`, in samples, from the peak of their cross-correlation.

    Returns (delay, note). A periodic input (a steady tone) correlates almost as
    well one period away; when the expected delay correlates within 0.1 % of the
    peak, it is taken and the note says so.
    """
    n = len(reference)
    size = 1 << int(np.ceil(np.log2(2 * n)))
    correlation = np.fft.irfft(np.conj(np.fft.rfft(reference, size)) * np.fft.rfft(delayed[:n], size), size)
    lags = np.r_[np.arange(0, MAX_LAG_SAMPLES + 1), np.arange(-MAX_LAG_SAMPLES, 0)]
    values = correlation[lags]
    best = int(lags[np.argmax(values)])
    if best == expected_delay_samples:
        return best, ""
    at_expected = correlation[expected_delay_samples % size]
    if at_expected >= 0.999 * values.max():
        return expected_delay_samples, f"periodic input: peak at {best} as good as at {expected_delay_samples}"
    return best, f"delay {best}, expected {expected_delay_samples}"


def run(argv, log_path):
    with open(log_path, "w") as log:
        result = subprocess.run(argv, stdout=log, stderr=subprocess.PIPE, text=True)
        log.write(result.stderr)
    return result.returncode, result.stderr


def measure(input_path, methods, work_dir):
    """Converts one input with every method; returns its rate, samples, and one record per method."""
    rate_hz, x = read_wav(input_path)
    stem = os.path.splitext(os.path.basename(input_path))[0]
    converted = []
    skipped = []
    for method in methods:
        slug = method.name.replace(" ", "_").replace("(", "").replace(")", "").replace(",", "")
        out_path = os.path.join(work_dir, f"{stem}.{slug}.wav")
        code, stderr = run(method.command_of_paths(input_path, out_path), out_path + ".log")
        if method.fallback_warning and method.fallback_warning in stderr:
            skipped.append(method.name)
            continue
        if code != 0:
            sys.exit(f"compare_quality: {method.name} failed on {input_path} (exit {code}): {stderr.strip()}")
        _, y = read_wav(out_path)
        delay, note = find_delay(x, y, method.expected_delay_samples)
        if note and not note.startswith("periodic"):
            sys.exit(f"compare_quality: {method.name} on {input_path}: {note}")
        converted.append((method.name, y[delay:], delay, note))

    # Every method is measured over the same input samples: those that reach every aligned output.
    length = min(len(x) - PCMTAPER_DELAY_SAMPLES, *(len(y) for _, y, _, _ in converted))
    reference = x[:length]
    records = [{"method": name, "delay": delay, "note": note, **score(reference, y[:length], rate_hz)}
               for name, y, delay, note in converted]
    return rate_hz, reference, records, skipped, length


def score(reference, output, rate_hz):
    """Gain, SNRs (flat and weighted), DC and error of an aligned output of the reference's length."""
    # A method may scale the signal on purpose (FFmpeg's noise shapers leave headroom at
    # 8 bits); a level change is not noise, so the error is taken against the input
    # scaled by the least-squares gain, and the gain is reported beside it.
    gain = float(np.dot(output, reference) / np.dot(reference, reference))
    error = output - gain * reference
    row = {"gain_db": 20 * np.log10(gain)}
    for label, gain_of_hz in WEIGHTINGS:
        row[label] = 10 * np.log10(weighting.weighted_power(reference, rate_hz, gain_of_hz)
                                   / weighting.weighted_power(error, rate_hz, gain_of_hz))
    row["dc_steps"] = float(np.mean(error)) * 128.0
    row["error"] = error
    return row


def long_term_spectrum(samples, rate_hz):
    """Welch power spectral density in dB relative to full scale squared per Hz."""
    segment = min(4096, len(samples))
    f_hz, density = signal.welch(samples, fs=rate_hz, window="hann", nperseg=segment)
    return f_hz, 10 * np.log10(np.maximum(density, 1e-30))


def markdown_table(stem, rate_hz, length, records, skipped):
    lines = [f"### {stem} ({rate_hz} Hz, {length} samples compared)", "",
             "| method | delay | gain dB | SNR dB | A-wt SNR dB | 468-wt SNR dB | DC (8-bit steps) |",
             "|---|---:|---:|---:|---:|---:|---:|"]
    for r in records:
        mark = " *" if r["note"] else ""
        lines.append(f"| {r['method']} | {r['delay']}{mark} | {r['gain_db']:+.2f} | {r['SNR']:.1f} "
                     f"| {r['A-wt SNR']:.1f} "
                     f"| {r['468-wt SNR']:.1f} | {r['dc_steps']:+.3f} |")
    lines.append("")
    notes = sorted({r["note"] for r in records if r["note"]})
    for note in notes:
        lines.append(f"\\* {note}.")
    if skipped:
        lines.append(f"Not available at {rate_hz} Hz (the tool falls back to another method): "
                     + ", ".join(skipped) + ".")
    lines.append("")
    return lines


def plot(path, stem, rate_hz, reference, records, variant_names):
    plotted = tuple(variant_names) + PLOTTED_METHODS
    best = max((r for r in records if r["method"] not in plotted), key=lambda r: r["468-wt SNR"])
    shown = [r for r in records if r["method"] in plotted] + [best]
    fig, ax = plt.subplots(figsize=(8, 4.5), dpi=80)
    f_hz, level_db = long_term_spectrum(reference, rate_hz)
    ax.semilogx(f_hz[1:], level_db[1:], color="0.6", linewidth=1.0, label="input")
    for r in shown:
        f_hz, level_db = long_term_spectrum(r["error"], rate_hz)
        ax.semilogx(f_hz[1:], level_db[1:], linewidth=1.0,
                    label=f"error, {r['method']} (468-wt SNR {r['468-wt SNR']:.1f} dB)")
    ax.set_xlim(20, rate_hz / 2)
    ax.set_xlabel("frequency (Hz)")
    ax.set_ylabel("power density (dB re full scale² / Hz)")
    ax.set_title(f"Long-term spectra: {stem}, {rate_hz} Hz, 16 bits to 8 bits")
    ax.grid(True, which="both", linewidth=0.3)
    ax.legend(fontsize=8, loc="lower left")
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def write_spectra_csv(path, rate_hz, reference, records):
    f_hz, input_db = long_term_spectrum(reference, rate_hz)
    columns = [input_db] + [long_term_spectrum(r["error"], rate_hz)[1] for r in records]
    with open(path, "w", newline="") as out:
        writer = csv.writer(out)
        writer.writerow(["frequency_hz", "input_db"] + [f"error_db {r['method']}" for r in records])
        for i, f in enumerate(f_hz):
            writer.writerow([f"{f:.2f}"] + [f"{c[i]:.2f}" for c in columns])


def summary_table(results):
    stems = [stem for stem, _ in results]
    methods = []
    for _, records in results:
        for r in records:
            if r["method"] not in methods:
                methods.append(r["method"])
    lines = ["### 468-weighted SNR in dB, every input", "",
             "| method | " + " | ".join(stems) + " |", "|---|" + "---:|" * len(stems)]
    for m in methods:
        cells = []
        for _, records in results:
            found = [r for r in records if r["method"] == m]
            cells.append(f"{found[0]['468-wt SNR']:.1f}" if found else "n/a")
        lines.append(f"| {m} | " + " | ".join(cells) + " |")
    return lines + [""]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("wav", nargs="*", help="more 16-bit mono WAV files to compare on")
    parser.add_argument("--build", default="build", help="build folder holding pcmtaper and make_example")
    parser.add_argument("--out", default=os.path.join("bench", "quality", "out"), help="output folder")
    parser.add_argument("--seconds", type=float, default=20.0, help="length of each example signal")
    parser.add_argument("--rate", type=int, default=44100, help="sample rate of the example signals, Hz")
    parser.add_argument("--kinds", default=",".join(EXAMPLE_KINDS),
                        help="example signals to make, comma-separated (empty: none)")
    parser.add_argument("--plot-input", default="music", help="input (file stem) whose plot is also saved as quality.png")
    parser.add_argument("--pcmtaper-variant", action="append", type=parse_variant, metavar="NAME=OPTIONS",
                        help="run pcmtaper with OPTIONS under NAME (repeatable; "
                             f"default: one variant, {DEFAULT_PCMTAPER_VARIANT!r}, no options)")
    args = parser.parse_args()
    if MISSING_PLOTTER is not None:
        sys.exit(f"compare_quality: {MISSING_PLOTTER}; install with {INSTALL_HINT}")
    variants = args.pcmtaper_variant or [parse_variant(DEFAULT_PCMTAPER_VARIANT)]
    names = [name for name, _ in variants]
    if len(set(names)) != len(names):
        parser.error("two pcmtaper variants have the same name")

    for tool in ("sox", "ffmpeg"):
        if shutil.which(tool) is None:
            sys.exit(f"compare_quality: {tool} not found; apt-get install -y sox ffmpeg")
    pcmtaper = os.path.abspath(os.path.join(args.build, "pcmtaper"))
    make_example = os.path.abspath(os.path.join(args.build, "make_example"))
    os.makedirs(os.path.join(args.out, "converted"), exist_ok=True)

    inputs = []
    for kind in filter(None, args.kinds.split(",")):
        path = os.path.join(args.out, f"{kind}.wav")
        subprocess.run([make_example, kind, str(args.rate), str(args.seconds), path], check=True)
        inputs.append(path)
    inputs += args.wav

    methods = all_methods(pcmtaper, variants)
    if set(names) & {m.name for m in methods[len(variants):]}:
        parser.error("a pcmtaper variant has the name of another method")
    report = ["# 8-bit conversion quality: pcmtaper, SoX, FFmpeg", "",
              "Gain: least-squares gain of the aligned output on the input. "
              "SNR: input power over the power of the error (aligned output - gain x input). A-wt and 468-wt: the same "
              "ratio with both weighted by the exact analog A and ITU-R 468 curves (RMS, 0 dB at 1 kHz), "
              "applied in the frequency domain up to half the rate. DC: mean error in 8-bit steps. "
              "Delay: samples by which the output trails the input, from cross-correlation. "
              f"Every method is measured over the same samples: all but the last {PCMTAPER_DELAY_SAMPLES}.",
              "",
              f"Tools: {subprocess.run(['sox', '--version'], capture_output=True, text=True).stdout.strip()}; "
              f"{subprocess.run(['ffmpeg', '-version'], capture_output=True, text=True).stdout.splitlines()[0]}.",
              ""]
    results = []
    for path in inputs:
        stem = os.path.splitext(os.path.basename(path))[0]
        print(f"converting {path} ...", flush=True)
        rate_hz, reference, records, skipped, length = measure(path, methods, os.path.join(args.out, "converted"))
        report += markdown_table(stem, rate_hz, length, records, skipped)
        png = os.path.join(args.out, f"quality_{stem}.png")
        plot(png, stem, rate_hz, reference, records, names)
        if stem == args.plot_input:
            shutil.copyfile(png, os.path.join(args.out, "quality.png"))
        write_spectra_csv(os.path.join(args.out, f"spectra_{stem}.csv"), rate_hz, reference, records)
        results.append((stem, records))
    report += summary_table(results)

    with open(os.path.join(args.out, "quality.md"), "w") as out:
        out.write("\n".join(report))
    print("\n".join(report))
    print(f"wrote {os.path.join(args.out, 'quality.md')} and the plots in {args.out}")


if __name__ == "__main__":
    main()
