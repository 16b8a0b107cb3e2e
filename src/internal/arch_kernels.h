// What an architecture's folder of kernels (src/kernels/x86/,
// src/kernels/aarch64/, or src/kernels/no_vector_levels.cpp where there is none) gives the choice of
// kernels in src/kernels/select.cpp. A port adds a sibling folder with these
// two functions, its levels in kernel_level, and its files in CMakeLists.txt.
#pragma once

#include "internal/kernel_table.h"

namespace pcmtaper {

// Whether the machine has the level's instructions; false for the reference
// (which select.cpp owns) and for levels of other architectures.
bool arch_machine_has(kernel_level level);

// Fills every entry of `table` for a vector level the machine has, except
// wide_pays, which the choice measures.
void arch_fill_kernels(kernel_level level, kernel_table* table);

}  // namespace pcmtaper
