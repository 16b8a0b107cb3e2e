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
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "driver.h"
#include "pcmtaper/pcmtaper.h"

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

// "a.wav (exit 3), b.wav (exit 6)", the first few items, and how many more.
std::string short_list(const std::vector<std::string>& items) {
    std::string list;
    for (std::size_t i = 0; i < items.size() && i < failures_named; ++i) list += (i > 0 ? ", " : "") + items[i];
    if (items.size() > failures_named) list += ", and " + std::to_string(items.size() - failures_named) + " more";
    return list;
}

// A path as a key that two spellings of one name share: "//" and "/./" as
// "/", and, where the system's names ignore case (Windows, macOS), ASCII in
// lower case. Names of existing files are also compared by identity.
std::string name_key(const std::string& path) {
    std::string key;
    for (std::size_t i = 0; i < path.size(); ++i) {
        char c = path[i];
#if defined(_WIN32)
        if (c == '\\') c = '/';
#endif
#if defined(_WIN32) || defined(__APPLE__)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
#endif
        if (c == '/' && !key.empty() && key.back() == '/') continue;
        if (c == '/' && key.size() >= 2 && key.compare(key.size() - 2, 2, "/.") == 0) {
            key.pop_back();
            continue;
        }
        key += c;
    }
    if (key.rfind("./", 0) == 0 && key.size() > 2) key.erase(0, 2);
    return key;
}

bool ends_with_ignoring_case(const std::string& text, const char* suffix) {
    const std::size_t n = std::strlen(suffix);
    if (text.size() < n) return false;
    for (std::size_t i = 0; i < n; ++i) {
        char c = text[text.size() - n + i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != suffix[i]) return false;
    }
    return true;
}

// An input that is this program's own output by name and kind: a WAV
// output's derived name (x.8b.wav) holding an 8-bit mono WAV file. A batch
// run again over *.wav meets its earlier outputs; converting one would only
// be refused (it is not 16-bit), and would make x.8b.8b.wav once 8-bit input
// is read.
bool is_own_output(const std::string& name) {
    if (!ends_with_ignoring_case(name, derived_suffix(file_format::wav))) return false;
    std::FILE* f = open_input_file(name);
    if (f == nullptr) return false;
    unsigned char start[4096];
    const std::size_t length = std::fread(start, 1, sizeof start, f);
    std::fclose(f);
    int is_8_bit = 0;
    return pcmtaper_wav_is_8_bit(start, length, &is_8_bit, nullptr) == PCMTAPER_OK && is_8_bit != 0;
}

// Makes the target directory when it does not exist yet (its parent must),
// saying so once; returns a refusal's exit code after saying why, before any
// file is converted.
int prepare_target_directory(const command_line& cl) {
    const std::string& dir = cl.target_directory;
    if (dir.empty()) return exit_ok;
    int status = directory_status(dir);
    if (status == ENOENT) {
        status = make_directory(dir);
        if (status == 0 && !cl.quiet) std::fprintf(stderr, "pcmtaper: made the target directory %s\n", dir.c_str());
        if (status == EEXIST) status = directory_status(dir);  // made meanwhile by another run
    }
    if (status == 0) return exit_ok;
    if (status == ENOTDIR)
        std::fprintf(stderr, "pcmtaper: the target directory %s is not a directory; nothing is converted\n", dir.c_str());
    else
        std::fprintf(stderr, "pcmtaper: cannot make the target directory %s: %s; nothing is converted\n", dir.c_str(),
                     std::strerror(status));
    return exit_output_not_openable;
}

