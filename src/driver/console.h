// Where the program's text goes, and the progress line.
//
// Three kinds of text: information (the names, the sample-rate and block-count
// lines, the diagnostic report), remarks and refusals (the header's remarks,
// "This is not a linear PCM." and the like), and errors ("pcmtaper: ..."). By
// default the first two go to standard output and errors to standard error.
// With --quiet information goes nowhere and remarks go to standard error; when
// the audio itself goes to standard output, all text goes to standard error.
// Every line written on standard error ends in "\n"; on standard output the
// converter's lines keep their "\r\n".
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// The progress line on standard error, of a run and of a batch: shown once
// the work has taken progress_delay_s, redrawn at most every progress_redraw,
// erased by overwriting progress_line_width characters (the longest drawn).
inline constexpr double progress_delay_s = 1.0;  // short runs never show the line
inline constexpr auto progress_redraw = std::chrono::milliseconds(250);
inline constexpr int progress_line_width = 60;

// Text kept for later, in the order it was written, with where it goes.
struct kept_text {
    std::FILE* stream;
    std::string text;
};

class console {
  public:
    // `information` and `remarks` are the streams for those kinds of text
    // (information may be null: dropped). The progress line is drawn on
    // standard error when `progress` is set.
    console(std::FILE* information, std::FILE* remarks, bool progress);
    bool quiet() const { return information_ == nullptr; }

    void info(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void remark(const std::string& text);
    // Puts `prefix` before every line of the remarks from now on. With
    // --quiet the name lines are not printed, so each remark names its file.
    void set_remark_prefix(std::string prefix) { remark_prefix_ = std::move(prefix); }
    void error(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // A line on standard error after "pcmtaper: ", unless the run is quiet:
    // advice on a run that succeeded.
    void notice(const char* format, ...) __attribute__((format(printf, 2, 3)));
    std::FILE* information_stream() const { return information_; }

    // From now on every text is appended to *kept instead of written (for a
    // file of a batch, whose text is printed whole when its turn comes).
    void keep_text_in(std::vector<kept_text>* kept) { kept_ = kept; }

    // Called once per block: redraws the progress line at most a few times a
    // second, once the run has taken more than a second. `audio_seconds_per_block`
    // gives the speed in times real time.
    void progress(std::uint64_t blocks_done, std::uint64_t blocks_total, double audio_seconds_per_block);
    // The progress line while the header walk skips a chunk by reading it.
    void header_skip_progress(const char* chunk_id, std::uint64_t bytes_skipped, std::uint64_t chunk_bytes);
    // Erases the progress line, if one is drawn.
    void end_progress();

  private:
    void clear_progress_line();
    void emit(std::FILE* stream, const char* text, std::size_t length);
    bool progress_due(std::chrono::steady_clock::time_point now);
    void draw_progress(const std::string& text);

    std::FILE* information_;
    std::FILE* remarks_;
    std::string remark_prefix_;
    std::vector<kept_text>* kept_ = nullptr;
    bool progress_enabled_;
    bool progress_shown_ = false;
    std::chrono::steady_clock::time_point started_;
    std::chrono::steady_clock::time_point last_drawn_;
};

// The progress line's text for `done` of `total` blocks after `elapsed_s`
// seconds: percent done, speed in times real time and the time left.
std::string progress_text(std::uint64_t done, std::uint64_t total, double elapsed_s,
                          double audio_seconds_per_block);

// Writes kept text to its streams, in order, each piece flushed, so that what
// goes to standard output and standard error interleaves as it was written.
void write_kept_text(const std::vector<kept_text>& kept);
