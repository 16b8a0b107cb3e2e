// The x86-64 levels: which the machine has, and each level's table. A level
// builds on the ones below it, as the instruction sets do: the AVX-512 levels
// keep the AVX2 stages (their wider vectors do not pay there) and bring
// their own cost kernels.
#include "internal/arch_kernels.h"
#include "kernels/x86/x86_kernels.h"

namespace pcmtaper {

bool arch_machine_has(kernel_level level) {
    __builtin_cpu_init();
    switch (level) {
        case kernel_level::reference:  // not an x86 level
        case kernel_level::neon:
        case kernel_level::simd128: return false;
        case kernel_level::sse2: return true;        // part of every x86-64
        case kernel_level::avx2: return __builtin_cpu_supports("avx2");
        case kernel_level::avx512vl:
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl");
        case kernel_level::avx512: return __builtin_cpu_supports("avx512f");
    }
    return false;
}

void arch_fill_kernels(kernel_level level, kernel_table* table) {
    fill_sse2(table);
    if (level == kernel_level::sse2) return;
    fill_avx2(table);
    if (level == kernel_level::avx2) return;
    if (arch_machine_has(kernel_level::avx512vl)) table->cost_narrow = costs_avx512vl();
    fill_resample_avx512(table);  // both levels have AVX-512F
    if (level == kernel_level::avx512) table->cost_wide = costs_avx512();
}

}  // namespace pcmtaper
