// The sample-rate converter (resampler.h; doc/resampler.md has the design and
// its measured quality and speed).
//
// Every value is formed by IEEE double operations in the order written here,
// and sin is the program's correctly rounded one: the filters, and so the
// output, are the same bits on every platform. Positions are integers.
#include "resample/resampler.h"

#include <cmath>
#include <cstring>
#include <numeric>

#include "internal/constants.h"
#include "internal/math_calls.h"

namespace pcmtaper {

namespace {

// An inner product in `sums` partial sums (tap i into sum i mod sums, in
// increasing i), then added pairwise at distances sums/2 .. 1.
template <int sums>
double dot_in_sums(const double* coefs, const double* samples, int taps) {
    double partial[sums];
    for (int l = 0; l < sums; ++l) partial[l] = coefs[l] * samples[l];
    for (int i = sums; i < taps; i += sums)
        for (int l = 0; l < sums; ++l) partial[l] = partial[l] + coefs[i + l] * samples[i + l];
    for (int n = sums / 2; n >= 1; n /= 2)
        for (int l = 0; l < n; ++l) partial[l] = partial[l] + partial[l + n];
    return partial[0];
}

}  // namespace

double resample_dot_reference(const double* coefs, const double* samples, int taps) {
    return dot_in_sums<resample_partial_sums>(coefs, samples, taps);
}

void resample_halve_reference(const double* taps, int tap_count, const double* odd, const double* even, double* out,
                              int count) {
    for (int j = 0; j < count; ++j)
        out[j] = dot_in_sums<halving_partial_sums>(taps, odd + j, tap_count) + 0.5 * even[j];
}

void resample_fft_forward_reference(double* re, double* im, const double* twiddle_re, const double* twiddle_im,
                                    int size) {
    for (int m = size / 2; m >= 1; m /= 2) {
        const double* wr = twiddle_re + (m - 1);
        const double* wi = twiddle_im + (m - 1);
        for (int g = 0; g < size; g += 2 * m)
            for (int j = 0; j < m; ++j) {
                const double ar = re[g + j], ai = im[g + j], br = re[g + j + m], bi = im[g + j + m];
                re[g + j] = ar + br;
                im[g + j] = ai + bi;
                const double dr = ar - br, di = ai - bi;
                re[g + j + m] = dr * wr[j] - di * wi[j];
                im[g + j + m] = dr * wi[j] + di * wr[j];
            }
    }
}

void resample_fft_inverse_reference(double* re, double* im, const double* twiddle_re, const double* twiddle_im,
                                    int size) {
    for (int m = 1; m < size; m *= 2) {
        const double* wr = twiddle_re + (m - 1);
        const double* wi = twiddle_im + (m - 1);
        for (int g = 0; g < size; g += 2 * m)
            for (int j = 0; j < m; ++j) {
                // b times the conjugate twiddle.
                const double br = re[g + j + m] * wr[j] + im[g + j + m] * wi[j];
                const double bi = im[g + j + m] * wr[j] - re[g + j + m] * wi[j];
                const double ar = re[g + j], ai = im[g + j];
                re[g + j] = ar + br;
                im[g + j] = ai + bi;
                re[g + j + m] = ar - br;
                im[g + j + m] = ai - bi;
            }
    }
}

void resample_convolve_reference(double* re, double* im, const double* gains, const double* twiddle_re,
                                 const double* twiddle_im, int size) {
    resample_fft_forward_reference(re, im, twiddle_re, twiddle_im, size);
    for (int k = 0; k < size; ++k) {
        re[k] = re[k] * gains[k];
        im[k] = im[k] * gains[k];
    }
    resample_fft_inverse_reference(re, im, twiddle_re, twiddle_im, size);
}

bool resampler_config_valid(const resampler_config& config) {
    return config.in_rate_hz >= resampler_min_in_rate_hz && config.in_rate_hz <= resampler_max_in_rate_hz &&
           config.out_rate_hz >= resampler_min_out_rate_hz && config.out_rate_hz <= resampler_max_out_rate_hz;
}

namespace {

// ---- filter design --------------------------------------------------------------

// Stopband attenuation the Kaiser windows are designed for, in dB. The
// measured floor is 120 dB and more (doc/resampler.md): the design keeps a
// margin for the per-phase normalisation, which moves each phase's gain by
// about the stopband ripple.
constexpr double design_attenuation_db = 123.5;
// A filter whose length is rounded up (to a multiple of the partial sums)
// spends the extra taps on more attenuation, up to this: the images that the
// short polyphase stage after the steep one lets through are then far below
// the steep stage's floor.
constexpr double max_attenuation_db = 170.0;
// The polyphase stage's passband ends at 0.95 of the lower Nyquist frequency
// and its stopband starts there: the transition is 0.025 of the lower rate.
constexpr double passband_fraction = 0.95;

// I0, the modified Bessel function of the first kind of order 0, by its power
// series sum ((x/2)^k / k!)^2, in increasing k. Once k > x/2 the terms fall;
// once a term is below 2^-54 of the sum, it and all after it are below half
// the sum's last place and change nothing, so the loop stops there with the
// value of the whole series in double.
double bessel_i0(double x) {
    const double half = x * 0.5;
    const double quarter_square = half * half;
    double term = 1.0, sum = 1.0;
    for (int k = 1; k < 200; ++k) {
        term = term * quarter_square / (static_cast<double>(k) * static_cast<double>(k));
        sum = sum + term;
        if (static_cast<double>(k) > half && term < sum * 0x1p-54) break;
    }
    return sum;
}

// The Kaiser window of a filter of `length` taps whose transition is `width`
// cycles per sample wide: the attenuation those taps reach (Kaiser's
// estimate), at least the design's and at most max_attenuation_db.
struct kaiser_window {
    double beta, i0_of_beta;

