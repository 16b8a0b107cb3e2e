// The per-block pipeline of a conversion: analysis, search, quantiser, with
// the quantiser of one block overlapped with the analysis of the next (they
// share no data). The stages run through the kernel table in use.
//
// Usage: converter_state s; start_conversion(&s, best_kernels(), 44100.0);
//        start_blocks(&s, samples of block 0);
//        for each block n:
//            block_report r; if (search_taps(&s, n, &r)) (report r);
//            quantise_and_analyse_next(&s, samples of block n + 1, or null after the last);
//            write s.out_bytes (block_len bytes)
#pragma once

#include <cstdint>

#include "internal/kernel_table.h"
#include "model/model.h"
#include "shaping/shaping.h"

namespace pcmtaper {

// The state of one conversion, by lifetime. Nothing else in the program
// keeps state between blocks.
struct converter_state {
    const kernel_table* kernels;  // the kernel level this conversion runs
    rate_tables rates;            // constant once the conversion starts
    analysis_state analysis;      // history, mask and band weights
    search_state search;          // the taps carried from block to block
    // The quantiser's error-feedback delay line, sample scale: delay_line[1] is
    // the next feedback; delay_line[order] is never written and stays 0.
    double delay_line[max_taps];
    // The dither generator. It lives here, not in a global, so that every
    // conversion in a process starts from the same state and gives the same bytes.
    std::uint32_t dither_state;
    bool zero_dc;  // the dither's mean taken off (--zero-dc); off unless asked for
    std::uint8_t out_bytes[block_len];  // the current block's output, unsigned 8-bit PCM
};

// Resets everything and fills the rate tables for a sample rate in Hz (>= 0);
// the stages run through `kernels`. With zero_dc the dither's mean is taken
// off; every other byte of the conversion's definition is the same.
void start_conversion(converter_state* state, const kernel_table& kernels, double sample_rate_hz,
                      bool zero_dc = false);

// Stores the first block's samples (block_len, sample scale) and analyses them.
void start_blocks(converter_state* state, const double* first_samples);

// The coefficient search of the current block, whose number in the
// conversion is block_number (from 0). Returns whether its report is printed
// (block numbers 0..3 of every 8192), and then fills *report; report may be
// null when no report is wanted.
bool search_taps(converter_state* state, std::uint32_t block_number, block_report* report);

// Quantises the current block into out_bytes and moves the history on by a
// block; with next_samples (block_len, sample scale), stores them as the next
// block and analyses it. The bytes and the state are those of the stages run
// one after the other.
void quantise_and_analyse_next(converter_state* state, const double* next_samples);

}  // namespace pcmtaper
