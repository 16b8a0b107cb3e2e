#include "console.h"

#include <cstdarg>
#include <cstring>

namespace {

constexpr std::uint64_t blocks_between_clock_reads = 256;

// Writes `text` to `stream`. Every line on standard error ends in "\n", as
// the program's own lines there do: the converter's "\r\n" (the lines it
// writes on standard output) loses its "\r" there.
void put_text(std::FILE* stream, const char* text, std::size_t length) {
    if (stream != stderr) {
        std::fwrite(text, 1, length, stream);
        return;
    }
    // Standard error is unbuffered: each run between line ends goes out in
    // one write, not a character at a time.
    std::size_t run_start = 0;
    for (std::size_t at = 0; at + 1 < length; ++at)
        if (text[at] == '\r' && text[at + 1] == '\n') {
            std::fwrite(text + run_start, 1, at - run_start, stream);
            run_start = at + 1;
        }
    std::fwrite(text + run_start, 1, length - run_start, stream);
}

}  // namespace

console::console(std::FILE* information, std::FILE* remarks, bool progress)
    : information_(information), remarks_(remarks), progress_enabled_(progress),
      started_(std::chrono::steady_clock::now()), last_drawn_(started_) {}

// The text of a printf format and its arguments.
static std::string formatted(const char* format, va_list args) {
    va_list again;
    va_copy(again, args);
    char piece[512];
    const int length = std::vsnprintf(piece, sizeof piece, format, args);
    std::string text;
    if (length >= 0 && static_cast<std::size_t>(length) < sizeof piece) {
        text.assign(piece, static_cast<std::size_t>(length));
    } else if (length >= 0) {
        text.resize(static_cast<std::size_t>(length) + 1);
        std::vsnprintf(text.data(), text.size(), format, again);
        text.resize(static_cast<std::size_t>(length));
    }
    va_end(again);
    return text;
}

void console::emit(std::FILE* stream, const char* text, std::size_t length) {
    if (kept_ == nullptr) {
        put_text(stream, text, length);
        return;
    }
    if (kept_->empty() || kept_->back().stream != stream) kept_->push_back({stream, {}});
    kept_->back().text.append(text, length);
}

void console::info(const char* format, ...) {
    if (information_ == nullptr) return;
    clear_progress_line();
    va_list args;
    va_start(args, format);
    const std::string text = formatted(format, args);
    va_end(args);
    emit(information_, text.data(), text.size());
}

void console::remark(const std::string& text) {
    if (text.empty()) return;
    clear_progress_line();
    if (remark_prefix_.empty()) {
        emit(remarks_, text.data(), text.size());
        return;
    }
    // A prefixed line is the program's own line on standard error.
    std::size_t line_start = 0;
    while (line_start < text.size()) {
        std::size_t line_end = text.find('\n', line_start);
        const bool whole_line = line_end != std::string::npos;
        line_end = whole_line ? line_end + 1 : text.size();
        std::size_t body_end = whole_line ? line_end - 1 : line_end;
        if (whole_line && body_end > line_start && text[body_end - 1] == '\r') --body_end;
        emit(remarks_, remark_prefix_.data(), remark_prefix_.size());
        emit(remarks_, text.data() + line_start, body_end - line_start);
        if (whole_line) emit(remarks_, "\n", 1);
        line_start = line_end;
    }
}

void console::error(const char* format, ...) {
    clear_progress_line();
    va_list args;
    va_start(args, format);
    const std::string line = "pcmtaper: " + formatted(format, args) + "\n";
    va_end(args);
    emit(stderr, line.data(), line.size());
}

void write_kept_text(const std::vector<kept_text>& kept) {
    for (const kept_text& piece : kept) {
        put_text(piece.stream, piece.text.data(), piece.text.size());
        std::fflush(piece.stream);
    }
}

void console::notice(const char* format, ...) {
    if (quiet()) return;
    clear_progress_line();
    va_list args;
    va_start(args, format);
    const std::string line = "pcmtaper: " + formatted(format, args) + "\n";
    va_end(args);
    emit(stderr, line.data(), line.size());
}

std::string progress_text(std::uint64_t done, std::uint64_t total, double elapsed_s,
                          double audio_seconds_per_block) {
    const double fraction = total == 0 ? 1.0 : static_cast<double>(done) / static_cast<double>(total);
    const double speed = elapsed_s > 0 ? static_cast<double>(done) * audio_seconds_per_block / elapsed_s : 0;
    const double left_s = done == 0 ? 0 : elapsed_s * static_cast<double>(total - done) / static_cast<double>(done);
    const auto left = static_cast<unsigned long long>(left_s + 0.5);
    char line[progress_line_width + 1];
    std::snprintf(line, sizeof line, "%3d%%  %.0fx real time  %llu:%02llu left",
                  static_cast<int>(fraction * 100.0), speed, left / 60, left % 60);
    return line;
}

// Whether the progress line is to be drawn now: once the run has taken more
// than a second, a few times a second.
bool console::progress_due(std::chrono::steady_clock::time_point now) {
    if (std::chrono::duration<double>(now - started_).count() < progress_delay_s) return false;
    if (progress_shown_ && now - last_drawn_ < progress_redraw) return false;
    last_drawn_ = now;
    return true;
}

void console::draw_progress(const std::string& text) {
    std::fprintf(stderr, "\r%-*s\r%s", progress_line_width,  "", text.c_str());
    std::fflush(stderr);
    progress_shown_ = true;
}

void console::progress(std::uint64_t blocks_done, std::uint64_t blocks_total, double audio_seconds_per_block) {
    if (!progress_enabled_ || blocks_done % blocks_between_clock_reads != 0) return;
    const auto now = std::chrono::steady_clock::now();
    if (!progress_due(now)) return;
    const double elapsed_s = std::chrono::duration<double>(now - started_).count();
    draw_progress(progress_text(blocks_done, blocks_total, elapsed_s, audio_seconds_per_block));
}

void console::header_skip_progress(const char* chunk_id, std::uint64_t bytes_skipped, std::uint64_t chunk_bytes) {
    if (!progress_enabled_ || !progress_due(std::chrono::steady_clock::now())) return;
    char line[2 * progress_line_width];  // at most 56 characters: an id shows as up to 16
    std::snprintf(line, sizeof line, "header: skipping chunk '%s', %llu of %llu MiB", chunk_id,
                  static_cast<unsigned long long>(bytes_skipped >> 20),
                  static_cast<unsigned long long>(chunk_bytes >> 20));
    draw_progress(line);
}

void console::clear_progress_line() {
    if (!progress_shown_) return;
    std::fprintf(stderr, "\r%-*s\r", progress_line_width, "");
    std::fflush(stderr);
    progress_shown_ = false;
}

void console::end_progress() { clear_progress_line(); }
