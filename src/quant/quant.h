// Dithered 8-bit quantiser with error feedback, and its dither generator.
//
// Usage: quantise_block_reference({samples, taps, order, delay_line, &dither_state, out_bytes});
//        (the program quantises through its kernel table, internal/kernel_table.h)
#pragma once

#include <cstdint>

#include "internal/math_calls.h"

namespace pcmtaper {

// The quantiser's inputs and outputs for one block.
struct quantiser_job {
    const double* samples;        // block_len samples, sample scale
    const double* taps;           // error-feedback taps; taps[0] is not read
    int order;                    // taps in use, taps[0] included (1..max_taps - 1)
    double* delay_line;           // max_taps entries, sample scale: delay_line[1] is the next
                                  // feedback; delay_line[order] is never written and stays 0
    std::uint32_t* dither_state;  // the dither generator, advanced once per sample
    std::uint8_t* out_bytes;      // block_len bytes, unsigned 8-bit PCM
    bool zero_dc;                 // the dither's mean over its draws taken off (--zero-dc)
};

// Constants of the quantiser shared by its reference and its vector forms.
inline constexpr int step_limit = 126;           // largest step count, either sign
inline constexpr int zero_level_byte = 128;      // unsigned 8-bit PCM silence
inline constexpr double steps_per_unit = 256.0;  // output steps per unit of sample scale
inline constexpr double error_limit = 0.05;      // fed-back error bound, sample units (12.8 steps)
inline constexpr int dither_draws = 32768;       // a draw is 0..32767
inline constexpr double dither_gain = 0.31;      // 0x3FD3D70A3D70A3D7
// The mean of atan((4r - 2)/32767) * 0.31 over the 32768 draws, in output
// steps: what the dither adds on average, and the shaping filter's gain at
// 0 Hz carries into the output as a DC offset. --zero-dc subtracts it.
inline constexpr double dither_mean_steps = 0.3012072657259532;

// Generator state at the start of every conversion (seed 1 after one step).
inline constexpr std::uint32_t dither_start_state = 22695478u;

// Advances the generator and returns its next draw, 0..32767: bits 16..30 of
// state * 22695477 + 1 (mod 2^32).
inline int dither_rand(std::uint32_t* generator_state) {
    *generator_state = *generator_state * 22695477u + 1u;
    return static_cast<int>((*generator_state >> 16) & 0x7FFFu);
}

// The dither of draw r in sample units, extended precision:
// atan((4r - 2)/32767) * 0.31/256 (1/256 is one output step): mostly
// positive, at most about 0.411 of a step. With zero_dc, its mean is taken
// off before the scaling: (atan(...) * 0.31 - dither_mean_steps) / 256, the
// subtraction rounded to 64 bits like the product.
extended dither_offset(int r, bool zero_dc);

// target plus the dither of draw r, rounded once to a double.
double add_dither(double target, int r, bool zero_dc);

// Rounds a dithered sample v to a signed step count, halves upward, clamped to
// -126..126. Formed in extended precision so that a sum just below a whole
// step is never rounded onto it.
int quantise_to_step(double v);

// The quantiser as literal formulas, sample by sample: the fed-back error
// removed, the dither drawn and added, the step count clamped, its error
// clamped and pushed into the delay line (ascending: each entry takes its
// upper neighbour's value from before this sample).
void quantise_block_reference(const quantiser_job& job);

}  // namespace pcmtaper
