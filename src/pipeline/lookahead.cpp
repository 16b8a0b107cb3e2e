// The stages of a conversion's blocks on several threads (see lookahead.h).
//
// Who writes what, and why the result cannot depend on the threads:
// - the caller's thread alone writes the input ring (push); the others read
//   a place only after pushed_ says so;
// - a coarse search is claimed by setting its slot's claim to the block's
//   number plus 1 (claim_coarse), so each is computed exactly once, and is
//   read only after the slot's flag says it is done; the fine search may
//   claim its next block's so, and then runs it itself within search_block,
//   which gives the same taps and steps as coarse_search and finish_search
//   one after the other;
// - a chain (the analysis, the fine search, the quantiser) runs block b
//   only after block b - 1, on the thread that holds the chain's busy flag:
//   the chain's state (analysis_, search_, delay_line_ and dither_state_)
//   passes from thread to thread through its count of blocks done, and its
//   blocks follow one another in order as on one thread;
// - the coarse search is a pure function of the band weights the analysis
//   left, the same whichever thread computes it;
// - a place of the input ring and a slot are reused only by the block
//   lookahead_ring_blocks later, pushed when the block lookahead_depth
//   before that one is finished, that is, when the block history_blocks - 1
//   after this one is quantised. By then every stage of every block up to
//   that one is done (each chain waits for the stages before it), and those
//   are all the stages that read the place: the analyses whose history holds
//   it, and the quantiser of its samples, history_blocks - 1 blocks on.
#include "pipeline/lookahead.h"

#include <cassert>
#include <chrono>
#include <new>
#include <cstring>

#include "model/model.h"
#include "quant/quant.h"

