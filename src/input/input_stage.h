// The input stage: interleaved frames of any supported sample type in, one
// double per frame on the sample scale out (full scale +-0.5), ready for the
// later stages. Per frame, in this order: decode each channel exactly (a
// float NaN as silence, an infinity as full scale), take the chosen channel
// or the mean of all of them (rounded once), multiply by the gain (rounded
// once), clip to full scale. The result of a frame depends
// on that frame's bytes alone, so any split of the input into blocks gives the
// same samples and the same statistics.
//
// Usage: input_stage stage;
//        if (prepare_input_stage({{sample_type::s24, 0, 2}, mix_all_channels, -3.0}, &stage)
//            != input_setup_status::ok) refuse;
//        input_statistics stats;
//        for each block: convert_input_frames(stage, bytes, frames, samples, &stats);
//        if (stats.clipped_samples != 0) remark once (stats.peak)
#pragma once

#include <cstddef>
#include <cstdint>

namespace pcmtaper {

// Little-endian containers: unsigned 8-bit, signed 16-bit, signed 24-bit
// packed in 3 bytes, signed 32-bit, IEEE binary32 and binary64.
enum class sample_type { u8, s16, s24, s32, f32, f64 };
inline constexpr int sample_type_count = 6;

int container_bytes(sample_type type);
inline bool is_float(sample_type type) { return type == sample_type::f32 || type == sample_type::f64; }

inline constexpr int max_input_channels = 64;
inline constexpr int mix_all_channels = 0;  // channel choice: the mean of all channels
inline constexpr double full_scale = 0.5;   // the largest magnitude the later stages see

struct input_format {
    sample_type type;
    // Significant bits of an integer container, counted from the top (a
    // 20-bit sample in 24 bits has 20): the bits below are padding, read as
    // zero. 0 means all of the container; a float takes 0 or its container's.
    int valid_bits;
    int channels;  // interleaved channels of a frame, 1..64
};

struct input_settings {
    input_format format;
    int channel;     // 1..channels picks that channel; mix_all_channels averages them
    double gain_db;  // applied as the factor 10^(gain_db / 20)
};

enum class input_setup_status {
    ok,
    bad_sample_type,     // not one of sample_type
    bad_valid_bits,      // above the container, negative, or a float's not its container's
    bad_channel_count,   // not 1..64
    bad_channel_choice,  // neither mix_all_channels nor 1..channels
    bad_gain,            // not finite, or its factor overflows or underflows to zero
};

// What a file's clipping was: the caller adds every block into one of these
// and, when clipped_samples is not zero, says so once per file.
struct input_statistics {
    // Output samples set to full scale: beyond it after the gain, or taken
    // from a channel holding an infinity.
    std::uint64_t clipped_samples = 0;
    // The largest magnitude before clipping, sample scale (full scale 0.5);
    // infinity once an infinity was read.
    double peak = 0.0;
};

struct input_stage {
    input_settings settings;
    std::size_t frame_bytes;    // bytes of one interleaved frame
    std::uint32_t keep_mask;    // the container's valid bits, padding cleared
    double gain_factor;         // 10^(gain_db / 20); exactly 1 at 0 dB
};

// 10^(gain_db / 20) in the written order: gain_db / 20.0 rounded to a double,
// then the correctly rounded pow. 0 dB is exactly 1, 20 dB exactly 10.
double gain_factor_of_db(double gain_db);

// Checks the settings and, when ok, fills *stage; otherwise leaves it alone.
input_setup_status prepare_input_stage(const input_settings& settings, input_stage* stage);

// Converts `frames` whole frames (frames * stage.frame_bytes bytes, any
// alignment) into `samples` (frames doubles, sample scale, within +-0.5), and
// adds this block's clipping to *stats.
void convert_input_frames(const input_stage& stage, const unsigned char* bytes, std::size_t frames,
                          double* samples, input_statistics* stats);

// Clips `count` samples in place to full scale by the rule of the input
// stage's last step, and adds their clipping to *stats. For samples made
// after that step (the resampler's ripple can carry a full-scale input past
// full scale); they hold no infinity.
void clip_samples(double* samples, std::size_t count, input_statistics* stats);

}  // namespace pcmtaper
