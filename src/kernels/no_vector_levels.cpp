// Processors without vector kernels in this program: the reference level only.
#include "internal/arch_kernels.h"

namespace pcmtaper {

bool arch_machine_has(kernel_level) { return false; }

void arch_fill_kernels(kernel_level, kernel_table*) {}

}  // namespace pcmtaper
