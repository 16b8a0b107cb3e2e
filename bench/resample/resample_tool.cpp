// Resamples raw 64-bit float samples (mono, native byte order) from standard
// input to standard output, with this program's resampler or, where the
// benchmark build found them, libsoxr and libsamplerate: the quality script
// (compare_resamplers.py) runs every method through it, and it times the
// conversion alone (CPU seconds of this thread, reading and writing left out).
//
// Usage: resample_tool [--level NAME] [--repeat N] METHOD IN_HZ OUT_HZ < in.f64 > out.f64
//   METHOD: pcmtaper, soxr-hq, soxr-vhq (libsoxr, one thread), src-best
//   (libsamplerate's best sinc, in 32-bit floats: its only sample type).
//   Prints "METHOD IN_HZ OUT_HZ: N samples in, M out, S cpu seconds" to standard error.
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "internal/kernel_table.h"
#include "resample/resampler.h"
#ifdef HAVE_SOXR
#include <soxr.h>
#endif
#ifdef HAVE_SAMPLERATE
#include <samplerate.h>
#endif

namespace {

using namespace pcmtaper;

double thread_seconds() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

[[noreturn]] void fail(const std::string& message) {
    std::fprintf(stderr, "resample_tool: %s\n", message.c_str());
    std::exit(1);
}

std::vector<double> run(const std::string& method, const kernel_table& kernels, long in_hz, long out_hz,
                        const std::vector<double>& in) {
    std::vector<double> out;
    if (method == "pcmtaper") {
        auto r = resampler::create({in_hz, out_hz}, kernels);
        if (!r) fail("rates out of range");
        out.reserve(static_cast<std::size_t>(static_cast<double>(in.size()) * out_hz / in_hz) + 16);
        r->process(in.data(), in.size(), &out);
        r->flush(&out);
        return out;
    }
#ifdef HAVE_SOXR
    if (method == "soxr-hq" || method == "soxr-vhq") {
        const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT64_I, SOXR_FLOAT64_I);
        const soxr_quality_spec_t quality = soxr_quality_spec(method == "soxr-hq" ? SOXR_HQ : SOXR_VHQ, 0);
        const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
        out.resize(static_cast<std::size_t>(static_cast<double>(in.size()) * out_hz / in_hz + 0.5));
        std::size_t done = 0;
        const soxr_error_t error = soxr_oneshot(static_cast<double>(in_hz), static_cast<double>(out_hz), 1, in.data(),
                                                in.size(), nullptr, out.data(), out.size(), &done, &io, &quality,
                                                &runtime);
        if (error) fail(error);
        out.resize(done);
        return out;
    }
#endif
#ifdef HAVE_SAMPLERATE
    if (method == "src-best") {
        std::vector<float> in_floats(in.begin(), in.end());
        std::vector<float> out_floats(static_cast<std::size_t>(static_cast<double>(in.size()) * out_hz / in_hz) + 16);
        SRC_DATA data{};
        data.data_in = in_floats.data();
        data.input_frames = static_cast<long>(in_floats.size());
        data.data_out = out_floats.data();
        data.output_frames = static_cast<long>(out_floats.size());
        data.src_ratio = static_cast<double>(out_hz) / static_cast<double>(in_hz);
        const int error = src_simple(&data, SRC_SINC_BEST_QUALITY, 1);
        if (error) fail(src_strerror(error));
        return std::vector<double>(out_floats.begin(), out_floats.begin() + data.output_frames_gen);
    }
#endif
    fail("unknown method, or not in this build: " + method);
}

}  // namespace

int main(int argc, char** argv) {
    kernel_level level = best_level();
    int repeat = 1;
    int a = 1;
    for (; a + 1 < argc && std::strncmp(argv[a], "--", 2) == 0; a += 2) {
        if (std::strcmp(argv[a], "--repeat") == 0) {
            repeat = std::atoi(argv[a + 1]);
        } else if (std::strcmp(argv[a], "--level") == 0) {
            bool found = false;
            for (const kernel_level_name& entry : kernel_level_names)
                if (std::strcmp(entry.name, argv[a + 1]) == 0) level = entry.level, found = true;
            if (!found || !machine_has(level)) fail(std::string("no such level here: ") + argv[a + 1]);
        } else {
            fail(std::string("unknown option ") + argv[a]);
        }
    }
    if (argc - a != 3 || repeat < 1) fail("usage: resample_tool [--level NAME] [--repeat N] METHOD IN_HZ OUT_HZ");
    const std::string method = argv[a];
    const long in_hz = std::atol(argv[a + 1]), out_hz = std::atol(argv[a + 2]);

    std::vector<double> in;
    double buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, sizeof(double), 4096, stdin)) > 0;) in.insert(in.end(), buffer, buffer + n);

    const kernel_table& kernels = kernels_for(level);
    std::vector<double> out;
    double best = 1e300;
    for (int r = 0; r < repeat; ++r) {
        const double start = thread_seconds();
        out = run(method, kernels, in_hz, out_hz, in);
        const double seconds = thread_seconds() - start;
        if (seconds < best) best = seconds;
    }
    if (std::fwrite(out.data(), sizeof(double), out.size(), stdout) != out.size()) fail("cannot write the output");
    std::fprintf(stderr, "%s%s%s %ld %ld: %zu samples in, %zu out, %.4f cpu seconds\n", method.c_str(),
                 method == "pcmtaper" ? " " : "", method == "pcmtaper" ? level_name(level) : "", in_hz, out_hz,
                 in.size(), out.size(), best);
    return 0;
}
