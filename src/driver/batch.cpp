// Batch mode: every name an input, converted to its derived name (in the
// target directory when one is given), with every rule of a single
// conversion. Files run side by side on the -j threads; each file's text is
// kept and printed whole, in the order of the names, so that what the batch
// prints is what one run per file in that order prints. Every file is tried;
// the exit code is the first failure's, in the order of the names.
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "driver.h"

namespace {

constexpr int stdout_fd = 1;
constexpr int stderr_fd = 2;
constexpr int stdout_closed_bit = 1 << 1;  // from open_closed_standard_descriptors
constexpr std::size_t failures_named = 5;  // in the last line; the rest are counted
constexpr double progress_delay_s = 1.0;   // short batches never show the line
constexpr auto progress_redraw = std::chrono::milliseconds(250);
constexpr int progress_line_width = 60;    // what is erased: the longest line drawn

// One file of the batch: what it is, and once converted, its text and code.
struct batch_file {
    file_conversion job;
    std::vector<kept_text> text;
    std::unique_ptr<console> con;  // its text kept in `text`, from the conversion to the commit
    file_to_commit pending;        // converted, its output still to be put in place
    int exit_code = 0;
    bool done = false;
};

// The batch's progress on standard error: files done, of how many, and the
// time left at the pace so far.
class batch_progress {
  public:
    batch_progress(bool enabled, std::size_t total)
        : enabled_(enabled), total_(total), started_(std::chrono::steady_clock::now()) {}

    void draw(std::size_t done) {
        if (!enabled_ || done == 0) return;
        const double elapsed_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
        if (elapsed_s < progress_delay_s) return;
        const auto left = static_cast<unsigned long long>(
            elapsed_s * static_cast<double>(total_ - done) / static_cast<double>(done) + 0.5);
        std::fprintf(stderr, "\r%-*s\r%zu of %zu files  %llu:%02llu left", progress_line_width, "", done, total_,
                     left / 60, left % 60);
        std::fflush(stderr);
        shown_ = true;
    }
    void erase() {
        if (!shown_) return;
        std::fprintf(stderr, "\r%-*s\r", progress_line_width, "");
        std::fflush(stderr);
        shown_ = false;
    }

  private:
    bool enabled_;
    std::size_t total_;
    std::chrono::steady_clock::time_point started_;
    bool shown_ = false;
};

// The files, the threads that convert them, and the commits.
//
// A commit mostly waits on the disk: the output's bytes, then its new name,
// made durable. Two threads each syncing a file of their own wait on each
// other (one journal), and a thread that waits converts nothing meanwhile.
// So a worker thread that has converted a file, complete under its
// temporary name, hands it to the calling thread when that thread is free,
// and goes on to the next file while the calling thread commits it; only
// when the calling thread is still busy with the commit before (a slow or
// busy disk) does the worker commit its own file, as a single run does. At
// most one output more than there are workers is in flight.
class batch_runner {
  public:
    batch_runner(std::vector<batch_file>* files, int threads) : files_(*files), threads_(threads) {}

    // Converts every file, its text kept; returns false when no thread
    // could be started (nothing is converted then). Calls print(i) for each
    // file in order as soon as it and every file before it are done, and
    // progress(done) now and then.
    template <class print_fn, class progress_fn>
    bool run(print_fn print, progress_fn progress) {
        std::vector<std::thread> workers;
        try {
            for (int t = 0; t < threads_; ++t) workers.emplace_back([this] { convert_files(); });
        } catch (const std::system_error&) {
            // A thread the system could not start: the others convert the rest.
        }
        if (workers.empty()) return false;
        std::size_t printed = 0;
        std::unique_lock<std::mutex> lock(mutex_);
        while (printed < files_.size()) {
            if (handed_over_ != nobody) {
                // The slot stays taken while the file is committed: the
                // workers meanwhile commit their own.
                batch_file& file = files_[handed_over_];
                lock.unlock();
                const int code = commit_file(&file.pending, file.con.get());
                file.con.reset();
                lock.lock();
                handed_over_ = nobody;
                mark_done(&file, code);
            } else if (!files_[printed].done) {
                if (work_ready_.wait_for(lock, progress_redraw) == std::cv_status::timeout) progress(done_count_);
                continue;
            }
            while (printed < files_.size() && files_[printed].done) {
                lock.unlock();
                print(printed);
                progress(++printed);
                lock.lock();
            }
        }
        lock.unlock();
        for (std::thread& t : workers) t.join();
        return true;
    }

  private:
    // Under mutex_.
    void mark_done(batch_file* file, int code) {
        file->exit_code = code;
        file->done = true;
        ++done_count_;
    }

