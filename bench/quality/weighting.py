"""Frequency weightings for noise measurements, as exact analog curves.

Both curves are evaluated at the frequencies of a discrete spectrum and
applied there, bin by bin, up to half the sample rate. A digital filter made
from the analog poles by the bilinear transform would bend the curve near
half the sample rate and under-count exactly the noise that a noise shaper
pushes up there; applying the analog gains in the frequency domain does not.

Needs numpy (Debian: apt-get install python3-numpy).
"""
import numpy as np

# Pole frequencies of the A curve, in Hz (IEC 61672-1).
_A_POLES_HZ = (20.598997, 107.65265, 737.86223, 12194.217)


def _a_response(f_hz):
    f1, f2, f3, f4 = _A_POLES_HZ
    f2_hz2 = np.asarray(f_hz, dtype=float) ** 2
    return (f4 ** 2 * f2_hz2 ** 2) / (
        (f2_hz2 + f1 ** 2)
        * np.sqrt((f2_hz2 + f2 ** 2) * (f2_hz2 + f3 ** 2))
        * (f2_hz2 + f4 ** 2))


def a_weighting_gain(f_hz):
    """Amplitude gain of the A curve at f_hz, 1.0 at 1 kHz; 0.0 at 0 Hz."""
    return _a_response(f_hz) / _a_response(1000.0)


def _itu468_response(f_hz):
    f = np.asarray(f_hz, dtype=float)
    h1 = (-4.737338981378384e-24 * f ** 6 + 2.043828333606125e-15 * f ** 4
          - 1.363894795463638e-7 * f ** 2 + 1.0)
    h2 = 1.306612257412824e-19 * f ** 5 - 2.118150887518656e-11 * f ** 3 + 5.559488023498642e-4 * f
    return 1.246332637532143e-4 * f / np.sqrt(h1 ** 2 + h2 ** 2)


def itu468_weighting_gain(f_hz):
    """Amplitude gain of the ITU-R BS.468 curve at f_hz, 1.0 at 1 kHz (+12.2 dB at 6.3 kHz)."""
    return _itu468_response(f_hz) / _itu468_response(1000.0)


def flat_gain(f_hz):
    """No weighting: gain 1.0 at every frequency."""
    return np.ones_like(np.asarray(f_hz, dtype=float))


def gain_db(gain):
    with np.errstate(divide="ignore"):
        return 20.0 * np.log10(gain)


def weighted_power(samples, rate_hz, gain_of_hz):
    """Mean power of `samples` after weighting each frequency by gain_of_hz(f).

    The weighting is applied to the discrete Fourier transform of the whole
    signal, so by Parseval's theorem an all-ones gain gives exactly the mean
    square of the samples.
    """
    x = np.asarray(samples, dtype=float)
    n = len(x)
    spectrum = np.fft.rfft(x)
    f_hz = np.fft.rfftfreq(n, d=1.0 / rate_hz)
    bin_power = np.abs(spectrum * gain_of_hz(f_hz)) ** 2
    # Bins other than 0 and (for an even length) n/2 stand for two bins of the full transform.
    bin_count = np.full(len(bin_power), 2.0)
    bin_count[0] = 1.0
    if n % 2 == 0:
        bin_count[-1] = 1.0
    return float(np.sum(bin_power * bin_count)) / (n * n)
