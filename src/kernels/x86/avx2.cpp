// The AVX2 level: the vector stages compiled for AVX2, and the noise cost of 4 tap sets at once.
#include <immintrin.h>

#include "kernels/vector_stages.h"
#include "resample/resampler.h"
#include "kernels/x86/x86_kernels.h"

namespace pcmtaper {
namespace {

constexpr int lanes = 4;
using vd = double __attribute__((vector_size(lanes * 8)));

inline vd lanes_sqrt(vd x) { return reinterpret_cast<vd>(_mm256_sqrt_pd(reinterpret_cast<__m256d>(x))); }

#include "kernels/cost_lanes.inc"
#include "resample/resample_dot_lanes.inc"

}  // namespace

namespace {

#include "kernels/vector_stage_entries.inc"

}  // namespace

void fill_avx2(kernel_table* table) {
    fill_vector_stages(table);
    table->cost_narrow = {cost_lanes, lanes};
    table->resample_dot = resample_dot_lanes;
    table->resample_halve = resample_halve_lanes;
    table->resample_convolve = resample_convolve_lanes;
}

}  // namespace pcmtaper
