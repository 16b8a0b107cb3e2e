#include "model/model.h"
#include "quant/quant.h"
#include "shaping/shaping.h"

void analyse_block(shaper_state*) {}

int process_block(shaper_state* state) {
    analyse_block(state);
    for (int p = 0; p < fine_pass_max; ++p) {
        state->step_lo[p] = 32;
        state->step_hi[p] = 0;
    }
    optimize_filter(state);
    quantise_block(state);
    return 0;
}
