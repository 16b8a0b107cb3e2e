#include "driver/driver.h"
#include "internal/kernel_table.h"

int main(int argc, char** argv) {
    if (const int refused = pcmtaper::use_kernels_from_environment(); refused != 0) return refused;
    return run_converter(argc, argv);
}
