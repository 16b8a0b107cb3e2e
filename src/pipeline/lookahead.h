// The blocks of one conversion, run in order on the caller's thread or with
// their stages spread over worker threads.
//
// A block goes through four stages. Three chain from block to block, each
// through a state of its own: the analysis (window, transform, spreading,
// and the mask smoothed from block to block), the hand-over with the fine
// search (the taps) and the quantiser (the delay line and the dither). The
// coarse search, from the flat filter against the block's band weights,
// needs nothing of the blocks before it. With workers, the three chains run
// side by side, each in block order, a few blocks apart: the caller's thread
// runs the quantiser of one block together with the analysis of a later one
// (the quantiser is one long chain of dependent steps, and the analysis fills
// the time it leaves idle), the first worker the fine search (and the coarse
// search of a block no other thread has taken, together with its hand-over,
// as on one thread), and the threads take coarse searches from the newest
// analysed block down. Every value is computed by the same function from the
// same inputs whichever thread runs it, so the bytes and the reports do not
// depend on the number of threads.
//
// Usage: block_lookahead blocks(&state, threads, planned_blocks);
//        blocks.push(samples of block 0);
//        for each block n:
//            push the blocks up to n + blocks.depth() that exist;
//            if none follows n, blocks.end_of_input() (once);
//            block_report r; if (blocks.finish(n, &r)) the report is printed;
//            write state.out_bytes (block_len bytes)
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "pipeline/pipeline.h"

namespace pcmtaper {

// Threads that can help one conversion: the caller's (the quantiser and the
// analysis), the fine search's, and one more for the coarse searches, which
// are about a third of the work. A fourth would mostly wait.
inline constexpr int lookahead_max_threads = 3;
// Blocks below which no thread is started: starting one costs about as much
// as converting that many blocks.
inline constexpr std::uint64_t lookahead_min_blocks = 256;
// Blocks pushed ahead of the one being finished, at most: room for the
// analysis to run ahead of the quantiser by lookahead_analysis_lead blocks
// and for the coarse and fine searches between them.
inline constexpr int lookahead_depth = 24;
// Blocks the analysis runs ahead of the quantiser: the quantiser of block b
// is run with the analysis of block b + lookahead_analysis_lead, whose
// coarse and fine searches then have that many blocks' time to be done
// before its own quantiser needs its taps. The other threads take coarse
// searches from the newest analysed block down, so a longer lead gives them
// more to take without reaching the blocks the fine search runs next.
inline constexpr int lookahead_analysis_lead = 20;
// Blocks of input in one analysis, the block analysed last.
inline constexpr int history_blocks = history_len / block_len;
// Places of the rings: a block stays until its quantiser, history_blocks - 1
// blocks after its analysis, is done.
inline constexpr int lookahead_ring_blocks = lookahead_depth + history_blocks;

// Claims `block` in a slot that blocks use in turn, for one thread: true for
// the first caller only. The claim holds the block's number plus 1 and only
// grows, so a thread that read its counters before the block was done and
// its slot reused by a later block cannot claim it a second time.
inline bool claim_once(std::atomic<std::uint64_t>& claim, std::uint64_t block) {
    std::uint64_t was = claim.load(std::memory_order_acquire);
    return was < block + 1 &&
           claim.compare_exchange_strong(was, block + 1, std::memory_order_acq_rel, std::memory_order_acquire);
}

class block_lookahead {
  public:
    // `state` is started (start_conversion) and stays the caller's. `threads`
    // (1 and up) is what the caller allows, of which at most
    // lookahead_max_threads are used, and none beyond the caller's own for
    // fewer than lookahead_min_blocks planned blocks. A thread the system
    // cannot start leaves the work to the others.
    // With any_stage_anywhere every thread takes any stage that is ready
    // from the start, with no thread's first (for the tests: the chains then
    // pass from thread to thread as often as they can).
    block_lookahead(converter_state* state, int threads, std::uint64_t planned_blocks,
                    bool any_stage_anywhere = false);
    ~block_lookahead();
    block_lookahead(const block_lookahead&) = delete;
    block_lookahead& operator=(const block_lookahead&) = delete;

    // Blocks that may be pushed beyond the one to finish next: 1 on the
    // caller's thread alone (the next block, analysed with the quantiser of
    // this one), more with workers.
    int depth() const { return depth_; }
    // Worker threads running (0 on the caller's thread alone).
    int workers() const { return static_cast<int>(workers_.size()); }

    // The next block's samples (block_len, sample scale), in block order.
    void push(const double* samples);
    // No block follows those pushed.
    void end_of_input() { input_ended_ = true; }

    // Finishes the oldest block not yet finished, whose number in the
    // conversion is block_number: its search and its quantiser, into the
    // state's out_bytes. Block block_number + 1 must have been pushed, or the
    // input ended. Returns whether its report is printed (block numbers
    // 0..3 of every 8192), and then fills *report.
    bool finish(std::uint32_t block_number, block_report* report);

  private:
    // A block in flight. Each field is written by one stage and read only by
    // the stages after it, once the counter or flag that publishes it says
    // so. The flag holds the number of the block done plus 1, so a reused
    // slot needs no reset.
    struct slot {
        alignas(64) double band_weight[band_count];  // analysis
        coarse_outcome coarse;                       // coarse search
        alignas(64) double taps[max_taps];           // fine search: the block's taps
        fine_step_record steps;                      // fine search: for the report
        alignas(64) std::uint8_t out_bytes[block_len];  // quantiser
        alignas(64) std::atomic<std::uint64_t> coarse_done{0};
        std::atomic<std::uint64_t> coarse_claim{0};  // the block whose coarse search a thread took, plus 1
    };

