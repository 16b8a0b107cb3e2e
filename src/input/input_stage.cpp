#include "input/input_stage.h"

#include "internal/copy_bits.h"
#include <cmath>
#include <cstdint>
#include <limits>

#include "input/float_mean.h"
#include "internal/math_calls.h"

namespace pcmtaper {

namespace {

// Bytes are assembled one at a time: no unaligned load, whatever the host's
// byte order.
std::uint32_t load16(const unsigned char* p) { return p[0] | std::uint32_t{p[1]} << 8; }
std::uint32_t load24(const unsigned char* p) { return load16(p) | std::uint32_t{p[2]} << 16; }
std::uint32_t load32(const unsigned char* p) { return load24(p) | std::uint32_t{p[3]} << 24; }
std::uint64_t load64(const unsigned char* p) { return load32(p) | std::uint64_t{load32(p + 4)} << 32; }

// An integer container read as s, the sample being s / 2^bits: its padding
// (the bits below the valid ones) cleared, the sign extended.
struct u8_codec {
    static constexpr int bits = 8;
    static std::int32_t integer(const unsigned char* p, std::uint32_t keep) {
        return static_cast<std::int32_t>(p[0] & keep) - 128;
    }
};
struct s16_codec {
    static constexpr int bits = 16;
    static std::int32_t integer(const unsigned char* p, std::uint32_t keep) {
        return static_cast<std::int16_t>(static_cast<std::uint16_t>(load16(p) & keep));
    }
};
struct s24_codec {
    static constexpr int bits = 24;
    static std::int32_t integer(const unsigned char* p, std::uint32_t keep) {
        return static_cast<std::int32_t>((load24(p) & keep) << 8) >> 8;
    }
};
struct s32_codec {
    static constexpr int bits = 32;
    static std::int32_t integer(const unsigned char* p, std::uint32_t keep) {
        return static_cast<std::int32_t>(load32(p) & keep);
    }
};
struct f32_codec {
    static constexpr int bits = 32;
    static double value(const unsigned char* p) { return copy_bits<float>(load32(p)); }
};
struct f64_codec {
    static constexpr int bits = 64;
    static double value(const unsigned char* p) { return copy_bits<double>(load64(p)); }
};

// 2^-bits, exact.
template <class Codec>
constexpr double unit_of() {
    return 1.0 / static_cast<double>(std::uint64_t{1} << Codec::bits);
}

// A channel's float value with nothing undefined left: a NaN is silence, an
// infinity full scale (a float's full scale is 1) and remembered, since it
// has no mean with the other channels nor any product with the gain.
double finite_or_full_scale(double f, bool* infinite) {
    if (std::isnan(f)) return 0.0;
    if (std::isinf(f)) {
        *infinite = true;
        return f > 0 ? 1.0 : -1.0;
    }
    return f;
}

struct clip_tally {
    std::uint64_t clipped = 0;
    double peak = 0.0;
};

void add_tally(const clip_tally& tally, input_statistics* stats) {
    stats->clipped_samples += tally.clipped;
    if (tally.peak > stats->peak) stats->peak = tally.peak;
}

// The last step of every frame: y (after the gain) clipped to full scale,
// counted, and its magnitude kept for the peak. Finite overs are clipped here,
// after the mix and the gain, not per channel at decode: a float file's
// headroom above full scale is its content, so two channels' overs that
// cancel in the mix are kept, and a negative gain (what the clipping remark
// suggests) brings the overs back without loss. The mean of channels within
// full scale stays within it, so mixing alone never clips. Only infinities
// are set to full scale at decode, where they would otherwise make the mean
// or the product undefined.
inline double clip_to_full_scale(double y, bool from_infinity, clip_tally* tally) {
    const double magnitude = from_infinity ? std::numeric_limits<double>::infinity() : std::fabs(y);
    if (magnitude > tally->peak) tally->peak = magnitude;
    if (magnitude > full_scale) ++tally->clipped;
    return std::fabs(y) > full_scale ? std::copysign(full_scale, y) : y;
}

// Integers: a sample s is s * 2^-bits, a product by a power of two, exact.
template <class Codec>
void pick_integers(const unsigned char* in, std::size_t frames, std::size_t stride, std::uint32_t keep,
                   double* out) {
    constexpr double unit = unit_of<Codec>();
    for (std::size_t f = 0; f < frames; ++f) out[f] = Codec::integer(in + f * stride, keep) * unit;
}

// The mean of integers, rounded once: up to 64 samples of at most 2^31 in
// magnitude sum below 2^37, exactly in an int64 and in a double (53 bits);
// the divisor channels * 2^bits is at most 2^38, also a double. So
// sum / divisor is one IEEE division of exact operands: the exact mean
// rounded once (a normal number: no underflow). With a power-of-two channel
// count the divisor is a power of two, the quotient exact, and a product by
// its reciprocal (exact too) gives the same bits, faster.
template <class Codec>
void mix_integers(const unsigned char* in, std::size_t frames, std::size_t stride, int channels,
                  std::uint32_t keep, double* out) {
    constexpr std::size_t bytes = Codec::bits / 8;
    const double divisor = static_cast<double>(channels) / unit_of<Codec>();
    auto sum_of = [&](std::size_t f) {
        const unsigned char* p = in + f * stride;
        std::int64_t sum = 0;
        for (int c = 0; c < channels; ++c) sum += Codec::integer(p + c * bytes, keep);
        return static_cast<double>(sum);
    };
    if ((channels & (channels - 1)) == 0) {
        const double reciprocal = 1.0 / divisor;
        for (std::size_t f = 0; f < frames; ++f) out[f] = sum_of(f) * reciprocal;
    } else {
        for (std::size_t f = 0; f < frames; ++f) out[f] = sum_of(f) / divisor;
    }
}

// The gain and the clip of integer samples, after their decoding: one
// rounding per sample (x * 1.0 at 0 dB is exact).
void gain_and_clip(double* samples, std::size_t frames, double gain_factor, clip_tally* tally) {
    for (std::size_t f = 0; f < frames; ++f) samples[f] = clip_to_full_scale(samples[f] * gain_factor, false, tally);
}

// Floats: f / 2 is f * 0.5, rounded once (exact but for a binary64
// subnormal); then the gain, rounded once, and the clip.
template <class Codec>
void pick_floats(const unsigned char* in, std::size_t frames, std::size_t stride, double gain_factor, double* out,
                 clip_tally* tally) {
    for (std::size_t f = 0; f < frames; ++f) {
        bool infinite = false;
        const double x = finite_or_full_scale(Codec::value(in + f * stride), &infinite) * 0.5;
        out[f] = clip_to_full_scale(x * gain_factor, infinite, tally);
    }
}

template <class Codec>
void mix_floats(const unsigned char* in, std::size_t frames, std::size_t stride, int channels, double gain_factor,
                double* out, clip_tally* tally) {
    constexpr std::size_t bytes = Codec::bits / 8;
    double values[max_input_channels];
    for (std::size_t f = 0; f < frames; ++f) {
        const unsigned char* p = in + f * stride;
        bool infinite = false;
        for (int c = 0; c < channels; ++c) values[c] = finite_or_full_scale(Codec::value(p + c * bytes), &infinite);
        out[f] = clip_to_full_scale(float_frame_mean(values, channels) * gain_factor, infinite, tally);
    }
}

template <class Codec>
void convert_integers(const input_stage& stage, const unsigned char* bytes, std::size_t frames, double* samples,
                      clip_tally* tally) {
    const input_settings& s = stage.settings;
    if (s.channel == mix_all_channels && s.format.channels > 1) {
        mix_integers<Codec>(bytes, frames, stage.frame_bytes, s.format.channels, stage.keep_mask, samples);
    } else {
        const int channel = s.channel == mix_all_channels ? 0 : s.channel - 1;
        pick_integers<Codec>(bytes + channel * (Codec::bits / 8), frames, stage.frame_bytes, stage.keep_mask,
                             samples);
    }
    gain_and_clip(samples, frames, stage.gain_factor, tally);
}

template <class Codec>
void convert_floats(const input_stage& stage, const unsigned char* bytes, std::size_t frames, double* samples,
                    clip_tally* tally) {
    const input_settings& s = stage.settings;
    if (s.channel == mix_all_channels && s.format.channels > 1) {
        mix_floats<Codec>(bytes, frames, stage.frame_bytes, s.format.channels, stage.gain_factor, samples, tally);
    } else {
        const int channel = s.channel == mix_all_channels ? 0 : s.channel - 1;
        pick_floats<Codec>(bytes + channel * (Codec::bits / 8), frames, stage.frame_bytes, stage.gain_factor,
                           samples, tally);
    }
}

}  // namespace

int container_bytes(sample_type type) {
    switch (type) {
        case sample_type::u8: return 1;
        case sample_type::s16: return 2;
        case sample_type::s24: return 3;
        case sample_type::s32: return 4;
        case sample_type::f32: return 4;
        case sample_type::f64: return 8;
    }
    return 0;
}

double gain_factor_of_db(double gain_db) { return math_pow(10.0, gain_db / 20.0); }

input_setup_status prepare_input_stage(const input_settings& settings, input_stage* stage) {
    const input_format& format = settings.format;
    const int type_index = static_cast<int>(format.type);
    if (type_index < 0 || type_index >= sample_type_count) return input_setup_status::bad_sample_type;
    const int container_bits = 8 * container_bytes(format.type);
    const int valid_bits = format.valid_bits == 0 ? container_bits : format.valid_bits;
    if (valid_bits < 1 || valid_bits > container_bits || (is_float(format.type) && valid_bits != container_bits)) {
        return input_setup_status::bad_valid_bits;
    }
    if (format.channels < 1 || format.channels > max_input_channels) return input_setup_status::bad_channel_count;
    if (settings.channel != mix_all_channels && (settings.channel < 1 || settings.channel > format.channels)) {
        return input_setup_status::bad_channel_choice;
    }
    if (!std::isfinite(settings.gain_db)) return input_setup_status::bad_gain;
    const double factor = gain_factor_of_db(settings.gain_db);
    if (!std::isfinite(factor) || factor == 0.0) return input_setup_status::bad_gain;

    stage->settings = settings;
    stage->frame_bytes = static_cast<std::size_t>(format.channels) * container_bytes(format.type);
    stage->keep_mask = is_float(format.type) ? ~std::uint32_t{0} : ~std::uint32_t{0} << (container_bits - valid_bits);
    stage->gain_factor = factor;
    return input_setup_status::ok;
}

void convert_input_frames(const input_stage& stage, const unsigned char* bytes, std::size_t frames,
                          double* samples, input_statistics* stats) {
    clip_tally tally;
    switch (stage.settings.format.type) {
        case sample_type::u8: convert_integers<u8_codec>(stage, bytes, frames, samples, &tally); break;
        case sample_type::s16: convert_integers<s16_codec>(stage, bytes, frames, samples, &tally); break;
        case sample_type::s24: convert_integers<s24_codec>(stage, bytes, frames, samples, &tally); break;
        case sample_type::s32: convert_integers<s32_codec>(stage, bytes, frames, samples, &tally); break;
        case sample_type::f32: convert_floats<f32_codec>(stage, bytes, frames, samples, &tally); break;
        case sample_type::f64: convert_floats<f64_codec>(stage, bytes, frames, samples, &tally); break;
    }
    add_tally(tally, stats);
}

void clip_samples(double* samples, std::size_t count, input_statistics* stats) {
    clip_tally tally;
    for (std::size_t i = 0; i < count; ++i) samples[i] = clip_to_full_scale(samples[i], false, &tally);
    add_tally(tally, stats);
}

}  // namespace pcmtaper
