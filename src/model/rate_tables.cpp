// The per-bin tables that depend only on the sample rate: the threshold in
// quiet, the spreading decay between neighbouring bins, and the normalisation
// that makes a flat unit spectrum spread to 10^3.55 in every bin.
#include "internal/math_calls.h"
#include "model/model.h"

namespace pcmtaper {
namespace {

// Threshold in quiet in dB at the whole Bark values 0..26. The jump from 32 dB
// at Bark 24 to 86 dB at Bark 25 belongs to the table.
constexpr double quiet_db_at_bark[27] = {
    60, 46, 34, 28, 26, 23, 22, 21, 20, 20, 21, 22, 21, 19,
    17, 16, 14, 15, 16, 19, 24, 30, 34, 35, 32, 86, 84,
};

constexpr double bin_centre_offset = 0.4;    // bin frequency sits 0.4 of a bin above i*sr/256
constexpr double bark_atan_scale = 0.00076;  // 1/Hz, first term of the Bark formula
constexpr double bark_low_weight = 13.0;     // Bark
constexpr double bark_high_weight = 3.5;     // Bark
constexpr double decay_per_bark_base = 0.316;
constexpr double decay_exponent_scale = 1.2;
constexpr double spread_target_exponent = 3.55;  // flat unit spectrum spreads to 10^3.55

// The squared ratio f/7500 Hz and the exponent of ten of a level (0.05 per
// dB) are formed with a 64-bit significand (1/7500 and 0.05 held so too),
// each rounded to a double where it is passed on.
double bark_of_hz(double f_hz, const rate_table_math& math) {
    return bark_low_weight * math.atan_fn(bark_atan_scale * f_hz) +
           bark_high_weight * math.atan_fn(xmath::bark_ratio_squared(f_hz));
}

// Linear interpolation of the table between the whole Bark values around z.
// z lies in 0 .. 25.92 for every rate >= 0, so the index stays within 0..25.
double quiet_db_of_bark(double z) {
    const int whole = static_cast<int>(z);
    const double frac = z - whole;
    return quiet_db_at_bark[whole] + (quiet_db_at_bark[whole + 1] - quiet_db_at_bark[whole]) * frac;
}

double amplitude_of_db(double db, const rate_table_math& math) {
    return math.pow_fn(10.0, xmath::decade_exponent_of_db(db));
}

double spread_target(const rate_table_math& math) { return math.pow_fn(10.0, spread_target_exponent); }

}  // namespace

void fill_rate_tables(rate_tables* rates, double sample_rate_hz) {
    fill_rate_tables_with(rates, sample_rate_hz, {math_atan, math_pow});
}

void fill_rate_tables_with(rate_tables* rates, double sample_rate_hz, const rate_table_math& math) {
    const double bin_width_hz = sample_rate_hz / analysis_len;
    double f_hz = bin_centre_offset * sample_rate_hz * (1.0 / analysis_len);
    double z = bark_of_hz(f_hz, math);
    for (int i = 0; i < bin_count; ++i) {
        const double db = quiet_db_of_bark(z);
        f_hz = f_hz + bin_width_hz;
        const double z_next = bark_of_hz(f_hz, math);  // for i = 127, a bin 128 that is not analysed
        rates->quiet[i] = amplitude_of_db(db, math);
        rates->spread_decay[i] = math.pow_fn(decay_per_bark_base, decay_exponent_scale * (z_next - z));
        z = z_next;
    }

    // The spreading recursions of the block analysis, run on a spectrum of 1.0
    // in every bin: upward with the decay once per bin, downward with it twice.
    double acc = 0.0;
    for (int i = 0; i < bin_count; ++i) {
        acc = acc + 1.0;
        rates->spread_norm[i] = acc;
        acc = acc * rates->spread_decay[i];
    }
    acc = 0.0;
    for (int i = bin_count - 1; i >= 0; --i) {
        acc = rates->spread_norm[i] + acc;
        rates->spread_norm[i] = acc;
        acc = acc * rates->spread_decay[i];
        acc = acc * rates->spread_decay[i];
    }

    const double target = spread_target(math);
    for (int i = 0; i < bin_count; ++i) rates->spread_norm[i] = target / rates->spread_norm[i];
}

}  // namespace pcmtaper
