#include "driver.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "pcmtaper/pcmtaper.h"

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
    pcmtaper_kernel_level kernel_level;
    if (const int refused = kernel_level_from_environment(&kernel_level); refused != exit_ok) return refused;
    install_signal_handlers();
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
    const bool text_on_stderr = audio_on_stdout || stdout_file_named;
    file_conversion job = file_conversion_for(cl, cl.input_name, cl.output_name, cl.output_named);
    job.options.kernel_level = kernel_level;
    job.output_path = stdout_file_named ? resolved_link(cl.output_name) : cl.output_name;
    job.options.threads = cl.jobs != 0 ? cl.jobs : processors_available();
    job.stdout_closed_at_start = (closed_at_start & stdout_closed_bit) != 0;
    job.audio_on_stdout = audio_on_stdout;
    if (text_on_stderr) {
        job.audio_fd = move_standard_output_aside(cl.quiet);
        setvbuf(stdout, nullptr, _IOLBF, 0);  // keeps its lines in order with standard error's
        if (!audio_on_stdout) {
            close_descriptor(job.audio_fd);
            job.audio_fd = -1;
        }
    } else if (cl.quiet) {
        silence_standard_output();
    }
    // Descriptor 1 leads to standard error now when text_on_stderr; the text
    // is written there directly, with standard error's line ends.
    console con(cl.quiet ? nullptr : text_on_stderr ? stderr : stdout, cl.quiet || text_on_stderr ? stderr : stdout,
                !cl.quiet && is_terminal(stderr_fd));
    const int code = convert_file(job, &con);
    if (cl.quiet || text_on_stderr) return code;
    return check_standard_output(code, closed_at_start, code == exit_ok ? "; the output file is complete" : "");
}

}  // namespace

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

file_conversion file_conversion_for(const command_line& cl, const std::string& input_name,
                                    const std::string& output_name, bool output_named) {
    file_conversion job;
    job.input_name = input_name;
    job.output_name = output_name;
    job.output_path = output_name;
    job.output_named = output_named;
    job.force = cl.force;
    job.quiet = cl.quiet;
    job.format = cl.format;
    job.options.align = cl.align;
    job.options.zero_dc = cl.zero_dc;
    job.options.keep_metadata = cl.keep_metadata;
    job.options.channel = cl.channel;
    job.options.gain_db = cl.gain_db;
    job.options.output_rate_hz = cl.output_rate_hz;
    job.options.normalize = cl.normalize;
    const std::string array_name = c_array_name(cl.c_name, output_name, input_name);
    job.options.format = {cl.format, array_name, c_header_guard(array_name, output_name, input_name), cl.c_attribute};
    return job;
}

int convert_file(const file_conversion& job, console* con) {
    file_to_commit pending = convert_file_until_commit(job, con);
    return commit_file(&pending, con);
}

int commit_file(file_to_commit* pending, console* con) {
    const int code = finish_conversion(pending->end, pending->output.get(), con);
    pending->output.reset();  // its directory closed, its entry in the registry of temporary files released
    return code;
}

namespace {

// A file that ended before its output was complete, or without one.
file_to_commit ended(int code) {
    file_to_commit done;
    done.end.exit_code = code;
    return done;
}

}  // namespace

