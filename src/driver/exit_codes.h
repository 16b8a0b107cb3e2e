// The program's exit codes. 0 to 4 are the converter's from the start; each
// later one names a failure of its own, so that a script can tell them apart.
#pragma once

enum exit_code : int {
    exit_ok = 0,
    exit_input_not_openable = 1,
    exit_not_linear_pcm = 2,
    exit_not_mono = 3,
    exit_output_not_openable = 4,
    exit_header_incomplete = 5,   // no "fmt " or "data" found, or the file ends inside the header
    exit_not_16_bit = 6,
    exit_bad_sample_rate = 7,
    exit_output_is_input = 8,
    exit_read_error = 9,
    exit_write_error = 10,
    exit_kernel_level_unavailable = 11,  // PCMTAPER_KERNELS names a level this machine lacks, or none
    exit_usage = 12,                     // an unknown option, no input name, a third name
    exit_output_not_own = 13,            // an existing output that is not an 8-bit WAV, without --force
    exit_stdout_lost = 14,               // converted, but standard output could not be written
    exit_out_of_memory = 15,
};
