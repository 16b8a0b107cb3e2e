"""Checks the quality benchmark's weighting curves against their published gains.

Run by CTest; exits with 77 (reported as skipped) when numpy is not installed
(Debian: apt-get install python3-numpy). Exits 1 on the first wrong gain.
"""
import os
import sys

try:
    import numpy as np
except ImportError:
    print("numpy is not installed (apt-get install python3-numpy): skipped")
    sys.exit(77)

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import weighting  # noqa: E402

# (frequency in Hz, published gain in dB, allowed difference in dB)
# A curve: IEC 61672-1 table at base-10 frequencies, given to 0.1 dB.
A_PUBLISHED_DB = [
    (10.0, -70.4, 0.06), (100.0, -19.1, 0.06), (1000.0, 0.0, 0.01),
    (10000.0, -2.5, 0.06), (1000.0 * 10 ** 1.3, -9.3, 0.06),
]
# ITU-R BS.468 table at its nominal frequencies, given to 0.1 dB.
ITU468_PUBLISHED_DB = [
    (31.5, -29.9, 0.06), (100.0, -19.8, 0.06), (1000.0, 0.0, 0.01), (2000.0, 5.6, 0.06),
    (6300.0, 12.2, 0.06), (10000.0, 8.1, 0.06), (12500.0, 0.0, 0.06), (20000.0, -22.2, 0.06),
]

failures = []


def check(name, gain_of_hz, table):
    for f_hz, published_db, tolerance_db in table:
        got_db = float(weighting.gain_db(gain_of_hz(f_hz)))
        if abs(got_db - published_db) > tolerance_db:
            failures.append(f"{name} at {f_hz:.1f} Hz: {got_db:+.2f} dB, published {published_db:+.1f} dB")


check("A", weighting.a_weighting_gain, A_PUBLISHED_DB)
check("468", weighting.itu468_weighting_gain, ITU468_PUBLISHED_DB)

# The weighting must reach the right frequency bins: a sine's weighted power is
# its plain power times the curve's power gain at the sine's frequency, also
# close to half the sample rate, where a bilinear-transformed filter would fall off.
rate_hz = 48000
t = np.arange(48000) / rate_hz
for f_hz in (1000.0, 6300.0, 20000.0, 23000.0):
    sine = 0.5 * np.sin(2 * np.pi * f_hz * t)
    # Unweighted, the power is the mean square (Parseval), with a DC offset and an odd length too.
    for probe in (sine, sine[:-1] + 0.125):
        unweighted = weighting.weighted_power(probe, rate_hz, weighting.flat_gain)
        if abs(unweighted - np.mean(probe ** 2)) > 1e-12:
            failures.append(f"unweighted power of a {f_hz:.0f} Hz sine, {len(probe)} samples: "
                            f"{unweighted}, mean square {np.mean(probe ** 2)}")
    plain = weighting.weighted_power(sine, rate_hz, weighting.flat_gain)
    for name, gain_of_hz in (("A", weighting.a_weighting_gain), ("468", weighting.itu468_weighting_gain)):
        ratio_db = 10 * np.log10(weighting.weighted_power(sine, rate_hz, gain_of_hz) / plain)
        expected_db = float(weighting.gain_db(gain_of_hz(f_hz)))
        if abs(ratio_db - expected_db) > 0.01:
            failures.append(f"{name}-weighted {f_hz:.0f} Hz sine: {ratio_db:+.2f} dB, curve {expected_db:+.2f} dB")

for line in failures:
    print(line)
print("weighting curves:", "FAILED" if failures else "match the published gains")
sys.exit(1 if failures else 0)