file_to_commit convert_file_until_commit(const file_conversion& job, console* con) {
    if (job.quiet) con->set_remark_prefix("pcmtaper: " + job.input_name + ": ");
    con->info("%s\r\n", job.input_name.c_str());
    con->info("%s\r\n", job.output_name.c_str());
    if (job.refused_code != exit_ok) {
        con->error("%s", job.refusal.c_str());
        return ended(job.refused_code);
    }

    const bool input_is_stdin = job.input_name == "-";
    open_input input;
    input.is_standard_input = input_is_stdin;
    input.stream = input_is_stdin ? standard_input() : open_input_file(job.input_name);
    open_file_info input_info;
    if (input.stream == nullptr || !describe_open_file(input.stream, &input_info) || input_info.directory) {
        int e = input.stream != nullptr && input_info.directory ? EISDIR : errno;
        if (e == 0) e = EIO;  // never "Success" as the reason for a failure
        if (e == ENOMEM) {
            con->error("out of memory");
            return ended(exit_out_of_memory);
        }
        con->error("cannot open the input file %s: %s", job.input_name.c_str(), std::strerror(e));
        return ended(exit_input_not_openable);
    }
    const input_source source{input.stream, input_info.regular, input_info.size_bytes, job.input_name.c_str()};

    // Never write over the input, by the same name or by another path to the
    // same file (a symbolic or a hard link, or standard output redirected to it).
    const bool output_is_input =
        job.audio_on_stdout
            ? same_file(identity_of_descriptor(job.audio_fd), input_info.identity) && !is_terminal(job.audio_fd)
            : (!input_is_stdin && job.output_name == job.input_name) ||
                  same_file(identity_of_name(job.output_path), input_info.identity);
    if (output_is_input) {
        con->remark("The output file is the input file.\r\n");
        if (!job.output_named && !input_is_stdin && job.output_name == job.input_name)
            con->error("no output name can be derived from %s (that needs a full stop fourth from the end, as in "
                       "take1.wav); give the output name after it",
                       job.input_name.c_str());
        return ended(exit_output_is_input);
    }

    if (job.output_is_batch_stdout) {
        con->error("the output %s is standard output's file; with -b the audio goes to files only",
                   job.output_name.c_str());
        return ended(exit_output_not_openable);
    }
    // Standard output was closed when the program started: its descriptor is
    // the null device now, which must not silently take the audio.
    if (job.audio_on_stdout && job.stdout_closed_at_start) {
        con->error("standard output is closed; the audio needs a file or a pipe");
        return ended(exit_output_not_openable);
    }
    // The program's own name for this input's output: a file there is an
    // earlier output of it.
    const bool derived_name = !input_is_stdin && (job.batch_derived_name ||
                                                  job.output_name == derive_output_name(job.input_name, job.format));
    file_to_commit pending;
    pending.output = job.audio_on_stdout
                         ? make_descriptor_output(job.audio_fd)
                         : make_file_output({job.output_name, job.output_path, job.force, derived_name, job.format,
                                             input_key_of(job.input_name)});
    pending.end = convert_until_commit(source, job.options, pending.output.get(), con);
    return pending;
}

// Out of memory ends the run at once, from wherever the allocation failed:
// throwing needs memory too (the exception object), which may be just what
// is missing. Nothing of the output is left behind.
[[noreturn]] static void out_of_memory() {
    remove_temporary_output();
    std::fputs("pcmtaper: out of memory\n", stderr);
    std::_Exit(exit_out_of_memory);
}

namespace {

// A normalised conversion reads its input twice, which a pipe or a device
// cannot give: such an input is a usage error, found before any file is
// converted (standard input is refused with the command line). The error's
// text, or "".
std::string normalize_input_error(const command_line& cl) {
    if (!cl.normalize) return "";
    const std::vector<std::string> single{cl.input_name};
    for (const std::string& name : cl.batch ? cl.batch_inputs : single)
        if (names_stream(name))
            return "--normalize reads the input twice, and " + name +
                   " is not a regular file (a pipe or a device can be read only once)";
    return "";
}

}  // namespace

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
            case cli_action::convert:
                if (const std::string error = normalize_input_error(cl); !error.empty()) {
                    print_usage_error(stderr, error);
                    return exit_usage;
                }
                return cl.batch ? run_batch(cl, closed_at_start) : convert(cl, closed_at_start);
        }
        return check_standard_output(exit_ok, closed_at_start, "");
    } catch (const std::bad_alloc&) {  // an allocation that bypassed the handler
        out_of_memory();
    }
}
