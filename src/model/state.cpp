#include "model/model.h"

#include "quant/quant.h"

int init_state(shaper_state* state) {
    for (double& x : state->history) x = 0.0;
    for (double& x : state->mask) x = 100.0;
    for (double& x : state->band_weight) x = 0.0;
    for (double& x : state->coef) x = 0.0;
    for (double& x : state->err_state) x = 0.0;
    for (double& x : state->quiet) x = 0.0;
    for (double& x : state->spread_decay) x = 0.0;
    for (double& x : state->spread_norm) x = 0.0;
    for (std::uint8_t& b : state->out_bytes) b = 0;
    state->block_index = 0;
    state->order = filter_order;
    state->coef[0] = 1.0;
    // step_lo and step_hi are set before every search; they are cleared here
    // only so that the record never holds indeterminate values.
    for (int p = 0; p < fine_pass_max; ++p) {
        state->step_lo[p] = 0;
        state->step_hi[p] = 0;
    }
    state->dither_state = dither_start_state;
    return 0;
}