    // Blocks a thread runs of a chain before it looks for other work (and
    // publishes its progress once): each publication moves cache lines
    // between processors.
    static constexpr int chain_run_blocks = 4;

    // The input by place: place p holds block p - (history_blocks - 1), the
    // places before block 0 the history the conversion started with. Each
    // place is stored twice, lookahead_ring_blocks places apart, so that the
    // history_blocks places from any place on are one run of samples: an
    // analysis reads its history where it is, copying nothing.
    struct history_ring {
        alignas(64) double samples[2 * lookahead_ring_blocks * block_len];  // sample scale
    };

    slot& slot_of(std::uint64_t block) { return ring_[block % lookahead_ring_blocks]; }
    void store_samples(std::uint64_t place, const double* samples);
    // The history of `block`'s analysis (history_len samples, oldest first);
    // its first block is the one the block's quantiser takes.
    const double* history_of(std::uint64_t block) const;

    // What each thread takes first: the caller's thread the quantiser and
    // the analysis (the blocks' samples and output bytes stay on its
    // processor), the first worker the fine search, the other threads the
    // coarse searches, newest first. A thread that has found nothing else
    // for a while takes any chain, so that no stage waits on a thread the
    // system does not run.
    enum class role { chains, fine, coarse };
    void run_worker(role r);
    // One piece of work, if any is ready. Returns whether it ran one.
    bool take_work(role r, bool idle);
    // Up to chain_run_blocks blocks of the fine search. A block whose coarse
    // search no thread has started gets it from this thread too, run as on
    // one thread (search_block: the hand-over's costs ride in spare lanes of
    // the coarse search's calls).
    bool take_fine();
    // Up to chain_run_blocks steps of the quantiser and the analysis: the
    // quantiser of one block with the analysis of a later one when both are
    // ready; else the analysis alone while it is less than
    // lookahead_analysis_lead blocks ahead of the quantiser (or when `idle`),
    // the quantiser alone when no block waits for its analysis.
    bool take_chains(bool idle);
    // A coarse search no thread has claimed, the newest first, leaving the
    // `spared` blocks the fine search takes next to it.
    bool take_coarse(std::uint64_t spared);
    bool coarse_claimed(std::uint64_t block);
    bool claim_coarse(std::uint64_t block);
    bool unclaimed_coarse(std::uint64_t from, std::uint64_t to);
    // Blocks at the front of the fine search whose coarse searches other
    // threads leave to it while they have other work.
    static constexpr std::uint64_t fine_search_spared = 2;
    static bool hold(std::atomic<bool>& busy);
    bool work_waiting();
    // Gives the chains' states back to the caller's state, as the caller's
    // thread alone leaves it after finishing `block`, the last block.
    void give_back_state(std::uint64_t block);

    // Sleeps until ready() holds (after a short spin); every change of the
    // shared counters and flags calls wake_all.
    template <class ready_fn>
    void sleep_until(ready_fn ready);
    void wake_all();

    // Read by every thread, written by none while workers run.
    converter_state* state_;
    const kernel_table* kernels_;
    const rate_tables* rates_;
    int order_;  // taps of the search, taps[0] included
    bool zero_dc_;
    int spins_before_idle_;
    // With workers: the slots and the input, set up before they start.
    std::unique_ptr<slot[]> ring_;
    std::unique_ptr<history_ring> history_ring_;

    // On the caller's thread alone.
    alignas(64) int depth_ = 1;
    bool input_ended_ = false;
    std::uint64_t finished_ = 0;  // blocks finished
    std::uint64_t pushed_count_ = 0;
    double next_samples_[block_len];  // without workers: the pushed block not yet analysed
    bool next_pushed_ = false;

    // With workers, the state of each chain, apart from the caller's state
    // and from one another: each is written block after block by one thread
    // at a time, and a cache line shared with what another thread writes
    // would bounce between the processors. Copied from the state at the
    // start and given back once the last block is finished.
    alignas(64) analysis_state analysis_;  // the analysis's: mask and band weights
    alignas(64) search_state search_;      // the fine search's: the taps
    alignas(64) double delay_line_[max_taps];  // the quantiser's, as converter_state::delay_line
    std::uint32_t dither_state_;

    // With workers.
    alignas(64) std::atomic<std::uint64_t> pushed_{0};       // blocks whose samples are in the ring
    // The chains: whether a thread runs them, and the blocks done. One thread
    // at a time runs a chain (the one that set its busy flag), in block
    // order, and the chain's state passes from thread to thread through its
    // count of blocks done. The analysis and the quantiser run together.
    alignas(64) std::atomic<bool> fine_busy_{false};
    alignas(64) std::atomic<std::uint64_t> searched_{0};  // blocks through the fine search: search_
    alignas(64) std::atomic<bool> chains_busy_{false};
    alignas(64) std::atomic<std::uint64_t> analysed_{0};   // blocks analysed: analysis_
    alignas(64) std::atomic<std::uint64_t> quantised_{0};  // blocks quantised: delay_line_, dither_state_
    alignas(64) std::atomic<bool> stopping_{false};
    std::atomic<int> sleepers_{0};
    std::mutex sleep_mutex_;
    std::condition_variable sleep_signal_;
    std::vector<std::thread> workers_;
};

}  // namespace pcmtaper