    kaiser_window(double length, double width, double margin_db = 0.0) {
        double attenuation_db = 2.285 * 2.0 * pi * width * (length - 1.0) + 7.95;
        if (attenuation_db < design_attenuation_db + margin_db) attenuation_db = design_attenuation_db + margin_db;
        if (attenuation_db > max_attenuation_db) attenuation_db = max_attenuation_db;
        beta = 0.1102 * (attenuation_db - 8.7);
        i0_of_beta = bessel_i0(beta);
    }
    // At u = t / half_length, |u| <= 1.
    double at(double u) const { return bessel_i0(beta * std::sqrt(1.0 - u * u)) / i0_of_beta; }
};

// Taps a Kaiser-windowed filter needs for a transition of `width` cycles per
// sample (Kaiser's estimate).
double kaiser_length(double width, double attenuation_db = design_attenuation_db) {
    return (attenuation_db - 7.95) / (2.285 * 2.0 * pi * width) + 1.0;
}

// The halving stages' filters are short, where Kaiser's estimate is
// optimistic by a few dB: they are designed for this much more.
constexpr double halving_margin_db = 6.0;

// The least whole number >= x, for 0 <= x < 2^31 (kept out of libm's ceil,
// so that the library needs nothing of libm: a static link with -Bstatic
// takes glibc's libm.a, which does not link beside a shared libc).
int ceiling(double x) {
    const int whole = static_cast<int>(x);
    return static_cast<double>(whole) < x ? whole + 1 : whole;
}

// (Lengths beyond 2^28 are cut there: no plan that costs that much is chosen.)
int round_up_to(double taps, int multiple) {
    const int whole = taps < 268435456.0 ? ceiling(taps) : 268435456;
    return (whole + multiple - 1) / multiple * multiple;
}

// Where the transition of a polyphase or fast-convolution low-pass lies, in
// cycles per sample of its input: `cutoff` its middle, `width` its extent.
struct transition {
    double cutoff, width;
};

// A coefficient array whose first element is 64-byte aligned.
class aligned_doubles {
  public:
    void resize(std::size_t count) {
        storage_.assign(count + 8, 0.0);
        const auto address = reinterpret_cast<std::uintptr_t>(storage_.data());
        data_ = storage_.data() + ((64 - address % 64) % 64) / sizeof(double);
    }
    double* data() { return data_; }
    const double* data() const { return data_; }