namespace pcmtaper {
namespace {

// Every counter and flag publishes what was written before it (release) to
// whoever reads it (acquire); a claim or a busy flag taken by a
// compare-and-swap reads (acquire) what the thread that set it before wrote.
// No stronger order is needed, and none is used: a sequentially consistent
// store waits until every store before it is visible to the other
// processors, and those are the block's results, whose cache lines the other
// processor last held.
constexpr auto acquire = std::memory_order_acquire;
constexpr auto release = std::memory_order_release;
constexpr auto relaxed = std::memory_order_relaxed;

// How a thread waits: a stage takes a microsecond or two and a sleep with its
// wake-up longer, so it first spins briefly, then yields the processor (to
// the thread it waits for, on a machine with more threads than processors),
// then sleeps. After spins_before_idle it takes work that is another
// thread's first.
constexpr int spins_before_idle = 32;
constexpr int spins_before_yield = 256;
constexpr int spins_before_sleep = spins_before_yield + 64;
constexpr auto sleep_recheck = std::chrono::microseconds(200);

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

// Asks for the cache lines of `bytes` bytes that another processor wrote,
// ahead of their use, so that the wait for them overlaps the work before.
inline void prefetch_lines(const void* from, std::size_t bytes) {
    const char* p = static_cast<const char*>(from);
    for (std::size_t at = 0; at < bytes; at += 64) __builtin_prefetch(p + at);
}

}  // namespace

block_lookahead::block_lookahead(converter_state* state, int threads, std::uint64_t planned_blocks,
                                 bool any_stage_anywhere)
    : state_(state),
      kernels_(state->kernels),
      rates_(&state->rates),
      order_(state->search.order),
      zero_dc_(state->zero_dc),
      spins_before_idle_(any_stage_anywhere ? -1 : spins_before_idle) {
    int wanted = threads < lookahead_max_threads ? threads : lookahead_max_threads;
    if (planned_blocks < lookahead_min_blocks) wanted = 1;
    if (wanted <= 1) return;
    // Memory or a thread the system cannot give: the work falls to the
    // threads that started, and to the caller's thread alone (which needs
    // nothing more) when none did. The bytes are the same.
    try {
        ring_ = std::make_unique<slot[]>(lookahead_ring_blocks);
        history_ring_ = std::make_unique<history_ring>();
        workers_.reserve(static_cast<std::size_t>(wanted - 1));
    } catch (const std::bad_alloc&) {
        wanted = 1;
    }
    if (wanted > 1) {
        // The history the conversion starts with, as the places before block 0.
        for (int j = 0; j + 1 < history_blocks; ++j) store_samples(j, state_->analysis.history + j * block_len);
        analysis_ = state_->analysis;
        search_ = state_->search;
        std::memcpy(delay_line_, state_->delay_line, sizeof delay_line_);
        dither_state_ = state_->dither_state;
        depth_ = lookahead_depth;
    }
    try {
        for (int w = 1; w < wanted; ++w)
            workers_.emplace_back([this, w] { run_worker(w == 1 ? role::fine : role::coarse); });
    } catch (const std::system_error&) {
    } catch (const std::bad_alloc&) {
    }
    if (workers_.empty()) {
        ring_.reset();
        history_ring_.reset();
        depth_ = 1;
    }
}

block_lookahead::~block_lookahead() {
    if (workers_.empty()) return;
    stopping_.store(true, release);
    {
        const std::lock_guard<std::mutex> lock(sleep_mutex_);
        sleep_signal_.notify_all();
    }
    for (std::thread& t : workers_) t.join();
}

void block_lookahead::push(const double* samples) {
    const std::uint64_t block = pushed_count_++;
    // Its place in the rings last held block - lookahead_ring_blocks, whose
    // stages are all done once block - lookahead_depth - 1 is finished (see
    // the top of this file): the caller pushes no further ahead than depth().
    assert(block <= finished_ + static_cast<std::uint64_t>(depth_));
    if (workers_.empty()) {
        if (block == 0) {
            start_blocks(state_, samples);
            return;
        }
        std::memcpy(next_samples_, samples, sizeof next_samples_);
        next_pushed_ = true;
        return;
    }
    store_samples(block + history_blocks - 1, samples);
    pushed_.store(block + 1, release);
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

    // Until the block is quantised, the caller's thread works on whatever
    // stage is ready, as the workers do.
    const std::uint64_t block = finished_;
    for (int spins = 0; quantised_.load(acquire) <= block;) {
        if (take_work(role::chains, spins > spins_before_idle_)) {
            spins = 0;
        } else if (++spins < spins_before_sleep) {
            pause_or_yield(spins);
        } else {
            sleep_until([&] { return quantised_.load(acquire) > block || work_waiting(); });
            spins = 0;
        }
    }

    const slot& s = slot_of(block);
    std::memcpy(state_->out_bytes, s.out_bytes, sizeof s.out_bytes);
    const bool reported = block_is_reported(block_number);
    if (reported && report != nullptr) {
        std::memcpy(report->taps, s.taps, sizeof report->taps);
        std::memcpy(report->band_weight, s.band_weight, sizeof report->band_weight);
        report->steps = s.steps;
    }
    if (input_ended_ && block + 1 == pushed_count_) give_back_state(block);
    ++finished_;
    return reported;
}

void block_lookahead::store_samples(std::uint64_t place, const double* samples) {
    double* at = history_ring_->samples + (place % lookahead_ring_blocks) * block_len;
    std::memcpy(at, samples, block_len * sizeof(double));
    std::memcpy(at + lookahead_ring_blocks * block_len, samples, block_len * sizeof(double));
}

const double* block_lookahead::history_of(std::uint64_t block) const {
    return history_ring_->samples + (block % lookahead_ring_blocks) * block_len;
}

void block_lookahead::give_back_state(std::uint64_t block) {
    state_->analysis = analysis_;
    // After the last block the history has moved on once more with nothing
    // to enter: its last place keeps the block that was there.
    double* history = state_->analysis.history;
    std::memcpy(history, history_of(block), sizeof state_->analysis.history);
    std::memmove(history, history + block_len, new_samples_at * sizeof(double));
    state_->search = search_;
    std::memcpy(state_->delay_line, delay_line_, sizeof delay_line_);
    state_->dither_state = dither_state_;
}

bool block_lookahead::take_work(role r, bool idle) {
    switch (r) {
        case role::chains:
            return take_chains(idle) || take_coarse(idle ? 0 : fine_search_spared) || (idle && take_fine());
        // The fine search's thread waits for a coarse search in progress on
        // its next block rather than start another's: it would then run
        // that block apart from its hand-over.
        case role::fine: return take_fine() || (idle && (take_coarse(0) || take_chains(true)));
        case role::coarse: break;
    }
    return take_coarse(idle ? 0 : fine_search_spared) || (idle && (take_chains(true) || take_fine()));
}

bool block_lookahead::hold(std::atomic<bool>& busy) {
    if (busy.load(acquire)) return false;
    bool was_busy = false;
    return busy.compare_exchange_strong(was_busy, true, acquire, relaxed);
}

bool block_lookahead::take_fine() {
    const auto ready = [this](std::uint64_t block) { return slot_of(block).coarse_done.load(acquire) == block + 1; };
    const std::uint64_t next = searched_.load(acquire);
    if (!ready(next) && (next >= analysed_.load(acquire) || coarse_claimed(next))) return false;
    if (!hold(fine_busy_)) return false;
    const std::uint64_t first = searched_.load(acquire);  // another thread may have run some since the first look
    std::uint64_t block = first;
    for (; block - first < chain_run_blocks; ++block) {
        slot& s = slot_of(block);
        search_result result;
        if (ready(block)) {
            if (ready(block + 1)) prefetch_lines(&slot_of(block + 1).band_weight, sizeof s.band_weight + sizeof s.coarse);
            result = finish_search(*kernels_, s.band_weight, s.coarse, &search_);
        } else {
            // The block's coarse search not started: this thread runs it
            // too, with the hand-over's costs in its spare lanes, as on one
            // thread.
            if (block >= analysed_.load(acquire) || !claim_coarse(block)) break;
            result = search_block(*kernels_, s.band_weight, &search_);
        }
        std::memcpy(s.taps, search_.taps, sizeof s.taps);
        s.steps = result.steps;
    }
    if (block != first) searched_.store(block, release);
    fine_busy_.store(false, release);
    wake_all();  // also when it ran none: a thread may sleep because the chain was busy
    return block != first;
}

bool block_lookahead::take_chains(bool idle) {
    if (!hold(chains_busy_)) return false;
    const std::uint64_t first_analysed = analysed_.load(acquire), first_quantised = quantised_.load(acquire);
    std::uint64_t analysed = first_analysed, quantised = first_quantised;
    for (int step = 0; step < chain_run_blocks; ++step) {
        const std::uint64_t pushed = pushed_.load(acquire), searched = searched_.load(acquire);
        const bool analysis_ready = analysed < pushed;
        const bool quantiser_ready = quantised < searched;
        const bool analysis_alone =
            analysis_ready && (analysed - quantised < static_cast<std::uint64_t>(lookahead_analysis_lead) || idle);
        if (!quantiser_ready && !analysis_alone) break;
        // What the next step reads that other threads wrote: the next block's
        // taps, and the samples the next analysis adds to the history.
        if (quantised + 1 < searched) prefetch_lines(slot_of(quantised + 1).taps, sizeof slot::taps);
        if (analysed + 1 < pushed) prefetch_lines(history_of(analysed + 1) + new_samples_at, block_len * sizeof(double));
        if (quantiser_ready) {
            slot& s = slot_of(quantised);
            // The quantiser runs history_blocks - 1 blocks behind the analysis:
            // it takes the block leaving the history.
            const quantiser_job job{history_of(quantised), s.taps,        order_,  delay_line_,
                                    &dither_state_,        s.out_bytes, zero_dc_};
            if (analysis_ready)
                kernels_->quantise_and_analyse(job, *rates_, history_of(analysed), &analysis_);
            else
                kernels_->quantise(job);
            ++quantised;
        } else {
            double threshold[bin_count];
            kernels_->block_threshold(*rates_, history_of(analysed), threshold);
            smooth_mask_and_weigh(threshold, &analysis_);
        }
        if (analysis_ready)
            std::memcpy(slot_of(analysed++).band_weight, analysis_.band_weight, sizeof analysis_.band_weight);
    }
    if (analysed != first_analysed) analysed_.store(analysed, release);
    if (quantised != first_quantised) quantised_.store(quantised, release);
    chains_busy_.store(false, release);
    wake_all();
    return analysed != first_analysed || quantised != first_quantised;
}

bool block_lookahead::coarse_claimed(std::uint64_t block) {
    return slot_of(block).coarse_claim.load(acquire) >= block + 1;
}

bool block_lookahead::claim_coarse(std::uint64_t block) {
    return claim_once(slot_of(block).coarse_claim, block);
}

bool block_lookahead::take_coarse(std::uint64_t spared) {
    // From the newest analysed block down: the oldest ones are those the
    // fine search reaches next, and it runs them best itself (search_block).
    const std::uint64_t searched = searched_.load(acquire);
    std::uint64_t block = analysed_.load(acquire);
    for (;;) {
        if (block <= searched + spared) return false;
        --block;
        if (claim_coarse(block)) break;
    }
    slot& s = slot_of(block);
    s.coarse = coarse_search(*kernels_, s.band_weight, order_);
    s.coarse_done.store(block + 1, release);
    wake_all();
    return true;
}

bool block_lookahead::unclaimed_coarse(std::uint64_t from, std::uint64_t to) {
    for (std::uint64_t block = from; block < to; ++block)
        if (!coarse_claimed(block)) return true;
    return false;
}

bool block_lookahead::work_waiting() {
    const std::uint64_t searched = searched_.load(acquire), analysed = analysed_.load(acquire);
    return (!fine_busy_.load(acquire) && slot_of(searched).coarse_done.load(acquire) == searched + 1) ||
           (!chains_busy_.load(acquire) && (analysed < pushed_.load(acquire) || quantised_.load(acquire) < searched)) ||
           unclaimed_coarse(searched, analysed);
}

void block_lookahead::run_worker(role r) {
    for (int spins = 0; !stopping_.load(acquire);) {
        if (take_work(r, spins > spins_before_idle_)) {
            spins = 0;
        } else if (++spins < spins_before_sleep) {
            pause_or_yield(spins);
        } else {
            sleep_until([this] { return stopping_.load(acquire) || work_waiting(); });
            spins = 0;
        }
    }
}

// A sleeper counts itself under the mutex and then tests ready(); a waker
// changes the shared state and then reads the count. Without a full fence
// between the waker's store and its read (which would make every
// publication wait, see acquire and release above) the waker may miss a
// sleeper that has just counted itself and missed the change: so a sleeper
// looks again after sleep_recheck at the latest. Sleeps are rare (a thread
// sleeps after spinning for tens of microseconds with nothing to do), and a
// missed wake-up costs at most that delay.
template <class ready_fn>
void block_lookahead::sleep_until(ready_fn ready) {
    std::unique_lock<std::mutex> lock(sleep_mutex_);
    sleepers_.fetch_add(1, relaxed);
    while (!ready()) sleep_signal_.wait_for(lock, sleep_recheck);
    sleepers_.fetch_sub(1, relaxed);
}

void block_lookahead::wake_all() {
    if (sleepers_.load(relaxed) == 0) return;
    const std::lock_guard<std::mutex> lock(sleep_mutex_);
    sleep_signal_.notify_all();
}

}  // namespace pcmtaper
