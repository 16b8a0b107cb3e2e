// The look-ahead of a conversion on worker threads (see lookahead.h).
//
// Who writes what, and why the result cannot depend on the threads:
// - the caller's thread alone writes a slot's history (push), its band
//   weights (the mask pass) and the converter state; a worker reads them only
//   after the counter that publishes them (pushed_, weighted_) says so;
// - a worker writes a slot's threshold or coarse result only after claiming
//   it by moving next_threshold_ or next_coarse_ on from its block, so each
//   is computed exactly once, and the caller's thread reads it only after the
//   slot's flag says so;
// - the threshold is block_threshold of the block's own copy of the history,
//   the coarse result coarse_search of the block's weights: pure functions,
//   the same whichever thread computes them, and the mask pass, the
//   hand-over, the fine search and the quantiser run in block order on the
//   caller's thread, as without workers;
// - a slot is reused only by the block lookahead_ring_blocks later, pushed
//   when the block lookahead_depth before it is finished: this block is then
//   finished, and so are the analyses that read its samples (those of the
//   next 7 blocks, the last of which is older than the one finished).
#include "pipeline/lookahead.h"

#include <cstring>

#include "model/model.h"
#include "quant/quant.h"

namespace pcmtaper {
namespace {

// How a thread waits: a block takes a few microseconds and a sleep with its
// wake-up longer, so it first spins briefly, then yields the processor (to
// the thread it waits for, on a machine with more threads than processors),
// then sleeps.
constexpr int spins_before_yield = 256;
constexpr int spins_before_sleep = spins_before_yield + 64;

inline void pause_or_yield(int spins) {
    if (spins < spins_before_yield) {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#elif defined(__aarch64__)
        asm volatile("yield");
#endif
    } else {
        std::this_thread::yield();
    }
}

}  // namespace

block_lookahead::block_lookahead(converter_state* state, int threads, std::uint64_t planned_blocks)
    : state_(state), order_(state->search.order) {
    int wanted = threads < lookahead_max_threads ? threads : lookahead_max_threads;
    if (planned_blocks < lookahead_min_blocks) wanted = 1;
    if (wanted <= 1) return;
    ring_ = std::make_unique<slot[]>(lookahead_ring_blocks);
    std::memcpy(first_history_, state_->analysis.history, sizeof first_history_);
    depth_ = lookahead_depth;
    try {
        for (int w = 1; w < wanted; ++w) workers_.emplace_back([this] { run_worker(); });
    } catch (const std::system_error&) {
        // A thread the system could not start: the work falls to the others,
        // and to the caller's thread alone when none started.
    }
    if (workers_.empty()) {
        ring_.reset();
        depth_ = 1;
    }
}

block_lookahead::~block_lookahead() {
    if (workers_.empty()) return;
    stopping_.store(true);
    {
        const std::lock_guard<std::mutex> lock(sleep_mutex_);
        sleep_signal_.notify_all();
    }
    for (std::thread& t : workers_) t.join();
}

void block_lookahead::push(const double* samples) {
    const std::uint64_t block = pushed_count_++;
    if (workers_.empty()) {
        if (block == 0) {
            start_blocks(state_, samples);
            return;
        }
        std::memcpy(next_samples_, samples, sizeof next_samples_);
        next_pushed_ = true;
        return;
    }
    // The state's history lags behind at the block being quantised; each
    // analysis gathers its own from the slots.
    if (block == 0) std::memcpy(state_->analysis.history + new_samples_at, samples, block_len * sizeof(double));
    std::memcpy(slot_of(block).samples, samples, sizeof slot_of(block).samples);
    pushed_.store(block + 1);
    wake_all();
}

bool block_lookahead::finish(std::uint32_t block_number, block_report* report) {
    if (workers_.empty()) {
        const bool reported = search_taps(state_, block_number, report);
        quantise_and_analyse_next(state_, next_pushed_ ? next_samples_ : nullptr);
        next_pushed_ = false;
        ++finished_;
        return reported;
    }

    const std::uint64_t block = finished_;
    slot& s = slot_of(block);
    advance_mask();
    // Until the block's coarse search is done: the mask pass as thresholds
    // come in, this block's own threshold and coarse search when no worker
    // has taken them (none may be running: the system decides), and rather
    // than waiting idle, work for later blocks, which the workers would
    // otherwise do later.
    for (int spins = 0; s.coarse_done.load() != block + 1;) {
        if (advance_mask() || take_work_of(block) || take_work()) {
            spins = 0;
        } else if (++spins < spins_before_sleep) {
            pause_or_yield(spins);
        } else {
            sleep_until([&] { return s.coarse_done.load() == block + 1 || mask_pass_waiting() || work_waiting(); });
            spins = 0;
        }
    }

    const search_result result = finish_search(*state_->kernels, s.band_weight, s.coarse, &state_->search);
    const bool reported = block_is_reported(block_number);
    if (reported) {
        std::memcpy(report->taps, state_->search.taps, sizeof report->taps);
        std::memcpy(report->band_weight, s.band_weight, sizeof report->band_weight);
        report->steps = result.steps;
    }

    // The quantiser of the block leaving the history, which then moves on by
    // the block after this one (its samples are in its slot).
    alignas(64) double samples[block_len];
    analysis_state& analysis = state_->analysis;
    std::memcpy(samples, analysis.history, sizeof samples);
    slide_history(&analysis);
    if (block + 1 < pushed_count_)
        std::memcpy(analysis.history + new_samples_at, slot_of(block + 1).samples, block_len * sizeof(double));
    state_->kernels->quantise({samples, state_->search.taps, state_->search.order, state_->delay_line,
                               &state_->dither_state, state_->out_bytes, state_->zero_dc});
    ++finished_;
    return reported;
}

bool block_lookahead::advance_mask() {
    bool advanced = false;
    for (std::uint64_t block = weighted_.load(std::memory_order_relaxed); block < pushed_count_; ++block) {
        slot& s = slot_of(block);
        if (s.threshold_done.load() != block + 1) break;
        smooth_mask_and_weigh(s.threshold, &state_->analysis);
        std::memcpy(s.band_weight, state_->analysis.band_weight, sizeof s.band_weight);
        weighted_.store(block + 1);
        advanced = true;
    }
    if (advanced) wake_all();
    return advanced;
}

bool block_lookahead::mask_pass_waiting() const {
    const std::uint64_t block = weighted_.load(std::memory_order_relaxed);
    return block < pushed_.load() && ring_[block % lookahead_ring_blocks].threshold_done.load() == block + 1;
}

bool block_lookahead::work_waiting() const {
    return next_coarse_.load() < weighted_.load() || next_threshold_.load() < pushed_.load();
}

bool block_lookahead::take_work() {
    const std::uint64_t coarse = next_coarse_.load();
    if (coarse < weighted_.load()) return take_coarse(coarse);
    const std::uint64_t threshold = next_threshold_.load();
    if (threshold < pushed_.load()) return take_threshold(threshold);
    return false;
}

bool block_lookahead::take_work_of(std::uint64_t block) {
    if (next_coarse_.load() == block && weighted_.load() > block) return take_coarse(block);
    if (next_threshold_.load() == block) return take_threshold(block);
    return false;
}

bool block_lookahead::take_coarse(std::uint64_t block) {
    std::uint64_t expected = block;
    if (!next_coarse_.compare_exchange_strong(expected, block + 1)) return true;  // another took it: look again
    slot& s = slot_of(block);
    s.coarse = coarse_search(*state_->kernels, s.band_weight, order_);
    s.coarse_done.store(block + 1);
    wake_all();
    return true;
}

bool block_lookahead::take_threshold(std::uint64_t block) {
    std::uint64_t expected = block;
    if (!next_threshold_.compare_exchange_strong(expected, block + 1)) return true;
    // The history of the block's analysis: the 8 blocks up to it, and before
    // block 0 the history the conversion started with.
    alignas(64) double history[history_len];
    constexpr int window_blocks = history_len / block_len;
    for (int j = 0; j < window_blocks; ++j) {
        const std::uint64_t back = static_cast<std::uint64_t>(window_blocks - 1 - j);  // blocks before this one
        const double* from = block >= back ? slot_of(block - back).samples : first_history_ + (block + j) * block_len;
        std::memcpy(history + j * block_len, from, block_len * sizeof(double));
    }
    slot& s = slot_of(block);
    state_->kernels->block_threshold(state_->rates, history, s.threshold);
    s.threshold_done.store(block + 1);
    wake_all();
    return true;
}

void block_lookahead::run_worker() {
    for (int spins = 0; !stopping_.load();) {
        if (take_work()) {
            spins = 0;
        } else if (++spins < spins_before_sleep) {
            pause_or_yield(spins);
        } else {
            sleep_until([this] { return stopping_.load() || work_waiting(); });
            spins = 0;
        }
    }
}

// A sleeper counts itself under the mutex and then tests ready(); a waker
// changes the shared state and then reads the count (both sequentially
// consistent). So either the sleeper sees the change, or the waker sees the
// sleeper and notifies under the mutex, which it cannot take before the
// sleeper waits.
template <class ready_fn>
void block_lookahead::sleep_until(ready_fn ready) {
    std::unique_lock<std::mutex> lock(sleep_mutex_);
    sleepers_.fetch_add(1);
    while (!ready()) sleep_signal_.wait(lock);
    sleepers_.fetch_sub(1);
}

void block_lookahead::wake_all() {
    if (sleepers_.load() == 0) return;
    const std::lock_guard<std::mutex> lock(sleep_mutex_);
    sleep_signal_.notify_all();
}

}  // namespace pcmtaper
