// The resampler over a table of rate pairs: its plan (exact phases where the
// ratio allows), a tone's level and phase in the passband, the residue of a
// tone in the stopband, DC, output lengths, splits, equal rates, and every
// kernel level against the reference bit for bit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <numbers>
#include <random>
#include <vector>

#include "resample/resampler.h"

namespace {

using namespace pcmtaper;

struct rate_pair {
    std::int64_t in_hz, out_hz;
    bool exact;
    std::int64_t up, down;  // the polyphase stage's ratio after the halvings
};

const rate_pair pairs[] = {
    {44100, 8000, true, 320, 441},   {44100, 11025, true, 1, 2},  {48000, 11025, true, 147, 320},
    {48000, 22050, true, 147, 320},  {8000, 22050, true, 441, 160}, {44101, 8000, false, 32000, 44101},
};

std::vector<double> convert(const rate_pair& p, const std::vector<double>& in,
                            const kernel_table& kernels = select_kernels(kernel_level::reference)) {
    auto r = resampler::create({p.in_hz, p.out_hz}, kernels);
    std::vector<double> out;
    r->process(in.data(), in.size(), &out);
    r->flush(&out);
    return out;
}

std::vector<double> tone(double hz, double rate_hz, std::size_t count) {
    std::vector<double> x(count);
    for (std::size_t n = 0; n < count; ++n) x[n] = 0.5 * std::sin(2.0 * std::numbers::pi * hz * n / rate_hz);
    return x;
}

// Least-squares fit of 0.5 * gain * sin(w k + phase) to y[from..to): gain,
// phase and the RMS of what is left, relative to the tone's 0.5 / sqrt(2).
struct fit {
    double gain, phase, residue;
};
fit fit_tone(const std::vector<double>& y, double hz, double rate_hz, std::size_t from, std::size_t to) {
    double ss = 0, sc = 0, cc = 0, ys = 0, yc = 0;
    for (std::size_t k = from; k < to; ++k) {
        const double s = std::sin(2.0 * std::numbers::pi * hz * k / rate_hz), c = std::cos(2.0 * std::numbers::pi * hz * k / rate_hz);
        ss += s * s, sc += s * c, cc += c * c, ys += y[k] * s, yc += y[k] * c;
    }
    const double det = ss * cc - sc * sc, a = (ys * cc - yc * sc) / det, b = (yc * ss - ys * sc) / det;
    double rest = 0;
    for (std::size_t k = from; k < to; ++k) {
        const double e = y[k] - a * std::sin(2.0 * std::numbers::pi * hz * k / rate_hz) - b * std::cos(2.0 * std::numbers::pi * hz * k / rate_hz);
        rest += e * e;
    }
    return {std::hypot(a, b) / 0.5, std::atan2(b, a), std::sqrt(rest / (to - from)) / (0.5 / std::sqrt(2.0))};
}

double db(double ratio) { return 20.0 * std::log10(ratio); }

class Resampler : public testing::TestWithParam<rate_pair> {};

TEST_P(Resampler, PlansExactPhasesWhereTheRatioAllows) {
    const resampler_plan plan = plan_resampler({GetParam().in_hz, GetParam().out_hz});
    EXPECT_EQ(plan.exact_phases, GetParam().exact);
    EXPECT_EQ(plan.up, GetParam().up);
    EXPECT_EQ(plan.down, GetParam().down);
}

// Passband tones keep their level within 0.01 dB and their phase (output k
// at input time k * in / out), with images and aliases 120 dB down; tones
// from the lower Nyquist frequency on leave 120 dB less; DC passes at 1.
TEST_P(Resampler, PassesThePassbandAndStopsTheStopband) {
    const rate_pair p = GetParam();
    const double in = p.in_hz, out = p.out_hz, nyquist = std::min(in, out) / 2;
    const auto n = static_cast<std::size_t>(in);  // a second, of which the middle is measured
    const auto edge = static_cast<std::size_t>(resampler::create({p.in_hz, p.out_hz})->latency() + 100);
    for (const double hz : {1000.0, 0.5 * nyquist, 0.95 * nyquist}) {
        const std::vector<double> y = convert(p, tone(hz, in, n));
        const fit f = fit_tone(y, hz, out, edge, y.size() - edge);
        EXPECT_LT(std::abs(db(f.gain)), 0.01) << hz << " Hz";
        EXPECT_LT(std::abs(f.phase), 1e-6) << hz << " Hz";
        EXPECT_LT(db(f.residue), -120.0) << hz << " Hz";
    }
    for (const double hz : {nyquist, 1.01 * nyquist, 0.99 * in / 2}) {
        if (out > in) break;  // upsampling: no stopband in the input (its images are the residue above)
        const std::vector<double> y = convert(p, tone(hz, in, n));
        double power = 0;
        for (std::size_t k = edge; k + edge < y.size(); ++k) power += y[k] * y[k];
        EXPECT_LT(db(std::sqrt(power / (y.size() - 2 * edge)) / (0.5 / std::sqrt(2.0))), -120.0) << hz << " Hz";
    }
    const std::vector<double> y = convert(p, std::vector<double>(n, 0.25));
    for (std::size_t k = edge; k + edge < y.size(); ++k) ASSERT_NEAR(y[k], 0.25, 0.25e-12) << k;
}

// round(N * out / in) samples for any N, shorter than the filter too; the
// flush gives no more than the latency; any split gives the same bits, and a
// flushed resampler starts the next stream afresh.
TEST_P(Resampler, GivesTheSameSamplesForAnySplitAndRoundedLengths) {
    const rate_pair p = GetParam();
    std::mt19937_64 rng(7);
    std::vector<double> x(30011);
    for (double& v : x) v = std::uniform_real_distribution<double>(-0.5, 0.5)(rng);
    const std::vector<double> whole = convert(p, x);
    auto r = resampler::create({p.in_hz, p.out_hz}, select_kernels(kernel_level::reference));
    for (int round = 0; round < 2; ++round) {
        std::vector<double> pieces;
        for (std::size_t at = 0; at < x.size();) {
            const std::size_t n = std::min<std::size_t>(rng() % (round == 0 ? 7 : 5000), x.size() - at);
            r->process(x.data() + at, n, &pieces);
            at += n;
        }
        const std::size_t before_flush = pieces.size();
        r->flush(&pieces);
        EXPECT_LE(static_cast<std::int64_t>(pieces.size() - before_flush), r->latency());
        ASSERT_EQ(pieces.size(), whole.size());
        EXPECT_EQ(std::memcmp(pieces.data(), whole.data(), whole.size() * sizeof(double)), 0);
    }
    for (const std::size_t n : {0, 1, 2, 5, 100, 1234, 30011}) {
        const std::size_t expected = static_cast<std::size_t>(std::floor(n * double(p.out_hz) / p.in_hz + 0.5));
        const std::vector<double> y = convert(p, std::vector<double>(x.begin(), x.begin() + n));
        EXPECT_EQ(y.size(), expected) << n << " samples in";
    }
}

// Every level the machine has gives the reference's bits: the inner product
// on random data of every length, the fast convolution's step of every size
// to 512, and a whole conversion.
TEST_P(Resampler, EveryKernelLevelGivesTheReferenceBits) {
    const rate_pair p = GetParam();
    std::mt19937_64 rng(11);
    std::vector<double> coefs(1024), samples(1024 + 7), x(20000);  // samples from offsets 0..6 on
    for (double& v : coefs) v = std::ldexp(std::uniform_real_distribution<double>(-1, 1)(rng), int(rng() % 40) - 20);
    for (double& v : samples) v = std::uniform_real_distribution<double>(-1, 1)(rng);
    for (double& v : x) v = std::uniform_real_distribution<double>(-0.5, 0.5)(rng);
    const std::vector<double> reference = convert(p, x);
    for (const kernel_level_name& level : kernel_level_names) {
        if (!machine_has(level.level)) continue;
        const kernel_table k = select_kernels(level.level);
        for (int taps = resample_partial_sums; taps <= 1024; taps += resample_partial_sums) {
            const double a = k.resample_dot(coefs.data(), samples.data() + taps % 7, taps);
            const double b = resample_dot_reference(coefs.data(), samples.data() + taps % 7, taps);
            ASSERT_EQ(std::memcmp(&a, &b, sizeof a), 0) << level.name << ", " << taps << " taps";
        }
        for (int size = 8; size <= 512; size *= 2) {  // the convolution, on any numbers as twiddles and gains
            std::vector<double> re(samples.begin(), samples.begin() + size), im(coefs.begin(), coefs.begin() + size);
            std::vector<double> ref_re = re, ref_im = im;
            k.resample_convolve(re.data(), im.data(), samples.data() + 5, coefs.data() + 1, samples.data() + 2, size);
            resample_convolve_reference(ref_re.data(), ref_im.data(), samples.data() + 5, coefs.data() + 1,
                                        samples.data() + 2, size);
            ASSERT_EQ(std::memcmp(re.data(), ref_re.data(), size * sizeof(double)), 0) << level.name << ", " << size;
            ASSERT_EQ(std::memcmp(im.data(), ref_im.data(), size * sizeof(double)), 0) << level.name << ", " << size;
        }
        const std::vector<double> y = convert(p, x, k);
        ASSERT_EQ(y.size(), reference.size());
        EXPECT_EQ(std::memcmp(y.data(), reference.data(), y.size() * sizeof(double)), 0) << level.name;
    }
}

INSTANTIATE_TEST_SUITE_P(RatePairs, Resampler, testing::ValuesIn(pairs), [](const auto& info) {
    return std::to_string(info.param.in_hz) + "to" + std::to_string(info.param.out_hz);
});

TEST(ResamplerRates, EqualRatesPassTheSamplesAndOutOfRangeRatesAreRefused) {
    const std::vector<double> x = {0.25, -0.5, 1e-300, -0.0, 0.125};
    auto r = resampler::create({44100, 44100});
    std::vector<double> y;
    r->process(x.data(), x.size(), &y);
    r->flush(&y);
    ASSERT_EQ(y.size(), x.size());
    EXPECT_EQ(std::memcmp(y.data(), x.data(), x.size() * sizeof(double)), 0);
    EXPECT_EQ(r->latency(), 0);
    for (const resampler_config bad : {resampler_config{0, 8000}, resampler_config{2147483648, 8000},
                                       resampler_config{8000, 999}, resampler_config{8000, 384001}})
        EXPECT_EQ(resampler::create(bad), nullptr) << bad.in_rate_hz << " to " << bad.out_rate_hz;
    // The extremes: few taps per output whatever the ratio, and a short stream ends.
    for (const resampler_config edge : {resampler_config{2147483647, 1000}, resampler_config{1, 1000}}) {
        EXPECT_LT(plan_resampler(edge).macs_per_output * std::min(1.0, double(edge.out_rate_hz) / edge.in_rate_hz), 800.0);
        auto e = resampler::create(edge);
        std::vector<double> out;
        e->process(x.data(), x.size(), &out);
        e->flush(&out);
        EXPECT_EQ(out.size(), edge.in_rate_hz == 1 ? 5000u : 0u);
    }
}

}  // namespace
