#include "driver.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "pcmtaper/pcmtaper.h"

namespace {

constexpr int stdout_closed_bit = 1 << 1;  // from open_closed_standard_descriptors

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

struct open_input {
    std::FILE* stream = nullptr;
    bool is_standard_input = false;
    ~open_input() {
        if (stream != nullptr && !is_standard_input) std::fclose(stream);
    }
};

// PCMTAPER_KERNELS forces a level of vector code, for testing and measuring:
// the level in *level, or a refusal's exit code after saying why.
int kernel_level_from_environment(pcmtaper_kernel_level* level) {
    *level = PCMTAPER_KERNELS_AUTO;
    const char* wanted = std::getenv("PCMTAPER_KERNELS");
    if (wanted == nullptr) return exit_ok;
    if (pcmtaper_kernel_level_from_name(wanted, level) != PCMTAPER_OK || *level == PCMTAPER_KERNELS_AUTO) {
        std::fprintf(stderr, "pcmtaper: unknown kernel level %s\n", wanted);
        return exit_kernel_level_unavailable;
    }
    if (!pcmtaper_kernel_level_available(*level)) {
        std::fprintf(stderr, "pcmtaper: the kernel level %s is not available on this machine\n", wanted);
        return exit_kernel_level_unavailable;
    }
    return exit_ok;
}

int convert(const command_line& cl, int closed_at_start) {
    pcmtaper_kernel_level kernel_level;
    if (const int refused = kernel_level_from_environment(&kernel_level); refused != exit_ok) return refused;
    install_signal_handlers();
    const bool input_is_stdin = cl.input_name == "-";
    // The audio goes to standard output when the output is "-" or names the
    // very pipe or device that descriptor 1 is open on (/dev/stdout). Then
    // standard output gets the audio alone: its file is moved aside for the
    // audio, and whatever the program prints on standard output goes to
    // standard error instead.
    //
    // A regular file that standard output is redirected to and that is also
    // named as the output (pcmtaper in.wav o.wav >> o.wav, or 1<>o.wav) is
    // replaced whole, as any named output, so that it holds the new output
    // and nothing else: written through the descriptor it would keep the old
    // bytes before (>>) or after (1<>) the new ones. Its name is resolved
    // before descriptor 1 is moved (/dev/stdout follows it), and the text
    // goes to standard error, since the file it would reach is replaced.
    constexpr int stdout_fd = 1;
    constexpr int stderr_fd = 2;
    const bool names_stdout = cl.output_name != "-" &&
                              same_file(identity_of_name(cl.output_name), identity_of_descriptor(stdout_fd));
    const bool stdout_file_named = names_stdout && regular_file_position(stdout_fd) >= 0;
    const bool audio_on_stdout = cl.output_name == "-" || (names_stdout && !stdout_file_named);
    const std::string output_path = stdout_file_named ? resolved_link(cl.output_name) : cl.output_name;
    const bool text_on_stderr = audio_on_stdout || stdout_file_named;
    int audio_fd = -1;
    if (text_on_stderr) {
        audio_fd = move_standard_output_aside(cl.quiet);
        setvbuf(stdout, nullptr, _IOLBF, 0);  // keeps its lines in order with standard error's
        if (!audio_on_stdout) {
            close_descriptor(audio_fd);
            audio_fd = -1;
        }
    } else if (cl.quiet) {
        silence_standard_output();
    }
    // Descriptor 1 leads to standard error now when text_on_stderr; the text
    // is written there directly, with standard error's line ends.
    console con(cl.quiet ? nullptr : text_on_stderr ? stderr : stdout, cl.quiet || text_on_stderr ? stderr : stdout,
                !cl.quiet && is_terminal(stderr_fd));
    if (cl.quiet) con.set_remark_prefix("pcmtaper: " + cl.input_name + ": ");

    con.info("%s\r\n", cl.input_name.c_str());
    con.info("%s\r\n", cl.output_name.c_str());

    open_input input;
    input.is_standard_input = input_is_stdin;
    input.stream = input_is_stdin ? standard_input() : open_input_file(cl.input_name);
    open_file_info input_info;
    if (input.stream == nullptr || !describe_open_file(input.stream, &input_info) || input_info.directory) {
        int e = input.stream != nullptr && input_info.directory ? EISDIR : errno;
        if (e == 0) e = EIO;  // never "Success" as the reason for a failure
        if (e == ENOMEM) {
            con.error("out of memory");
            return exit_out_of_memory;
        }
        con.error("cannot open the input file %s: %s", cl.input_name.c_str(), std::strerror(e));
        return exit_input_not_openable;
    }
    const input_source source{input.stream, input_info.regular, input_info.size_bytes, cl.input_name.c_str()};

    // Never write over the input, by the same name or by another path to the
    // same file (a symbolic or a hard link, or standard output redirected to it).
    const bool output_is_input =
        audio_on_stdout ? same_file(identity_of_descriptor(audio_fd), input_info.identity) && !is_terminal(audio_fd)
                        : (!input_is_stdin && cl.output_name == cl.input_name) ||
                              same_file(identity_of_name(output_path), input_info.identity);
    if (output_is_input) {
        con.remark("The output file is the input file.\r\n");
        if (!cl.output_named && !input_is_stdin && cl.output_name == cl.input_name)
            con.error("no output name can be derived from %s (that needs a full stop fourth from the end, as in "
                      "take1.wav); give the output name after it",
                      cl.input_name.c_str());
        return exit_output_is_input;
    }

    if (audio_on_stdout) {
        // Standard output was closed when the program started: its descriptor
        // is the null device now, which must not silently take the audio.
        if (closed_at_start & stdout_closed_bit) {
            con.error("standard output is closed; the audio needs a file or a pipe");
            return exit_output_not_openable;
        }
    }
    // The program's own name for this input's output: a file there is an
    // earlier output of it.
    const bool derived_name = cl.output_name == derive_output_name(cl.input_name, cl.format) && !input_is_stdin;
    const std::unique_ptr<output_sink> output =
        audio_on_stdout ? make_descriptor_output(audio_fd)
                        : make_file_output({cl.output_name, output_path, cl.force, derived_name, cl.format});
    conversion_options options;
    options.align = cl.align;
    options.zero_dc = cl.zero_dc;
    options.kernel_level = kernel_level;
    options.keep_metadata = cl.keep_metadata;
    options.format = {cl.format, c_array_name(cl.c_name, cl.output_name, cl.input_name), cl.c_attribute};
    const int code = convert_stream(source, options, output.get(), &con);
    if (cl.quiet || text_on_stderr) return code;
    return check_standard_output(code, closed_at_start, code == exit_ok ? "; the output file is complete" : "");
}

}  // namespace

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
            case cli_action::convert: return convert(cl, closed_at_start);
        }
        return check_standard_output(exit_ok, closed_at_start, "");
    } catch (const std::bad_alloc&) {  // an allocation that bypassed the handler
        out_of_memory();
    }
}