  private:
    std::vector<double> storage_;
    double* data_ = nullptr;
};

// A window on a stream of samples by absolute index; indices below 0 are
// zeros put in at the start.
class sample_queue {
  public:
    void reset(int leading_zeros) {
        data_.assign(static_cast<std::size_t>(leading_zeros), 0.0);
        start_ = 0;
        first_index_ = -leading_zeros;
    }
    void push(double x) { data_.push_back(x); }
    // Room for `count` more samples at the end, to be written by the caller.
    double* grow(std::size_t count) {
        data_.resize(data_.size() + count);
        return data_.data() + data_.size() - count;
    }
    void append(const double* x, std::size_t count) { data_.insert(data_.end(), x, x + count); }
    // One past the index of the last sample in.
    std::int64_t end() const {
        return first_index_ + static_cast<std::int64_t>(data_.size()) - static_cast<std::int64_t>(start_);
    }
    const double* at(std::int64_t index) const { return data_.data() + start_ + (index - first_index_); }
    double operator[](std::int64_t index) const { return *at(index); }
    // Samples before `index` are no longer needed.
    void drop_before(std::int64_t index) {
        const std::int64_t unused = index - first_index_;
        if (unused <= 0) return;
        start_ += static_cast<std::size_t>(unused);
        first_index_ = index;
        if (start_ >= 4096 && start_ * 2 >= data_.size()) {
            data_.erase(data_.begin(), data_.begin() + static_cast<std::ptrdiff_t>(start_));
            start_ = 0;
        }
    }

  private:
    std::vector<double> data_;
    std::size_t start_ = 0;         // where first_index_ is in data_
    std::int64_t first_index_ = 0;  // absolute index of data_[start_]
};

using dot_fn = double (*)(const double* coefs, const double* samples, int taps);
using halve_fn = void (*)(const double* taps, int tap_count, const double* odd, const double* even, double* out,
                          int count);
using convolve_fn = void (*)(double* re, double* im, const double* gains, const double* twiddle_re,
                            const double* twiddle_im, int size);

// Halving by a half-band filter: output j = x[2j] / 2 + the odd taps' inner
// product with x[2j - 2q + 1], x[2j - 2q + 3] .. x[2j + 2q - 1]. Its cutoff is
// a quarter of its input rate, so the even taps but the centre are zero and
// the odd input samples are kept in a queue of their own. Passband and
// stopband lie symmetrically about the cutoff: flat up to out/2, and nothing
// from R/2 - out/2 on, the band that would fold onto 0..out/2.
struct halving_stage {
    int q = 0;  // odd taps on each side; 2q is a multiple of halving_partial_sums
    aligned_doubles taps;
    sample_queue even, odd;  // x[2m] and x[2m + 1] at index m
    std::int64_t received = 0, produced = 0;

    // Odd taps per side for a stage from rate R = in / 2^s, where out_over_rate = out / R.
    static int side_taps_for(double out_over_rate) {
        const double length = kaiser_length(0.5 - out_over_rate, design_attenuation_db + halving_margin_db);
        // The taps -(2q - 1) .. 2q - 1 make 4q - 1 >= length.
        return round_up_to((length + 1.0) * 0.5, halving_partial_sums) / 2;
    }

    void design(int side_taps, double out_over_rate) {
        q = side_taps;
        const kaiser_window window(4.0 * q - 1.0, 0.5 - out_over_rate, halving_margin_db);
        taps.resize(static_cast<std::size_t>(2 * q));
        double sum = 0.0;
        for (int r = 0; r < 2 * q; ++r) {
            const int i = 2 * q - 1 - 2 * r;  // the odd tap this entry is
            const int distance = i < 0 ? -i : i;
            // sin(pi i / 2) / (pi i / 2) up to a constant factor, which the
            // normalisation takes out: +-1 / |i|.
            const double sinc = (distance % 4 == 1 ? 1.0 : -1.0) / static_cast<double>(distance);
            const double value =
                sinc * window.at(static_cast<double>(distance) / static_cast<double>(2 * q));
            taps.data()[r] = value;
            sum = sum + value;
        }
        // The odd taps add up to 1/2, the centre tap is 1/2: unit gain at 0 Hz.
        for (int r = 0; r < 2 * q; ++r) taps.data()[r] = taps.data()[r] / (sum + sum);
    }