    void convert_files() {
        for (;;) {
            std::size_t i;
            {
                const std::lock_guard<std::mutex> lock(mutex_);
                if (next_ == files_.size()) return;
                i = next_++;
            }
            batch_file& file = files_[i];
            file.con = std::make_unique<console>(file.job.quiet ? nullptr : stdout, file.job.quiet ? stderr : stdout,
                                                 false);
            file.con->keep_text_in(&file.text);
            file.pending = convert_file_until_commit(file.job, file.con.get());
            bool handed_over = false;
            if (file.pending.end.commit_due) {
                const std::lock_guard<std::mutex> lock(mutex_);
                handed_over = handed_over_ == nobody;
                if (handed_over) handed_over_ = i;
            }
            if (!handed_over) {
                const int code = commit_file(&file.pending, file.con.get());
                file.con.reset();
                const std::lock_guard<std::mutex> lock(mutex_);
                mark_done(&file, code);
            }
            work_ready_.notify_one();
        }
    }

    std::vector<batch_file>& files_;
    int threads_;
    std::mutex mutex_;
    std::condition_variable work_ready_;   // a file to commit, or one done
    static constexpr std::size_t nobody = static_cast<std::size_t>(-1);
    std::size_t handed_over_ = nobody;     // the file the calling thread commits, if any
    std::size_t next_ = 0;
    std::size_t done_count_ = 0;
};

// "a.wav (exit 3), b.wav (exit 6)", the first few names, and how many more.
std::string failure_list(const std::vector<batch_file>& files) {
    std::string list;
    std::size_t named = 0, more = 0;
    for (const batch_file& f : files) {
        if (f.exit_code == exit_ok) continue;
        if (named == failures_named) {
            ++more;
            continue;
        }
        if (named++ > 0) list += ", ";
        list += f.job.input_name + " (exit " + std::to_string(f.exit_code) + ")";
    }
    if (more > 0) list += ", and " + std::to_string(more) + " more";
    return list;
}

}  // namespace

int run_batch(const command_line& cl, int closed_at_start) {
    pcmtaper_kernel_level kernel_level;
    if (const int refused = kernel_level_from_environment(&kernel_level); refused != exit_ok) return refused;
    install_signal_handlers();
    const file_identity stdout_identity = identity_of_descriptor(stdout_fd);
    if (cl.quiet) silence_standard_output();

    const int jobs = cl.jobs != 0 ? cl.jobs : processors_available();
    const std::size_t count = cl.batch_inputs.size();
    // Files side by side, one thread each; threads to spare go to the files
    // (each file's look-ahead takes what helps it).
    const int files_at_once = static_cast<std::size_t>(jobs) < count ? jobs : static_cast<int>(count);
    std::vector<batch_file> files(count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::string& name = cl.batch_inputs[i];
        file_conversion& job = files[i].job;
        job = file_conversion_for(cl, name, batch_output_name(name, cl.target_directory, cl.format), false);
        job.options.threads = jobs / files_at_once;
        job.options.kernel_level = kernel_level;
        job.stdout_closed_at_start = (closed_at_start & stdout_closed_bit) != 0;
        job.batch_derived_name = true;
        job.output_is_batch_stdout = same_file(identity_of_name(job.output_name), stdout_identity);
    }

    batch_progress progress(!cl.quiet && is_terminal(stderr_fd), count);
    auto print = [&](std::size_t i) {
        progress.erase();
        write_kept_text(files[i].text);
        files[i].text = {};
    };
    const bool side_by_side =
        files_at_once > 1 &&
        batch_runner(&files, files_at_once).run(print, [&](std::size_t done) { progress.draw(done); });
    if (!side_by_side) {
        // On this thread, each file's text printed as it comes.
        for (std::size_t i = 0; i < count; ++i) {
            console con(cl.quiet ? nullptr : stdout, cl.quiet ? stderr : stdout, false);
            progress.erase();
            files[i].exit_code = convert_file(files[i].job, &con);
            std::fflush(stdout);
            progress.draw(i + 1);
        }
    }
    progress.erase();

    int code = exit_ok;
    std::size_t converted = 0;
    for (const batch_file& f : files) {
        if (f.exit_code == exit_ok) ++converted;
        if (code == exit_ok) code = f.exit_code;
    }
    if (code != exit_ok) {
        std::fflush(stdout);
        std::fprintf(stderr, "pcmtaper: %zu of %zu files converted; failed: %s\n", converted, count,
                     failure_list(files).c_str());
    }
    if (cl.quiet) return code;
    return check_standard_output(code, closed_at_start, code == exit_ok ? "; the output files are complete" : "");
}
