#include "driver/driver.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "internal/kernel_table.h"
#include "pipeline/pipeline.h"

namespace {

constexpr int stdout_closed_bit = 1 << 1;  // from open_closed_standard_descriptors

}  // namespace

// Whether the text meant for standard output reached it. Standard output is
// not the product: when it is closed, full or a broken pipe, the conversion
// still completes, and this is what tells the user.
int check_standard_output(int code, int closed_at_start, const char* what_is_complete) {
    int error_number = 0;
    if (closed_at_start & stdout_closed_bit) error_number = EBADF;
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) error_number = errno != 0 ? errno : EIO;
    if (error_number == 0) return code;
    std::fprintf(stderr, "pcmtaper: standard output could not be written: %s%s\n", std::strerror(error_number),
                 what_is_complete);
    return code == exit_ok ? exit_stdout_lost : code;
}

namespace {

struct open_input {
    std::FILE* stream = nullptr;
    bool is_standard_input = false;
    ~open_input() {
        if (stream != nullptr && !is_standard_input) std::fclose(stream);
    }
};

int convert(const command_line& cl, int closed_at_start) {
    // PCMTAPER_KERNELS forces a level of vector code, for testing and measuring.
    if (const int refused = pcmtaper::use_kernels_from_environment(); refused != 0) return refused;
    install_signal_handlers();
    // The audio goes to standard output when the output is "-" or names the
    // very file that descriptor 1 is open on (/dev/stdout, or the file that
    // standard output is redirected to). Then standard output gets the audio
    // alone: its file is moved aside for the audio, and whatever the program
    // prints on standard output goes to standard error instead.
    constexpr int stdout_fd = 1;
    constexpr int stderr_fd = 2;
    const bool audio_on_stdout = cl.output_name == "-" ||
                                 same_file(identity_of_name(cl.output_name), identity_of_descriptor(stdout_fd));
    file_conversion job;
    job.input_name = cl.input_name;
    job.output_name = cl.output_name;
    job.force = cl.force;
    job.quiet = cl.quiet;
    job.options.align = cl.align;
    job.options.zero_dc = cl.zero_dc;
    job.options.threads = cl.jobs != 0 ? cl.jobs : processors_available();
    job.stdout_closed_at_start = (closed_at_start & stdout_closed_bit) != 0;
    // Named by its file's name (as with >> out.wav), a non-empty regular
    // file must be one the program may replace, as any named output. It is
    // read by name before descriptor 1 is moved (/dev/stdout follows it).
    open_file_info stdout_info;
    job.foreign_file_on_stdout = audio_on_stdout && cl.output_name != "-" && !cl.force &&
                                 describe_open_file(stdout, &stdout_info) && stdout_info.regular &&
                                 !may_replace_existing_output(cl.output_name);
    if (audio_on_stdout) {
        job.audio_fd = move_standard_output_aside(cl.quiet);
        setvbuf(stdout, nullptr, _IOLBF, 0);  // keeps its lines in order with standard error's
    } else if (cl.quiet) {
        silence_standard_output();
    }
    job.audio_on_stdout = audio_on_stdout;
    console con(cl.quiet ? nullptr : stdout, cl.quiet || audio_on_stdout ? stderr : stdout,
                !cl.quiet && is_terminal(stderr_fd));
    const int code = convert_file(job, &con);
    if (cl.quiet || audio_on_stdout) return code;
    return check_standard_output(code, closed_at_start, code == exit_ok ? "; the output file is complete" : "");
}

}  // namespace

int convert_file(const file_conversion& job, console* con) {
    if (job.quiet) con->set_remark_prefix("pcmtaper: " + job.input_name + ": ");
    con->info("%s\r\n", job.input_name.c_str());
    con->info("%s\r\n", job.output_name.c_str());

    const bool input_is_stdin = job.input_name == "-";
    open_input input;
    input.is_standard_input = input_is_stdin;
    input.stream = input_is_stdin ? standard_input() : open_input_file(job.input_name);
    open_file_info input_info;
    if (input.stream == nullptr || !describe_open_file(input.stream, &input_info) || input_info.directory) {
        const int e = input.stream != nullptr && input_info.directory ? EISDIR : errno;
        if (e == ENOMEM) {
            con->error("out of memory");
            return exit_out_of_memory;
        }
        con->error("cannot open the input file %s: %s", job.input_name.c_str(), std::strerror(e));
        return exit_input_not_openable;
    }
    const input_source source{input.stream, input_info.regular, input_info.size_bytes};

    // Never write over the input, by the same name or by another path to the
    // same file (a symbolic or a hard link, or standard output redirected to it).
    const bool output_is_input =
        job.audio_on_stdout
            ? same_file(identity_of_descriptor(job.audio_fd), input_info.identity) && !is_terminal(job.audio_fd)
            : (!input_is_stdin && job.output_name == job.input_name) ||
                  same_file(identity_of_name(job.output_name), input_info.identity);
    if (output_is_input) {
        con->remark("The output file is the input file.\r\n");
        return exit_output_is_input;
    }

    if (job.output_is_batch_stdout) {
        con->error("the output %s is standard output's file; with -b the audio goes to files only",
                   job.output_name.c_str());
        return exit_output_not_openable;
    }
    if (job.audio_on_stdout) {
        // Standard output was closed when the program started: its descriptor
        // is the null device now, which must not silently take the audio.
        if (job.stdout_closed_at_start) {
            con->error("standard output is closed; the audio needs a file or a pipe");
            return exit_output_not_openable;
        }
        if (job.foreign_file_on_stdout) {
            con->error("the output file %s exists and is not an 8-bit WAV file; it is kept (--force replaces it)",
                       job.output_name.c_str());
            return exit_output_not_own;
        }
    }
    const std::unique_ptr<output_sink> output =
        job.audio_on_stdout ? make_descriptor_output(job.audio_fd) : make_file_output(job.output_name, job.force);
    // Large (the look-ahead's state with it): on the heap, one per file.
    const auto state = std::make_unique<pcmtaper::converter_state>();
    return convert_stream(state.get(), source, job.options, output.get(), con);
}

// Out of memory ends the run at once, from wherever the allocation failed:
// throwing needs memory too (the exception object), which may be just what
// is missing. Nothing of the output is left behind.
[[noreturn]] static void out_of_memory() {
    remove_temporary_output();
    std::fputs("pcmtaper: out of memory\n", stderr);
    std::_Exit(exit_out_of_memory);
}

int run_converter(int argc, char** argv) {
    std::set_new_handler(out_of_memory);
    const int closed_at_start = open_closed_standard_descriptors();
    try {
        const command_line cl = parse_command_line(argc, argv);
        switch (cl.action) {
            case cli_action::banner: print_banner(stdout); break;
            case cli_action::help: print_help(stdout); break;
            case cli_action::version: print_version(stdout); break;
            case cli_action::usage_error: print_usage_error(stderr, cl.error); return exit_usage;
            case cli_action::convert: return cl.batch ? run_batch(cl, closed_at_start) : convert(cl, closed_at_start);
        }
        return check_standard_output(exit_ok, closed_at_start, "");
    } catch (const std::bad_alloc&) {  // an allocation that bypassed the handler
        out_of_memory();
    }
}
