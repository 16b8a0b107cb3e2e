#include "pipeline/pipeline.h"

#include <cstring>

#include "quant/quant.h"

namespace pcmtaper {

void start_conversion(converter_state* state, const kernel_table& kernels, double sample_rate_hz, bool zero_dc) {
    state->kernels = &kernels;
    fill_rate_tables(&state->rates, sample_rate_hz);
    reset_analysis(&state->analysis);
    reset_search(&state->search);
    for (double& x : state->delay_line) x = 0.0;
    state->dither_state = dither_start_state;
    state->zero_dc = zero_dc;
    for (std::uint8_t& b : state->out_bytes) b = 0;
}

void start_blocks(converter_state* state, const double* first_samples) {
    std::memcpy(state->analysis.history + new_samples_at, first_samples, block_len * sizeof(double));
    state->kernels->analyse(state->rates, &state->analysis);
}

bool search_taps(converter_state* state, std::uint32_t block_number, block_report* report) {
    const search_result result = search_block(*state->kernels, state->analysis.band_weight, &state->search);
    if (!block_is_reported(block_number)) return false;
    if (report == nullptr) return true;
    std::memcpy(report->taps, state->search.taps, sizeof report->taps);
    std::memcpy(report->band_weight, state->analysis.band_weight, sizeof report->band_weight);
    report->steps = result.steps;
    return true;
}

void quantise_and_analyse_next(converter_state* state, const double* next_samples) {
    alignas(64) double block[block_len];
    std::memcpy(block, state->analysis.history, sizeof block);
    slide_history(&state->analysis);
    const quantiser_job job{block,
                            state->search.taps,
                            state->search.order,
                            state->delay_line,
                            &state->dither_state,
                            state->out_bytes,
                            state->zero_dc};
    if (next_samples == nullptr) {
        state->kernels->quantise(job);
        return;
    }
    std::memcpy(state->analysis.history + new_samples_at, next_samples, block_len * sizeof(double));
    state->kernels->quantise_and_analyse(job, state->rates, state->analysis.history, &state->analysis);
}

}  // namespace pcmtaper