// Refuses, before anything is converted, every file whose output would
// replace what this run writes or reads: a name given a second time, an
// output that another input of the batch also derives (d1/x.wav and d3/x.wav
// into one target directory, a.wav and a.WAV), and an output that is, or
// leads to, another input of the run (with --force too). The first of two
// colliding inputs is converted.
void refuse_collisions(std::vector<batch_file>* files) {
    std::vector<file_identity> inputs, outputs;
    std::vector<std::string> input_keys, output_keys;
    for (const batch_file& f : *files) {
        inputs.push_back(identity_of_name(f.job.input_name));
        outputs.push_back(identity_of_name(f.job.output_name));
        input_keys.push_back(name_key(f.job.input_name));
        output_keys.push_back(name_key(f.job.output_name));
    }
    for (std::size_t i = 0; i < files->size(); ++i) {
        file_conversion& job = (*files)[i].job;
        for (std::size_t j = 0; j < i && job.refused_code == exit_ok; ++j) {
            const file_conversion& earlier = (*files)[j].job;
            if (input_keys[i] == input_keys[j] || same_file(inputs[i], inputs[j])) {
                job.refused_code = exit_output_not_own;
                job.refusal = job.input_name + " is given twice; it is converted once";
            } else if (output_keys[i] == output_keys[j] || same_file(outputs[i], outputs[j])) {
                job.refused_code = exit_output_not_own;
                job.refusal = "the output " + job.output_name + " of " + job.input_name + " is also the output of " +
                              earlier.input_name + "; " + job.input_name + " is not converted";
            }
        }
        for (std::size_t j = 0; j < files->size() && job.refused_code == exit_ok; ++j) {
            if (j == i || !same_file(outputs[i], inputs[j])) continue;
            job.refused_code = exit_output_is_input;
            job.refusal = "the output " + job.output_name + " is the input " + (*files)[j].job.input_name +
                          " of this run; it is kept";
        }
    }
}

}  // namespace

int run_batch(const command_line& cl, int closed_at_start) {
    pcmtaper_kernel_level kernel_level;
    if (const int refused = kernel_level_from_environment(&kernel_level); refused != exit_ok) return refused;
    install_signal_handlers();
    const file_identity stdout_identity = identity_of_descriptor(stdout_fd);
    if (cl.quiet) silence_standard_output();

    if (const int refused = prepare_target_directory(cl); refused != exit_ok) return refused;
    std::vector<std::string> inputs, skipped;
    for (const std::string& name : cl.batch_inputs) (is_own_output(name) ? skipped : inputs).push_back(name);

    const int jobs = cl.jobs != 0 ? cl.jobs : processors_available();
    const std::size_t count = inputs.size();
    // Files side by side, one thread each; threads to spare go to the files
    // (each file's look-ahead takes what helps it).
    const int files_at_once = static_cast<std::size_t>(jobs) < count ? jobs : static_cast<int>(count);
    std::vector<batch_file> files(count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::string& name = inputs[i];
        file_conversion& job = files[i].job;
        job = file_conversion_for(cl, name, batch_output_name(name, cl.target_directory, cl.format), false);
        job.options.threads = jobs / files_at_once;
        job.options.kernel_level = kernel_level;
        job.stdout_closed_at_start = (closed_at_start & stdout_closed_bit) != 0;
        job.batch_derived_name = true;
        job.output_is_batch_stdout = same_file(identity_of_name(job.output_name), stdout_identity);
    }
    refuse_collisions(&files);

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
    std::vector<std::string> failed;
    for (const batch_file& f : files) {
        if (f.exit_code == exit_ok) ++converted;
        else failed.push_back(f.job.input_name + " (exit " + std::to_string(f.exit_code) + ")");
        if (code == exit_ok) code = f.exit_code;
    }
    if (!failed.empty() || !skipped.empty()) {
        std::fflush(stdout);
        std::string line = "pcmtaper: " + std::to_string(converted) + " of " + std::to_string(count) + " files converted";
        if (!skipped.empty())
            line += "; " + std::to_string(skipped.size()) + " skipped as outputs of pcmtaper: " + short_list(skipped);
        if (!failed.empty()) line += "; failed: " + short_list(failed);
        std::fprintf(stderr, "%s\n", line.c_str());
    }
    if (cl.quiet) return code;
    return check_standard_output(code, closed_at_start, code == exit_ok ? "; the output files are complete" : "");
}
