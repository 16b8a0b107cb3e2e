#!/usr/bin/python3
"""Reference values for the page's measurements (web/analysis.mjs), computed
with numpy as bench/quality/compare_quality.py computes them.

Reads JSON from standard input: {"rate_hz", "delay", "x16": [16-bit samples],
"y8": [8-bit bytes], "nperseg"}; writes JSON: the aligned error's gain and
figures (SNR, A- and 468-weighted SNR over the first `measured` samples, DC)
and the Welch spectrum of x (as scipy.signal.welch with a Hann window,
written out in numpy, since scipy is not needed elsewhere).
"""
import json
import os
import sys

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "bench", "quality"))
import weighting  # noqa: E402

LOOKAHEAD_SAMPLES = 224

job = json.load(sys.stdin)
rate_hz = job["rate_hz"]
x = np.asarray(job["x16"], dtype=float) / 32768.0
y = (np.asarray(job["y8"], dtype=float) - 128.0) / 128.0
delay = job["delay"]

# compare_quality.measure, for one method whose delay is known.
y = y[delay:]
length = min(len(x) - LOOKAHEAD_SAMPLES, len(y))
reference = x[:length]
gain = float(np.dot(y[:length], reference) / np.dot(reference, reference))
error = y[:length] - gain * reference
measured = job["measured"]
result = {"length": length, "gain_db": 20 * np.log10(gain), "dc_steps": float(np.mean(error)) * 128.0}
for key, gain_of_hz in (("snr", weighting.flat_gain), ("snrA", weighting.a_weighting_gain),
                        ("snr468", weighting.itu468_weighting_gain)):
    result[key] = 10 * np.log10(weighting.weighted_power(reference[:measured], rate_hz, gain_of_hz)
                                / weighting.weighted_power(error[:measured], rate_hz, gain_of_hz))

# scipy.signal.welch(x, fs=rate_hz, window="hann", nperseg=n): half overlap,
# each segment less its mean, periodic Hann window, density, one-sided.
n = job["nperseg"]
window = 0.5 - 0.5 * np.cos(2 * np.pi * np.arange(n) / n)
step = n - n // 2
starts = range(0, len(x) - n + 1, step)
periodograms = [np.abs(np.fft.rfft((x[s:s + n] - np.mean(x[s:s + n])) * window)) ** 2 for s in starts]
density = np.mean(periodograms, axis=0) / (rate_hz * np.sum(window ** 2))
density[1:-1 if n % 2 == 0 else None] *= 2
result["welch_hz"] = np.fft.rfftfreq(n, 1.0 / rate_hz).tolist()
result["welch_density"] = density.tolist()
json.dump(result, sys.stdout)
