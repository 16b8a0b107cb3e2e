#include "driver/driver.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "model/model.h"

namespace {

constexpr int stdout_closed_bit = 1 << 1;  // from open_closed_standard_descriptors

// Points descriptor `fd` at the null device.
void silence_descriptor(int fd) {
    const int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null_fd < 0) return;
    dup2(null_fd, fd);
    close(null_fd);
}

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

int convert(const command_line& cl, int closed_at_start) {
    install_signal_handlers();
    const bool input_is_stdin = cl.input_name == "-";
    // The audio goes to standard output when the output is "-" or names the
    // very file that descriptor 1 is open on (/dev/stdout, or the file that
    // standard output is redirected to). Then standard output gets the audio
    // alone: descriptor 1 is moved aside for it, and whatever the program
    // prints on standard output goes to standard error instead.
    const bool audio_on_stdout = cl.output_name == "-" ||
                                 same_file(identity_of_name(cl.output_name), identity_of_descriptor(STDOUT_FILENO));
    int audio_fd = -1;
    if (audio_on_stdout) {
        audio_fd = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
        if (cl.quiet) silence_descriptor(STDOUT_FILENO); else dup2(STDERR_FILENO, STDOUT_FILENO);
        setvbuf(stdout, nullptr, _IOLBF, 0);  // keeps its lines in order with standard error's
    } else if (cl.quiet) {
        silence_descriptor(STDOUT_FILENO);
    }
    console con(cl.quiet ? nullptr : stdout, cl.quiet || audio_on_stdout ? stderr : stdout,
                !cl.quiet && isatty(STDERR_FILENO));

    con.info("%s\r\n", cl.input_name.c_str());
    con.info("%s\r\n", cl.output_name.c_str());

    open_input input;
    input.is_standard_input = input_is_stdin;
    input.stream = input_is_stdin ? stdin : std::fopen(cl.input_name.c_str(), "rb");
    struct stat input_info {};
    if (input.stream == nullptr || fstat(fileno(input.stream), &input_info) != 0 || S_ISDIR(input_info.st_mode)) {
        const int e = input.stream == nullptr ? errno : S_ISDIR(input_info.st_mode) ? EISDIR : errno;
        if (e == ENOMEM) {
            con.error("out of memory");
            return exit_out_of_memory;
        }
        con.error("cannot open the input file %s: %s", cl.input_name.c_str(), std::strerror(e));
        return exit_input_not_openable;
    }
    // A file the system reports as empty may still yield bytes (those under
    // /proc do): it is read as a stream, as a pipe is.
    const input_source source{input.stream, S_ISREG(input_info.st_mode) && input_info.st_size > 0,
                              static_cast<long long>(input_info.st_size)};

    // Never write over the input, by the same name or by another path to the
    // same file (a symbolic or a hard link, or standard output redirected to it).
    const file_identity input_identity = identity_of_descriptor(fileno(input.stream));
    const bool output_is_input =
        audio_on_stdout ? S_ISREG(input_info.st_mode) && same_file(identity_of_descriptor(audio_fd), input_identity)
                        : (!input_is_stdin && cl.output_name == cl.input_name) ||
                              same_file(identity_of_name(cl.output_name), input_identity);
    if (output_is_input) {
        con.remark("The output file is the input file.\r\n");
        return exit_output_is_input;
    }

    const std::unique_ptr<output_sink> output =
        audio_on_stdout ? make_descriptor_output(audio_fd) : make_file_output(cl.output_name, cl.force);
    shaper_state state;
    init_state(&state);
    conversion_options options;
    options.align = cl.align;
    const int code = convert_stream(&state, source, options, output.get(), &con);
    if (cl.quiet || audio_on_stdout) return code;
    return check_standard_output(code, closed_at_start, code == exit_ok ? "; the output file is complete" : "");
}

}  // namespace

int run_converter(int argc, char** argv) {
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
    } catch (const std::bad_alloc&) {
        // Everything the run had made is gone by now (the temporary output is
        // removed as the stack unwinds).
        std::fputs("pcmtaper: out of memory\n", stderr);
        return exit_out_of_memory;
    }
}