    void reset() {
        even.reset(0);
        odd.reset(q);
        received = produced = 0;
    }

    void run(const double* in, std::size_t count, std::vector<double>* out, halve_fn halve) {
        std::size_t i = 0;
        if ((received & 1) != 0 && count > 0) odd.push(in[i++]);
        const std::size_t pairs = (count - i) / 2;
        double* evens = even.grow(pairs);
        double* odds = odd.grow(pairs);
        for (std::size_t p = 0; p < pairs; ++p, i += 2) {
            evens[p] = in[i];
            odds[p] = in[i + 1];
        }
        if (i < count) even.push(in[i]);
        received += static_cast<std::int64_t>(count);
        std::int64_t ready = odd.end() - q + 1;  // output j reads odd inputs up to j + q - 1
        if (ready > even.end()) ready = even.end();
        if (ready > produced) {
            const std::size_t first = out->size();
            const auto count = static_cast<std::size_t>(ready - produced);
            out->resize(first + count);
            halve(taps.data(), 2 * q, odd.at(produced - q), even.at(produced), out->data() + first,
                  static_cast<int>(count));
            produced = ready;
        }
        even.drop_before(produced);
        odd.drop_before(produced - q);
    }
};

// Output k at input time k * down / up (= base + phase / up): the inner
// product of row `phase` of the table with the taps samples from
// base - taps/2 + 1 on. With an interpolated table, of interpolated_phases + 1
// rows for the fractions 0, 1/P .. 1, the output is a + f * (b - a), a and b
// the products with the rows on either side and f the exact position between
// them rounded once.
struct polyphase_stage {
    std::int64_t up = 1, down = 1;
    std::int64_t down_whole = 1, down_part = 0;  // down = down_whole * up + down_part
    bool exact = true;
    int taps = 0;
    aligned_doubles table;
    sample_queue in;
    std::int64_t produced = 0, base = 0, phase = 0;

    static int taps_for(double cutoff_width) { return round_up_to(kaiser_length(cutoff_width), resample_partial_sums); }

    // cutoff: the middle of the transition in cycles per input sample.
    void design(std::int64_t up_factor, std::int64_t down_factor, int tap_count, transition band) {
        up = up_factor;
        down = down_factor;
        down_whole = down / up;
        down_part = down % up;
        taps = tap_count;
        exact = up <= max_exact_phases;
        const std::int64_t denominator = exact ? up : interpolated_phases;
        const std::int64_t rows = exact ? up : interpolated_phases + 1;
        table.resize(static_cast<std::size_t>(rows * taps));
        // The filter at |t| = steps / denominator, steps = 0 .. denominator * taps/2.
        const std::int64_t half_steps = denominator * (taps / 2);
        std::vector<double> filter(static_cast<std::size_t>(half_steps + 1));
        const double radians_per_step = 2.0 * pi * band.cutoff / static_cast<double>(denominator);
        const kaiser_window window(static_cast<double>(taps), band.width);
        for (std::int64_t steps = 0; steps <= half_steps; ++steps) {
            const double angle = static_cast<double>(steps) * radians_per_step;
            const double sinc = steps == 0 ? 1.0 : math_sin(angle) / angle;
            filter[static_cast<std::size_t>(steps)] =
                sinc * window.at(static_cast<double>(steps) / static_cast<double>(half_steps));
        }
        for (std::int64_t r = 0; r < rows; ++r) {
            double* row = table.data() + r * taps;
            double sum = 0.0;
            for (int i = 0; i < taps; ++i) {
                // Row r, tap i is the filter at t = r / denominator + taps/2 - 1 - i:
                // by |t|, so that the filter is even bit for bit.
                const std::int64_t steps = r + (taps / 2 - 1 - i) * denominator;
                row[i] = filter[static_cast<std::size_t>(steps < 0 ? -steps : steps)];
                sum = sum + row[i];
            }
            // Every phase has unit gain at 0 Hz: a constant stays constant.
            for (int i = 0; i < taps; ++i) row[i] = row[i] / sum;
        }
    }

