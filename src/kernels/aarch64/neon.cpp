// The NEON level (every aarch64 processor): the vector stages compiled for
// 128-bit NEON registers, and the noise cost of 2 tap sets at once, one
// double per lane. Every lane performs the scalar operations in the same
// order (no fused multiply-add: -ffp-contract=off), and vsqrtq_f64 is the
// correctly rounded square root of each lane, so the bits are the reference's.
#include <arm_neon.h>

#include "kernels/aarch64/aarch64_kernels.h"
#include "kernels/vector_stages.h"
#include "resample/resampler.h"

namespace pcmtaper {
namespace {

constexpr int lanes = 2;
using vd = double __attribute__((vector_size(lanes * 8)));

inline vd lanes_sqrt(vd x) { return reinterpret_cast<vd>(vsqrtq_f64(reinterpret_cast<float64x2_t>(x))); }

#include "kernels/cost_lanes.inc"
#include "resample/resample_dot_lanes.inc"

}  // namespace

namespace {

#include "kernels/vector_stage_entries.inc"

}  // namespace

void fill_neon(kernel_table* table) {
    fill_vector_stages(table);
    table->cost_narrow = {cost_lanes, lanes};
    table->resample_dot = resample_dot_lanes;
    table->resample_halve = resample_halve_lanes;
    table->resample_convolve = resample_convolve_lanes;
}

}  // namespace pcmtaper
