// The WebAssembly level, `simd128`. A WebAssembly machine cannot be asked
// which instructions it has: a browser without SIMD128 refuses to compile the
// whole module, so a module that runs has them.
#include "internal/arch_kernels.h"
#include "kernels/wasm/wasm_kernels.h"

namespace pcmtaper {

bool arch_machine_has(kernel_level level) { return level == kernel_level::simd128; }

void arch_fill_kernels(kernel_level level, kernel_table* table) {
    if (level == kernel_level::simd128) fill_simd128(table);
}

}  // namespace pcmtaper