    void reset() {
        in.reset(taps / 2 - 1);
        produced = base = phase = 0;
    }

    void run(const double* x, std::size_t count, std::vector<double>* out, dot_fn dot, std::int64_t limit) {
        in.append(x, count);
        while (produced < limit && base + taps / 2 < in.end()) {
            const double* window = in.at(base - taps / 2 + 1);
            double y;
            if (exact) {
                y = dot(table.data() + phase * taps, window, taps);
            } else {
                const std::int64_t scaled = phase * interpolated_phases;
                const std::int64_t row = scaled / up;
                const double fraction = static_cast<double>(scaled % up) / static_cast<double>(up);
                const double a = dot(table.data() + row * taps, window, taps);
                const double b = dot(table.data() + (row + 1) * taps, window, taps);
                y = a + fraction * (b - a);
            }
            out->push_back(y);
            ++produced;
            base += down_whole;
            phase += down_part;
            if (phase >= up) {
                phase -= up;
                ++base;
            }
        }
        in.drop_before(base - taps / 2 + 1);
    }
};

// The steep low-pass of a downsampling plan, by fast convolution: output n is
// the sum of h[i] x[n + i], i = -H..H, computed two blocks of B outputs at a
// time from one complex transform of n_fft = B + 2H points, the first block's
// inputs as its real part and the second's as its imaginary part (the filter
// is real, so the two come out apart again: real part and imaginary part).
// Block pairs stand at fixed positions in the stream, so that every output
// comes from the same operations whatever the calls.
//
// The transforms (resample_convolve_reference) leave the spectrum in
// bit-reversed order, where the products with the filter's spectrum are
// taken; no reordering pass is needed.
struct fft_stage {
    int size = 0, half_taps = 0, block = 0;
    aligned_doubles twiddle_re, twiddle_im;  // stage of half-size m at offset m - 1: e^(-i pi j / m), j < m
    aligned_doubles spectrum;                // the filter's transform / size, bit-reversed order (real)
    aligned_doubles re, im;
    sample_queue in;
    std::int64_t produced = 0;

    static int size_for(int half_taps) {
        int size = 64;
        while (size < 4 * half_taps + 4) size *= 2;
        return size;
    }

    // cutoff: the middle of the transition in cycles per sample.
    void design(int taps_each_side, transition band) {
        half_taps = taps_each_side;
        size = size_for(half_taps);
        block = size - 2 * half_taps;
        twiddle_re.resize(static_cast<std::size_t>(size));
        twiddle_im.resize(static_cast<std::size_t>(size));
        for (int m = 1; m < size; m *= 2)
            for (int j = 0; j < m; ++j) {
                const double angle = pi * static_cast<double>(j) / static_cast<double>(m);
                twiddle_re.data()[m - 1 + j] = math_cos(angle);
                twiddle_im.data()[m - 1 + j] = -math_sin(angle);
            }
        // The filter, even in i, unit sum (in increasing i), wrapped around index 0.
        std::vector<double> h(static_cast<std::size_t>(half_taps + 1));
        const kaiser_window window(2.0 * half_taps + 1.0, band.width);
        for (int i = 0; i <= half_taps; ++i) {
            const double angle = 2.0 * pi * band.cutoff * static_cast<double>(i);
            const double sinc = i == 0 ? 1.0 : math_sin(angle) / angle;
            h[static_cast<std::size_t>(i)] =
                sinc * window.at(static_cast<double>(i) / static_cast<double>(half_taps));
        }
        double sum = 0.0;
        for (int i = -half_taps; i <= half_taps; ++i) sum = sum + h[static_cast<std::size_t>(i < 0 ? -i : i)];
        re.resize(static_cast<std::size_t>(size));
        im.resize(static_cast<std::size_t>(size));
        for (int i = 0; i <= half_taps; ++i) {
            const double value = h[static_cast<std::size_t>(i)] / sum;
            re.data()[i] = value;
            if (i > 0) re.data()[size - i] = value;
        }
        resample_fft_forward_reference(re.data(), im.data(), twiddle_re.data(), twiddle_im.data(), size);
        // An even real filter has a real spectrum; its imaginary parts are
        // rounding only and are left out.
        spectrum.resize(static_cast<std::size_t>(size));
        for (int k = 0; k < size; ++k) spectrum.data()[k] = re.data()[k] / static_cast<double>(size);
    }

