// A conversion from the input header on, through the library's one-call WAV
// conversion: the program's texts and exit codes around it, the output opened
// once the header is accepted, and the output committed or discarded.
//
// Usage: convert_stream({stream, regular, size}, options, &sink, &con)
//        or, with the output put in place later (on another thread):
//        conversion_end end = convert_until_commit(...); ...; finish_conversion(end, &sink, &con)
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "console.h"
#include "formats.h"
#include "output.h"
#include "pcmtaper/pcmtaper.h"

struct input_source {
    std::FILE* stream;
    // A regular file whose size is known; a pipe, a device, or a file the
    // system reports as empty (as under /proc) is read as a stream.
    bool regular;
    long long size_bytes;  // of a regular file
    const char* name = "-";  // as given, for the lines that name it
};

struct conversion_options {
    // The output lines up with the input: as many samples, no leading delay
    // (PCMTAPER_FLAG_ALIGN).
    bool align = false;
    // The dither's mean over its draws is taken off, so that it adds no DC
    // offset to the output (PCMTAPER_FLAG_ZERO_DC).
    bool zero_dc = false;
    // Threads the conversion may use (1: the caller's alone). The output and
    // everything printed are the same for every number.
    int threads = 1;
    pcmtaper_kernel_level kernel_level = PCMTAPER_KERNELS_AUTO;
    // What the output holds: a WAV file, the bare samples or a C header.
    format_options format;
    // A WAV output carries the input's loops, cue points, INFO tags and
    // instrument, their positions moved by the output's delay.
    bool keep_metadata = false;
    // The input stage: which channels (PCMTAPER_CHANNEL_ONLY: a mono input
    // alone), the gain, the output's rate (0: the input's), and whether the
    // peak is normalised (the input read twice).
    int channel = PCMTAPER_CHANNEL_ONLY;
    double gain_db = 0.0;
    std::uint32_t output_rate_hz = 0;
    bool normalize = false;
};

// Runs the conversion with the texts and exit codes of the program. `input`
// stands at its first byte.
int convert_stream(const input_source& input, const conversion_options& options, output_sink* output, console* con);

// A conversion up to its output's last byte, written but not yet synced nor
// in place: what finish_conversion needs to put it there and to say what
// comes after. Nothing in it refers to the input, which may be closed.
struct conversion_end {
    bool commit_due = false;  // false: the conversion ended with `exit_code`, nothing to commit
    int exit_code = 0;
    bool advise_on_cut_end = false;
    // samples_read and audible_end count input frames, samples_written
    // output samples: they differ where -r changes the rate.
    std::uint64_t samples_read = 0, samples_written = 0, audible_end = 0;
    std::uint32_t sample_rate_hz = 0;  // the output's
    std::uint32_t input_rate_hz = 0;   // 0: the output's
    const char* input_name = "-";  // lives as long as the input_source's name
};

// convert_stream in two steps: the conversion, with the output's bytes
// handed to the system; then the output synced and put in place, and the
// texts after that. The two together print and return what convert_stream
// does.
conversion_end convert_until_commit(const input_source& input, const conversion_options& options,
                                    output_sink* output, console* con);
int finish_conversion(const conversion_end& end, output_sink* output, console* con);

// Whether `status` is the header walk's refusal of an input.
bool is_header_refusal(pcmtaper_status status);

// The program's exit code for a status of the library's WAV conversion.
int exit_code_for(pcmtaper_status status);

// The library's config for a conversion with `options`; `samples_only`: the
// library hands over the samples alone, for a format the caller frames.
pcmtaper_config library_config(const conversion_options& options, bool samples_only);

// The two count lines the program prints once the header is accepted
// ("SAMPLE RATE: 44100\r\n", " FRAMES NUM: 1234\r\n").
std::string count_lines(const pcmtaper_wav_plan& plan);

// The line, without "pcmtaper: ", after a refusal that the user can mend:
// a file of several channels by -c, a sample format this program does not
// read (compressed) by a conversion with another program first. "" for any
// other status.
std::string refusal_advice(pcmtaper_status status, const std::string& input_name);

// The plain conversion drops the last 224 samples (the look-ahead) and any
// part block after the last whole one: a short sound effect can vanish
// whole. The notice, without "pcmtaper: ", when what `end` dropped is
// audible; else "".
std::string cut_end_notice(const conversion_end& end);
