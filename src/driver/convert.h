// A conversion from the input header on: the header walk, the sample-rate and
// block-count lines, the output and the block loop.
//
// Usage: convert_stream(&state, {stream, regular, size}, options, &sink, &con)
#pragma once

#include <cstdint>
#include <cstdio>

#include "driver/console.h"
#include "driver/formats.h"
#include "driver/output.h"

namespace pcmtaper {
struct converter_state;
}

struct input_source {
    std::FILE* stream;
    // A regular file whose size is known; a pipe, a device, or a file the
    // system reports as empty (as under /proc) is read as a stream.
    bool regular;
    long long size_bytes;  // of a regular file
    const char* name = "-";  // as given, for the lines that name it
};

struct conversion_options {
    // The output lines up with the input: as many samples, no leading delay.
    // The input is followed by silence up to the first whole block at least
    // 224 samples past its end; the first 224 output samples are dropped and
    // the rest cut to the input's length.
    bool align = false;
    // The dither's mean over its draws is taken off, so that it adds no DC
    // offset to the output (silence then idles at 128, not 129).
    bool zero_dc = false;
    // What the output holds: a WAV file, the bare samples or a C header.
    format_options format;
    // A WAV output carries the input's loops, cue points, INFO tags and
    // instrument, their positions moved by the output's delay.
    bool keep_metadata = false;
};

// Runs the conversion with the texts and exit codes of the program. `input`
// stands at its first byte; `state` is started here.
int convert_stream(pcmtaper::converter_state* state, const input_source& input, const conversion_options& options,
                   output_sink* output, console* con);