    void reset() {
        in.reset(half_taps);
        produced = 0;
    }

    void run(const double* x, std::size_t count, std::vector<double>* out, convolve_fn convolve) {
        in.append(x, count);
        while (in.end() >= produced + 2 * block + half_taps) {
            std::memcpy(re.data(), in.at(produced - half_taps), sizeof(double) * static_cast<std::size_t>(size));
            std::memcpy(im.data(), in.at(produced + block - half_taps), sizeof(double) * static_cast<std::size_t>(size));
            convolve(re.data(), im.data(), spectrum.data(), twiddle_re.data(), twiddle_im.data(), size);
            out->insert(out->end(), re.data() + half_taps, re.data() + half_taps + block);
            out->insert(out->end(), im.data() + half_taps, im.data() + half_taps + block);
            produced += 2 * block;
            in.drop_before(produced - half_taps);
        }
    }
};

// The polyphase stage alone cuts at the lower Nyquist frequency: passband to
// 0.95 of it, stopband from it. After the steep low-pass it only has to
// remove the images of its input's band, from rate - out/2 on.
transition polyphase_transition(double out_over_in, bool after_steep) {
    const double lower = out_over_in < 1.0 ? out_over_in : 1.0;
    const double pass = passband_fraction * 0.5 * lower;
    const double stop = after_steep ? 1.0 - 0.5 * out_over_in : 0.5 * lower;
    return {(pass + stop) * 0.5, stop - pass};
}

// A plan's stages and their cost.
struct stage_choice {
    std::vector<int> side_taps;  // each halving stage's q
    int steep_half_taps = 0;     // 0: no steep stage
    int taps = 0;
    bool exact = true;
    double cost = 0.0;  // multiplications (or their equivalent in transforms) per input sample
};

// A transform's butterfly costs about 4 multiplications of an inner product
// (measured at the AVX-512 level: the narrow butterflies of the last stages
// run fewer lanes wide, the inner products of 32 taps not).
constexpr double butterfly_cost = 4.0;

stage_choice choose_stages(std::int64_t in, std::int64_t out, int halvings, bool steep) {
    stage_choice c;
    for (int s = 0; s < halvings; ++s) {
        const double out_over_rate = static_cast<double>(out << s) / static_cast<double>(in);
        const int q = halving_stage::side_taps_for(out_over_rate);
        c.side_taps.push_back(q);
        c.cost = c.cost + static_cast<double>(2 * q) / static_cast<double>(std::int64_t{2} << s);
    }
    const std::int64_t stage_out = out << halvings;  // the polyphase stage's in/out is in / stage_out
    const double out_over_in = static_cast<double>(stage_out) / static_cast<double>(in);
    const double stage_in_per_in = 1.0 / static_cast<double>(std::int64_t{1} << halvings);
    if (steep) {
        const transition t = polyphase_transition(out_over_in, false);
        const double length = kaiser_length(t.width);
        if (length > 65536.0) {  // far too long to pay: never the cheapest
            c.cost = HUGE_VAL;
            return c;
        }
        c.steep_half_taps = ceiling((length - 1.0) * 0.5);
        const int size = fft_stage::size_for(c.steep_half_taps);
        const int block = size - 2 * c.steep_half_taps;
        int log2_size = 0;
        while ((1 << log2_size) < size) ++log2_size;
        // Two transforms of size / 2 * log2 butterflies and 2 * size products per 2 * block outputs.
        const double per_sample =
            (static_cast<double>(size) * log2_size * butterfly_cost + 2.0 * size) / (2.0 * block);
        c.cost = c.cost + per_sample * stage_in_per_in;
    }
    c.taps = polyphase_stage::taps_for(polyphase_transition(out_over_in, steep).width);
    const std::int64_t g = std::gcd(in, stage_out);
    c.exact = stage_out / g <= max_exact_phases;
    const double per_output = static_cast<double>(c.exact ? c.taps : 2 * c.taps);
    c.cost = c.cost + per_output * static_cast<double>(out) / static_cast<double>(in);
    return c;
}

}  // namespace

resampler_plan plan_resampler(const resampler_config& config) {
    resampler_plan plan{};
    const std::int64_t in = config.in_rate_hz, out = config.out_rate_hz;
    plan.identity = in == out;
    if (plan.identity) {
        plan.up = plan.down = 1;
        plan.exact_phases = true;
        return plan;
    }
    // The plan that costs least: halvings (each must leave more than twice
    // the output rate before it: a transition above zero width), then, going
    // down, with or without the steep stage.
    int best_halvings = 0;
    stage_choice best = choose_stages(in, out, 0, false);
    for (int halvings = 0; (out << halvings) < in; ++halvings)
        for (const bool steep : {false, true}) {
            const stage_choice c = choose_stages(in, out, halvings, steep);
            if (c.cost < best.cost) {
                best = c;
                best_halvings = halvings;
            }
        }
    plan.halving_stages = best_halvings;
    for (int q : best.side_taps) plan.halving_taps.push_back(2 * q);
    plan.steep_taps = best.steep_half_taps == 0 ? 0 : 2 * best.steep_half_taps + 1;
    plan.steep_transform_size = best.steep_half_taps == 0 ? 0 : fft_stage::size_for(best.steep_half_taps);
    const std::int64_t stage_out = out << best_halvings;
    const std::int64_t g = std::gcd(in, stage_out);
    plan.up = stage_out / g;
    plan.down = in / g;
    plan.exact_phases = best.exact;
    plan.phases = static_cast<int>(best.exact ? plan.up : interpolated_phases);
    plan.taps = best.taps;
    // An output needs the polyphase stage's input up to taps/2 past its time;
    // the steep stage's output n, its input up to n + 2 * block - 1 + H (the
    // last of its block pair); a halving stage's output j, its input up to
    // 2j + 2q - 1.
    std::int64_t lookahead = best.taps / 2;
    if (best.steep_half_taps > 0)
        lookahead += 2 * (plan.steep_transform_size - 2 * best.steep_half_taps) - 1 + best.steep_half_taps;
    lookahead *= std::int64_t{1} << best_halvings;
    for (int s = 0; s < best_halvings; ++s) lookahead += (std::int64_t{1} << s) * (2 * best.side_taps[s] - 1);
    plan.lookahead_in = lookahead;
    plan.macs_per_output = best.cost * static_cast<double>(in) / static_cast<double>(out);
    return plan;
}

struct resampler::state {
    resampler_config config;
    resampler_plan plan;
    dot_fn dot;
    halve_fn halve;
    convolve_fn convolve;
    std::vector<halving_stage> halvings;
    bool has_steep = false;
    fft_stage steep;
    polyphase_stage last;
    std::vector<std::vector<double>> between;  // each halving stage's output, reused
    std::vector<double> steep_out;
    std::uint64_t received = 0;                // input samples of this stream

