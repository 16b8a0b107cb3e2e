// The sample-rate converter: a linear-phase low-pass resampler on doubles
// whose output bits are the same on every processor, platform, kernel level,
// split of the input into calls and thread count.
//
// Output sample k stands at input time k * in / out (input samples): the
// filter's delay is taken off, so output 0 lines up with input 0, and a stream
// of N input samples gives round(N * out / in) output samples once flushed.
// The stream is zero before its first sample and after its last.
//
// How (doc/resampler.md): halving stages (half-band filters) bring a high
// input rate down where that costs less; going down, a steep low-pass by fast
// convolution may take the band edge, where that costs less; then one
// polyphase stage converts by the rest of the ratio. Its phase table is
// exact when the reduced ratio L/M has at most max_exact_phases phases, else
// it holds interpolated_phases phases and each output interpolates linearly
// between the two around its position (which is kept exactly, in integers).
// Every filter is a Kaiser-windowed sinc made with the program's correctly
// rounded sin; every inner product runs through the kernel table in one
// fixed order of operations (resample_dot_reference).
//
// Usage: auto r = resampler::create({48000, 11025});   // null: a rate out of range
//        std::vector<double> out;
//        r->process(samples, count, &out);   // appends what is ready, any number of times
//        r->flush(&out);                     // the rest; then ready for a new stream
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "internal/kernel_table.h"

namespace pcmtaper {

inline constexpr std::int64_t resampler_min_in_rate_hz = 1;
inline constexpr std::int64_t resampler_max_in_rate_hz = 2147483647;
inline constexpr std::int64_t resampler_min_out_rate_hz = 1000;
inline constexpr std::int64_t resampler_max_out_rate_hz = 384000;

// Phase tables: exact up to this many phases, else this many interpolated ones.
inline constexpr std::int64_t max_exact_phases = 1024;
inline constexpr std::int64_t interpolated_phases = 1024;

// Taps of every inner product are a multiple of this; resample_dot sums them
// into this many partial sums (tap i into sum i mod 32, in increasing i),
// then adds sum l + 16 onto sum l, l + 8 onto l, 4, 2 and 1, in that order.
inline constexpr int resample_partial_sums = 32;

// The inner product of `taps` coefficients and samples (taps a positive
// multiple of resample_partial_sums) in the order above: the definition that
// every kernel level's resample_dot follows bit for bit.
double resample_dot_reference(const double* coefs, const double* samples, int taps);

// A halving stage's outputs: out[j] = the inner product of its taps with
// odd + j in halving_partial_sums partial sums (as resample_dot_reference
// with 32), plus 0.5 * even[j], j < count; tap_count a positive multiple of 8.
inline constexpr int halving_partial_sums = 8;
void resample_halve_reference(const double* taps, int tap_count, const double* odd, const double* even, double* out,
                              int count);

// The fast convolution's transforms on `size` points (a power of two) in
// separate real and imaginary arrays, in place, radix 2: the forward one by
// decimation in frequency (natural order in, bit-reversed order out,
// e^(-2 pi i jk / size), unscaled), the inverse one by decimation in time
// (bit-reversed in, natural out, e^(+2 pi i jk / size), unscaled). The
// twiddles of the butterflies of half-size m are twiddle_*[m - 1 + j] =
// cos, -sin of pi j / m, j < m. Every butterfly's operations are in the
// order written here, the definition every level follows bit for bit.
void resample_fft_forward_reference(double* re, double* im, const double* twiddle_re, const double* twiddle_im,
                                    int size);
void resample_fft_inverse_reference(double* re, double* im, const double* twiddle_re, const double* twiddle_im,
                                    int size);
// The fast convolution's step (sizes of at least 8): the forward transform,
// each point times gains[k] (the filter's spectrum in bit-reversed order),
// then the inverse transform.
void resample_convolve_reference(double* re, double* im, const double* gains, const double* twiddle_re,
                                 const double* twiddle_im, int size);

struct resampler_config {
    std::int64_t in_rate_hz;   // resampler_min_in_rate_hz .. resampler_max_in_rate_hz
    std::int64_t out_rate_hz;  // resampler_min_out_rate_hz .. resampler_max_out_rate_hz
};

bool resampler_config_valid(const resampler_config& config);

// What the converter built for a pair of rates (for the documentation, the
// benchmark and the tests).
struct resampler_plan {
    bool identity;                        // equal rates: the samples pass unchanged
    int halving_stages;                   // half-band stages before the polyphase one
    std::vector<int> halving_taps;        // nonzero side taps of each (the centre tap aside)
    int steep_taps;                       // taps of the steep low-pass going down (0: none)
    int steep_transform_size;             // points of its transforms
    std::int64_t up, down;                // polyphase ratio: output k at its input time k * down / up
    bool exact_phases;                    // up <= max_exact_phases
    int phases;                           // rows of the phase table
    int taps;                             // taps per polyphase output
    std::int64_t lookahead_in;            // input samples past an output's time that it needs, at most
    double macs_per_output;               // multiplications per output sample, all stages (a butterfly as 4)
};

resampler_plan plan_resampler(const resampler_config& config);

class resampler {
  public:
    // Null when a rate is out of range. The inner products run at the level
    // of `kernels`; every level gives the same bits.
    static std::unique_ptr<resampler> create(const resampler_config& config,
                                             const kernel_table& kernels = best_kernels());
    ~resampler();
    resampler(const resampler&) = delete;
    resampler& operator=(const resampler&) = delete;

    // Takes `count` input samples and appends to *out the output samples
    // they complete. Any split of a stream into calls gives the same samples.
    void process(const double* in, std::size_t count, std::vector<double>* out);
    // Ends the stream: appends the output samples not yet given, up to
    // round(N * out / in) in all for N input samples, and starts a new stream.
    void flush(std::vector<double>* out);
    // Forgets the stream: the next sample is a new stream's first.
    void reset();
    // Output samples held back at most: a flush appends no more than this.
    std::int64_t latency() const;
    const resampler_plan& plan() const;

  private:
    struct state;
    explicit resampler(std::unique_ptr<state> s);
    std::unique_ptr<state> s_;
};

}  // namespace pcmtaper
