#include "signals.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double two_pi = 6.283185307179586;
constexpr double full_scale = 32767.0;

// Small deterministic generator (same sequence on every platform).
struct noise_source {
    std::uint64_t state;
    double next() {  // uniform in [-1, 1)
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<double>(state >> 11) * (2.0 / 9007199254740992.0) - 1.0;
    }
};

std::int16_t to_sample(double x) {
    const double scaled = std::round(x * full_scale);
    return static_cast<std::int16_t>(std::clamp(scaled, -32768.0, 32767.0));
}

double fade(double t, double seconds, double ramp) {
    return std::min({1.0, t / ramp, (seconds - t) / ramp});
}

void tone(std::vector<double>& x, double rate, double seconds) {
    for (std::size_t n = 0; n < x.size(); ++n) {
        const double t = n / rate;
        x[n] = 0.25 * std::sin(two_pi * 1000.0 * t) * fade(t, seconds, 0.05);
    }
}

void chirp(std::vector<double>& x, double rate, double seconds) {
    const double f0 = 50.0, f1 = 0.45 * rate, k = std::log(f1 / f0) / seconds;
    for (std::size_t n = 0; n < x.size(); ++n) {
        const double t = n / rate;
        x[n] = 0.5 * std::sin(two_pi * f0 * (std::exp(k * t) - 1.0) / k) * fade(t, seconds, 0.01);
    }
}

void white_noise(std::vector<double>& x, noise_source& rng) {
    for (double& v : x) v = 0.1 * rng.next();
}

// Syllables of a voiced buzz (pitch 110-180 Hz, formant-like harmonics) and
// short hisses, with pauses: the kind of signal that shows noise in the gaps.
void bursts(std::vector<double>& x, double rate, noise_source& rng) {
    double phase = 0.0, hiss_lp = 0.0;
    std::size_t n = 0;
    while (n < x.size()) {
        const std::size_t voiced = static_cast<std::size_t>(rate * (0.12 + 0.1 * (rng.next() + 1)));
        const std::size_t hiss = static_cast<std::size_t>(rate * 0.05 * (rng.next() + 1));
        const std::size_t pause = static_cast<std::size_t>(rate * (0.04 + 0.08 * (rng.next() + 1)));
        const double pitch = 145.0 + 35.0 * rng.next();
        const double formant = 500.0 + 400.0 * (rng.next() + 1);
        for (std::size_t i = 0; i < voiced && n < x.size(); ++i, ++n) {
            const double env = std::sin(3.141592653589793 * i / voiced);
            phase += two_pi * pitch * (1.0 + 0.05 * std::sin(two_pi * 3.0 * i / rate)) / rate;
            double v = 0.0;
            for (int h = 1; h * pitch < 0.45 * rate && h <= 30; ++h) {
                const double f = h * pitch;
                const double gain = 1.0 / (1.0 + std::pow((f - formant) / 300.0, 2)) + 0.3 / h;
                v += gain * std::sin(h * phase);
            }
            x[n] = 0.12 * env * v;
        }
        for (std::size_t i = 0; i < hiss && n < x.size(); ++i, ++n) {
            const double white = rng.next();
            hiss_lp = 0.5 * hiss_lp + 0.5 * white;
            x[n] = 0.08 * std::sin(3.141592653589793 * i / hiss) * (white - hiss_lp);
        }
        for (std::size_t i = 0; i < pause && n < x.size(); ++i, ++n) x[n] = 0.0005 * rng.next();
    }
}

// Plucked notes with harmonics over a quiet pad, and a soft passage every few
// seconds: loud and very quiet material alternate, as in real music.
void music(std::vector<double>& x, double rate, noise_source& rng) {
    static const double scale_hz[] = {130.81, 146.83, 164.81, 196.00, 220.00,
                                      261.63, 293.66, 329.63, 392.00, 440.00};
    const std::size_t note_len = static_cast<std::size_t>(rate * 0.25);
    double pad_phase = 0.0;
    for (std::size_t start = 0; start < x.size(); start += note_len) {
        const double f = scale_hz[static_cast<int>((rng.next() + 1) * 5) % 10] * (rng.next() > 0.3 ? 2 : 1);
        const double velocity = 0.1 + 0.15 * (rng.next() + 1);
        for (std::size_t i = 0; i < note_len * 3 && start + i < x.size(); ++i) {
            const double t = i / rate;
            double v = 0.0;
            for (int h = 1; h <= 8 && h * f < 0.45 * rate; ++h)
                v += std::sin(two_pi * h * f * t) * std::exp(-t * (2.0 + 1.5 * h)) / h;
            x[start + i] += velocity * v;
        }
    }
    for (std::size_t n = 0; n < x.size(); ++n) {
        const double t = n / rate;
        pad_phase += two_pi * 110.0 / rate;
        const double passage = 0.5 + 0.5 * std::cos(two_pi * t / 8.0);  // loud, then soft
        x[n] = x[n] * (0.02 + 0.98 * passage) + 0.01 * std::sin(pad_phase) * std::sin(pad_phase * 1.5);
    }
}

}  // namespace

bool parse_example_kind(const std::string& name, example_kind* kind) {
    static const std::pair<const char*, example_kind> names[] = {
        {"tone", example_kind::tone},     {"chirp", example_kind::chirp}, {"noise", example_kind::noise},
        {"bursts", example_kind::bursts}, {"music", example_kind::music}};
    for (const auto& [text, value] : names)
        if (name == text) {
            *kind = value;
            return true;
        }
    return false;
}

std::vector<std::int16_t> make_example_signal(example_kind kind, std::uint32_t rate_hz, double seconds) {
    const double rate = rate_hz;
    std::vector<double> x(static_cast<std::size_t>(seconds * rate), 0.0);
    noise_source rng{0x5EED0000u + static_cast<std::uint64_t>(kind)};
    switch (kind) {
        case example_kind::tone: tone(x, rate, seconds); break;
        case example_kind::chirp: chirp(x, rate, seconds); break;
        case example_kind::noise: white_noise(x, rng); break;
        case example_kind::bursts: bursts(x, rate, rng); break;
        case example_kind::music: music(x, rate, rng); break;
    }
    std::vector<std::int16_t> samples(x.size());
    std::transform(x.begin(), x.end(), samples.begin(), to_sample);
    return samples;
}

std::string mono16_wav_bytes(std::uint32_t rate_hz, const std::vector<std::int16_t>& samples) {
    auto u16 = [](std::uint32_t v) { return std::string{char(v & 0xFF), char((v >> 8) & 0xFF)}; };
    auto u32 = [&](std::uint32_t v) { return u16(v & 0xFFFF) + u16(v >> 16); };
    const auto data_size = static_cast<std::uint32_t>(samples.size() * 2);
    std::string file = "RIFF" + u32(36 + data_size) + "WAVEfmt " + u32(16) + u16(1) + u16(1) +
                       u32(rate_hz) + u32(rate_hz * 2) + u16(2) + u16(16) + "data" + u32(data_size);
    for (std::int16_t s : samples) file += u16(static_cast<std::uint16_t>(s));
    return file;
}