    // Runs samples through the stages from `first` (halving stages first,
    // then at index halvings.size() the steep stage if any and the polyphase
    // one), the polyphase one giving at most `limit` outputs in all.
    void push(std::size_t first, const double* in, std::size_t count, std::vector<double>* out,
              std::int64_t limit) {
        const double* data = in;
        std::size_t size = count;
        for (std::size_t s = first; s < halvings.size(); ++s) {
            between[s].clear();
            halvings[s].run(data, size, &between[s], halve);
            data = between[s].data();
            size = between[s].size();
        }
        if (has_steep) {
            steep_out.clear();
            steep.run(data, size, &steep_out, convolve);
            data = steep_out.data();
            size = steep_out.size();
        }
        last.run(data, size, out, dot, limit);
    }

    // Ends the stream as if zeros followed it for ever. A halving stage's
    // output whose inputs are all those zeros is +0 exactly (a sum of signed
    // zeros, plus +0), the zero that follows the next stage's input: so each
    // stage in turn is given zeros only until its outputs stop depending on
    // anything else, and the next stage's zeros start there.
    void end_stream(std::vector<double>* out) {
        static const std::vector<double> zeros(4096, 0.0);
        const std::int64_t total = expected_outputs();
        for (std::size_t s = 0; s < halvings.size(); ++s) {
            halving_stage& h = halvings[s];
            // Output j reads input from 2j - 2q + 1 on.
            const std::int64_t wanted = h.received == 0 ? 0 : (h.received + 2 * h.q - 2) / 2 + 1;
            while (h.produced < wanted) {
                const std::int64_t missing = 2 * (wanted - h.produced) + 2 * h.q;
                const std::size_t n = missing < 4096 ? static_cast<std::size_t>(missing) : zeros.size();
                push(s, zeros.data(), n, out, total);
            }
        }
        while (last.produced < total) push(halvings.size(), zeros.data(), zeros.size(), out, total);
    }

