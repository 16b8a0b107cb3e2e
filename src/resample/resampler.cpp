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

double resample_dot_reference(const double* coefs, const double* samples, int taps) {
    double sums[resample_partial_sums];
    for (int l = 0; l < resample_partial_sums; ++l) sums[l] = coefs[l] * samples[l];
    for (int i = resample_partial_sums; i < taps; i += resample_partial_sums)
        for (int l = 0; l < resample_partial_sums; ++l) sums[l] = sums[l] + coefs[i + l] * samples[i + l];
    for (int n = resample_partial_sums / 2; n >= 1; n /= 2)
        for (int l = 0; l < n; ++l) sums[l] = sums[l] + sums[l + n];
    return sums[0];
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
constexpr double kaiser_beta = 0.1102 * (design_attenuation_db - 8.7);
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

// The Kaiser window at u = t / half_length, |u| <= 1.
double kaiser(double u, double i0_of_beta) {
    return bessel_i0(kaiser_beta * std::sqrt(1.0 - u * u)) / i0_of_beta;
}

// Taps a Kaiser-windowed filter needs for a transition of `width` cycles per
// sample (Kaiser's estimate).
double kaiser_length(double width) { return (design_attenuation_db - 7.95) / (2.285 * 2.0 * pi * width) + 1.0; }

// (Lengths beyond 2^28 are cut there: no plan that costs that much is chosen.)
int round_up_to_partial_sums(double taps) {
    const int whole = taps < 268435456.0 ? static_cast<int>(std::ceil(taps)) : 268435456;
    return (whole + resample_partial_sums - 1) / resample_partial_sums * resample_partial_sums;
}

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

// Halving by a half-band filter: output j = x[2j] / 2 + the odd taps' inner
// product with x[2j - 2q + 1], x[2j - 2q + 3] .. x[2j + 2q - 1]. Its cutoff is
// a quarter of its input rate, so the even taps but the centre are zero and
// the odd input samples are kept in a queue of their own. Passband and
// stopband lie symmetrically about the cutoff: flat up to out/2, and nothing
// from R/2 - out/2 on, the band that would fold onto 0..out/2.
struct halving_stage {
    int q = 0;  // odd taps on each side; 2q is a multiple of resample_partial_sums
    aligned_doubles taps;
    sample_queue even, odd;  // x[2m] and x[2m + 1] at index m
    std::int64_t received = 0, produced = 0;

    // Odd taps per side for a stage from rate R = in / 2^s, where out_over_rate = out / R.
    static int side_taps_for(double out_over_rate) {
        const double length = kaiser_length(0.5 - out_over_rate);
        // Window half-length 2q covers (length - 1) / 2 input samples each side.
        return round_up_to_partial_sums((length - 1.0) * 0.5) / 2;
    }

    void design(int side_taps, double i0_of_beta) {
        q = side_taps;
        taps.resize(static_cast<std::size_t>(2 * q));
        double sum = 0.0;
        for (int r = 0; r < 2 * q; ++r) {
            const int i = 2 * q - 1 - 2 * r;  // the odd tap this entry is
            const int distance = i < 0 ? -i : i;
            // sin(pi i / 2) / (pi i / 2) up to a constant factor, which the
            // normalisation takes out: +-1 / |i|.
            const double sinc = (distance % 4 == 1 ? 1.0 : -1.0) / static_cast<double>(distance);
            const double value =
                sinc * kaiser(static_cast<double>(distance) / static_cast<double>(2 * q), i0_of_beta);
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

    void run(const double* in, std::size_t count, std::vector<double>* out, dot_fn dot) {
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
            out->resize(first + static_cast<std::size_t>(ready - produced));
            double* y = out->data() + first;
            for (; produced < ready; ++produced)
                *y++ = dot(taps.data(), odd.at(produced - q), 2 * q) + 0.5 * even[produced];
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

    static int taps_for(double cutoff_width) { return round_up_to_partial_sums(kaiser_length(cutoff_width)); }

    // cutoff: the middle of the transition in cycles per input sample.
    void design(std::int64_t up_factor, std::int64_t down_factor, int tap_count, double cutoff, double i0_of_beta) {
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
        const double radians_per_step = 2.0 * pi * cutoff / static_cast<double>(denominator);
        for (std::int64_t steps = 0; steps <= half_steps; ++steps) {
            const double angle = static_cast<double>(steps) * radians_per_step;
            const double sinc = steps == 0 ? 1.0 : math_sin(angle) / angle;
            filter[static_cast<std::size_t>(steps)] =
                sinc * kaiser(static_cast<double>(steps) / static_cast<double>(half_steps), i0_of_beta);
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

// Multiplications per input sample of a plan with `halvings` halving stages
// (its side taps in *side_taps) and a polyphase stage of *taps taps.
double plan_cost(std::int64_t in, std::int64_t out, int halvings, std::vector<int>* side_taps, int* taps,
                 bool* exact) {
    side_taps->clear();
    double cost = 0.0;
    for (int s = 0; s < halvings; ++s) {
        const double out_over_rate = static_cast<double>(out << s) / static_cast<double>(in);
        const int q = halving_stage::side_taps_for(out_over_rate);
        side_taps->push_back(q);
        cost = cost + static_cast<double>(2 * q) / static_cast<double>(std::int64_t{2} << s);
    }
    const std::int64_t stage_out = out << halvings;  // the stage's in/out is in / stage_out
    const double out_over_in = static_cast<double>(stage_out) / static_cast<double>(in);
    const double width = (1.0 - passband_fraction) * 0.5 * (out_over_in < 1.0 ? out_over_in : 1.0);
    *taps = polyphase_stage::taps_for(width);
    const std::int64_t g = std::gcd(in, stage_out);
    *exact = stage_out / g <= max_exact_phases;
    const double per_output = static_cast<double>(*exact ? *taps : 2 * *taps);
    return cost + per_output * static_cast<double>(out) / static_cast<double>(in);
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
    // The number of halvings that costs least; each must leave more than
    // twice the output rate before it (a transition above zero width).
    int best_halvings = 0, taps = 0;
    bool exact = true;
    std::vector<int> side_taps;
    double best_cost = plan_cost(in, out, 0, &side_taps, &taps, &exact);
    for (int halvings = 1; (out << halvings) < in; ++halvings) {
        const double cost = plan_cost(in, out, halvings, &side_taps, &taps, &exact);
        if (cost < best_cost) {
            best_cost = cost;
            best_halvings = halvings;
        }
    }
    plan_cost(in, out, best_halvings, &side_taps, &taps, &exact);
    plan.halving_stages = best_halvings;
    plan.halving_taps.clear();
    for (int q : side_taps) plan.halving_taps.push_back(2 * q);
    const std::int64_t stage_out = out << best_halvings;
    const std::int64_t g = std::gcd(in, stage_out);
    plan.up = stage_out / g;
    plan.down = in / g;
    plan.exact_phases = exact;
    plan.phases = static_cast<int>(exact ? plan.up : interpolated_phases);
    plan.taps = taps;
    // An output needs the polyphase stage's input up to taps/2 past its time;
    // a halving stage's output j needs its input up to 2j + 2q - 1.
    std::int64_t lookahead = (std::int64_t{1} << best_halvings) * (taps / 2);
    for (int s = 0; s < best_halvings; ++s) lookahead += (std::int64_t{1} << s) * (2 * side_taps[s] - 1);
    plan.lookahead_in = lookahead;
    plan.macs_per_output = best_cost * static_cast<double>(in) / static_cast<double>(out);
    return plan;
}

struct resampler::state {
    resampler_config config;
    resampler_plan plan;
    dot_fn dot;
    std::vector<halving_stage> halvings;
    polyphase_stage last;
    std::vector<std::vector<double>> between;  // each halving stage's output, reused
    std::uint64_t received = 0;                // input samples of this stream

    // Runs samples through the stages from `first` (halving stages first, the
    // polyphase one last at index halvings.size()), the polyphase one giving
    // at most `limit` outputs in all.
    void push(std::size_t first, const double* in, std::size_t count, std::vector<double>* out,
              std::int64_t limit) {
        const double* data = in;
        std::size_t size = count;
        for (std::size_t s = first; s < halvings.size(); ++s) {
            between[s].clear();
            halvings[s].run(data, size, &between[s], dot);
            data = between[s].data();
            size = between[s].size();
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
    if (!s->plan.identity) {
        const double i0_of_beta = bessel_i0(kaiser_beta);
        s->halvings.resize(static_cast<std::size_t>(s->plan.halving_stages));
        s->between.resize(s->halvings.size());
        for (std::size_t h = 0; h < s->halvings.size(); ++h)
            s->halvings[h].design(s->plan.halving_taps[h] / 2, i0_of_beta);
        // The cutoff in the middle of the transition, in cycles per input
        // sample of the polyphase stage.
        const std::int64_t stage_out = config.out_rate_hz << s->plan.halving_stages;
        const double out_over_in = static_cast<double>(stage_out) / static_cast<double>(config.in_rate_hz);
        const double cutoff = (1.0 + passband_fraction) * 0.25 * (out_over_in < 1.0 ? out_over_in : 1.0);
        s->last.design(s->plan.up, s->plan.down, s->plan.taps, cutoff, i0_of_beta);
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
