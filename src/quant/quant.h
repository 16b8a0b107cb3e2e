// Dithered 8-bit quantiser with error feedback, and its dither generator.
//
// Usage: quantise_block(&state);   // history[0..31] -> out_bytes, history slides by 32
#pragma once

#include <cstdint>

struct shaper_state;

// Generator state at the start of every conversion (seed 1 after one step).
inline constexpr std::uint32_t dither_start_state = 22695478u;

// Advances the generator and returns its next draw, 0..32767: bits 16..30 of
// state * 22695477 + 1 (mod 2^32).
inline int dither_rand(std::uint32_t* generator_state) {
    *generator_state = *generator_state * 22695477u + 1u;
    return static_cast<int>((*generator_state >> 16) & 0x7FFFu);
}

// The dither of draw r in sample units, with a 64-bit significand:
// atan((4r - 2)/32767) * 0.31/256.
long double dither_offset(int r);

// target plus the dither of draw r, rounded once to a double. The dither is
// atan((4r - 2)/32767) * 0.31/256 in sample units (1/256 is one output step):
// mostly positive, at most about 0.411 of a step.
double add_dither(double target, int r);

// Rounds a dithered sample v to a signed step count, halves upward, clamped to
// -126..126. Formed in extended precision so that a sum just below a whole
// step is never rounded onto it.
int quantise_to_step(double v);

// Quantises history[0..31] into out_bytes, advances err_state, draws the
// dither 32 times and moves history[32..255] down to history[0..223].
void quantise_block(shaper_state* state);
// Its two forms, equal bit for bit: the plain one calls atan for every sample,
// the fast one looks the dither up in a table filled by the same calls
// (quantise_block runs the fast one unless built with PCMTAPER_PLAIN).
void quantise_block_plain(shaper_state* state);
void quantise_block_fast(shaper_state* state);
