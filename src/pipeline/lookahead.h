// The blocks of one conversion, run in order on the caller's thread or with
// the look-ahead on worker threads.
//
// The analysis of a block needs only the input, apart from the smoothing of
// its mask from block to block; the coarse search needs only the block's band
// weights. So workers compute, for blocks ahead of the one being finished,
// the block's threshold (window, transform, spreading) and, once the mask
// pass has given the block its band weights, its coarse search. The caller's
// thread runs what chains from block to block, in block order: the mask pass,
// the hand-over with the fine search, and the quantiser. Every value is
// computed by the same function from the same inputs whichever thread runs
// it, so the bytes and the reports do not depend on the number of threads.
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

// Threads that can help one conversion: the caller's, which runs the chain
// from block to block, and workers for the analysis and the coarse search.
// The chain is about half of the work, so a third thread is all that can
// still take work off it.
inline constexpr int lookahead_max_threads = 3;
// Blocks below which no thread is started: starting one costs about as much
// as converting that many blocks.
inline constexpr std::uint64_t lookahead_min_blocks = 256;
// Blocks analysed ahead of the one being finished, at most.
inline constexpr int lookahead_depth = 16;
// Slots of the ring: a block's samples stay until the analyses whose history
// holds them are done, the last of them history_len / block_len - 1 blocks on.
inline constexpr int lookahead_ring_blocks = lookahead_depth + history_len / block_len;

class block_lookahead {
  public:
    // `state` is started (start_conversion) and stays the caller's. `threads`
    // (1 and up) is what the caller allows, of which at most
    // lookahead_max_threads are used, and none beyond the caller's own for
    // fewer than lookahead_min_blocks planned blocks. A thread the system
    // cannot start leaves the work to the others.
    block_lookahead(converter_state* state, int threads, std::uint64_t planned_blocks);
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
    // A block in flight. The caller's thread fills samples and band_weight;
    // a worker (or the caller's thread) threshold and coarse. The flags hold
    // the number of the block done plus 1, so a reused slot needs no reset.
    struct slot {
        alignas(64) double samples[block_len];  // the block's input, sample scale
        alignas(64) double threshold[bin_count];
        double band_weight[band_count];
        coarse_outcome coarse;
        alignas(64) std::atomic<std::uint64_t> threshold_done{0};
        alignas(64) std::atomic<std::uint64_t> coarse_done{0};
    };

    slot& slot_of(std::uint64_t block) { return ring_[block % lookahead_ring_blocks]; }
    void run_worker();
    // One piece of work for a later block, if any is waiting: a coarse search
    // first (the sooner needed), else a threshold. Returns whether it did one.
    bool take_work();
    // The threshold or the coarse search of `block`, if no thread has taken it.
    bool take_work_of(std::uint64_t block);
    bool take_threshold(std::uint64_t block);
    bool take_coarse(std::uint64_t block);
    // The mask pass over every block whose threshold is done, in block order.
    bool advance_mask();
    bool work_waiting() const;
    bool mask_pass_waiting() const;
    // Sleeps until ready() holds (after a short spin); every change of the
    // shared counters and flags calls wake_all.
    template <class ready_fn>
    void sleep_until(ready_fn ready);
    void wake_all();

    converter_state* state_;
    int order_;  // taps of the search, taps[0] included
    int depth_ = 1;
    bool input_ended_ = false;
    std::uint64_t finished_ = 0;  // blocks finished
    double next_samples_[block_len];  // on the caller's thread alone: the pushed block not yet analysed
    bool next_pushed_ = false;
    std::uint64_t pushed_count_ = 0;  // on the caller's thread alone

    // With workers. The counters shared between threads each have a cache
    // line of their own, away from what one thread alone writes.
    std::unique_ptr<slot[]> ring_;
    double first_history_[history_len];  // the history before block 0: what precedes it in an analysis
    alignas(64) std::atomic<std::uint64_t> pushed_{0};          // blocks whose history is in their slot
    alignas(64) std::atomic<std::uint64_t> weighted_{0};        // blocks through the mask pass
    alignas(64) std::atomic<std::uint64_t> next_threshold_{0};  // the next block whose threshold is unclaimed
    alignas(64) std::atomic<std::uint64_t> next_coarse_{0};     // the next block whose coarse search is unclaimed
    alignas(64) std::atomic<bool> stopping_{false};
    std::atomic<int> sleepers_{0};
    std::mutex sleep_mutex_;
    std::condition_variable sleep_signal_;
    std::vector<std::thread> workers_;
};

}  // namespace pcmtaper
