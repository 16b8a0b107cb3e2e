// The aarch64 kernel level, called only on aarch64 builds (aarch64_levels.cpp).
#pragma once

#include "internal/kernel_table.h"

namespace pcmtaper {

// The analysis and quantiser stages and the 2-lane costs (NEON, every aarch64).
void fill_neon(kernel_table* table);

}  // namespace pcmtaper