    // round(N * out / in), ties up, without overflow: N = whole * in + part.
    std::int64_t expected_outputs() const {
        const auto in = static_cast<std::uint64_t>(config.in_rate_hz);
        const auto out = static_cast<std::uint64_t>(config.out_rate_hz);
        const std::uint64_t whole = received / in, part = received % in;
        return static_cast<std::int64_t>(whole * out + (2 * part * out + in) / (2 * in));
    }

    void reset() {
        for (halving_stage& h : halvings) h.reset();
        if (has_steep) steep.reset();
        if (!plan.identity) last.reset();
        received = 0;
    }
};

std::unique_ptr<resampler> resampler::create(const resampler_config& config, const kernel_table& kernels) {
    if (!resampler_config_valid(config)) return nullptr;
    auto s = std::make_unique<state>();
    s->config = config;
    s->plan = plan_resampler(config);
    s->dot = kernels.resample_dot;
    s->halve = kernels.resample_halve;
    s->convolve = kernels.resample_convolve;
    if (!s->plan.identity) {
        s->halvings.resize(static_cast<std::size_t>(s->plan.halving_stages));
        s->between.resize(s->halvings.size());
        for (std::size_t h = 0; h < s->halvings.size(); ++h)
            s->halvings[h].design(s->plan.halving_taps[h] / 2,
                                  static_cast<double>(config.out_rate_hz << h) / static_cast<double>(config.in_rate_hz));
        const std::int64_t stage_out = config.out_rate_hz << s->plan.halving_stages;
        const double out_over_in = static_cast<double>(stage_out) / static_cast<double>(config.in_rate_hz);
        s->has_steep = s->plan.steep_taps > 0;
        if (s->has_steep)
            s->steep.design(s->plan.steep_taps / 2, polyphase_transition(out_over_in, false));
        s->last.design(s->plan.up, s->plan.down, s->plan.taps, polyphase_transition(out_over_in, s->has_steep));
    }
    s->reset();
    return std::unique_ptr<resampler>(new resampler(std::move(s)));
}

resampler::resampler(std::unique_ptr<state> s) : s_(std::move(s)) {}
resampler::~resampler() = default;

void resampler::process(const double* in, std::size_t count, std::vector<double>* out) {
    if (s_->plan.identity) {
        out->insert(out->end(), in, in + count);
        return;
    }
    // In pieces, so that the stages' buffers stay small whatever the call.
    constexpr std::size_t piece = 8192;
    for (std::size_t done = 0; done < count; done += piece) {
        const std::size_t n = count - done < piece ? count - done : piece;
        s_->received += n;
        s_->push(0, in + done, n, out, INT64_MAX);
    }
}

void resampler::flush(std::vector<double>* out) {
    if (!s_->plan.identity) s_->end_stream(out);
    s_->reset();
}

void resampler::reset() { s_->reset(); }

std::int64_t resampler::latency() const {
    // round((lookahead + 1) * out / in): see doc/resampler.md for the bound.
    const std::int64_t in = s_->config.in_rate_hz, out = s_->config.out_rate_hz;
    if (s_->plan.identity) return 0;
    return ((s_->plan.lookahead_in + 1) * 2 * out + in) / (2 * in);
}

const resampler_plan& resampler::plan() const { return s_->plan; }

}  // namespace pcmtaper
