// The aarch64 levels: NEON, which every 64-bit ARM processor has (the
// architecture makes it part of the base instruction set), so no run-time
// check is needed.
#include "internal/arch_kernels.h"
#include "kernels/aarch64/aarch64_kernels.h"

namespace pcmtaper {

bool arch_machine_has(kernel_level level) { return level == kernel_level::neon; }

void arch_fill_kernels(kernel_level level, kernel_table* table) {
    if (level == kernel_level::neon) fill_neon(table);
}

}  // namespace pcmtaper
