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
#include <unordered_map>
#include <vector>

#include "driver.h"
#include "pcmtaper/pcmtaper.h"

namespace {

constexpr int stdout_fd = 1;
constexpr int stderr_fd = 2;
constexpr std::size_t failures_named = 5;  // in the last line; the rest are counted

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

// A name as a key that two spellings of one file share: the absolute path
// of its directory (links and ".." resolved, where the directory exists) and
// its last component, in ASCII lower case where the system's names ignore
// case (Windows, macOS). Existing files are also compared by identity.
std::string name_key(const std::string& path) {
#ifdef _WIN32
    const std::size_t separator = path.find_last_of("/\\:");
#else
    const std::size_t separator = path.rfind('/');
#endif
    const std::string directory = separator == std::string::npos ? "." : path.substr(0, separator + 1);
    std::string key = absolute_path(directory) + "/" + path.substr(separator == std::string::npos ? 0 : separator + 1);
#if defined(_WIN32) || defined(__APPLE__)
    for (char& c : key)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
#endif
    return key;
}

// The identity of an existing file as a key; empty when it has none.
std::string identity_key(const std::string& name) {
    const file_identity id = identity_of_name(name);
    return id.known ? std::to_string(id.volume) + ":" + std::to_string(id.index) : std::string();
}

// An input that is this program's own output by name and kind: a WAV
// output's derived name (x.8b.wav) holding an 8-bit mono WAV file. A batch
// run again over *.wav meets its earlier outputs; converting one would only
// be refused (it is not 16-bit), and would make x.8b.8b.wav once 8-bit input
// is read.
bool is_own_output(const std::string& name) {
    if (!ends_with_ignoring_case(name, derived_suffix(file_format::wav))) return false;
    unsigned char start[file_start_bytes];
    std::size_t length = 0;
    return read_file_start(name, start, &length) && starts_8_bit_wav(start, length);
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
    // The first name each key was met under, by name and by identity.
    std::unordered_map<std::string, std::size_t> inputs, outputs, input_files;
    for (std::size_t i = 0; i < files->size(); ++i)
        if (const std::string id = identity_key((*files)[i].job.input_name); !id.empty()) input_files.emplace(id, i);
    const auto first_of = [](const std::unordered_map<std::string, std::size_t>& met, const std::string& key,
                             std::size_t* at) {
        const auto found = key.empty() ? met.end() : met.find(key);
        if (found != met.end()) *at = found->second;
        return found != met.end();
    };
    for (std::size_t i = 0; i < files->size(); ++i) {
        file_conversion& job = (*files)[i].job;
        const std::string input_name = name_key(job.input_name), input_id = identity_key(job.input_name);
        const std::string output_name = name_key(job.output_name), output_id = identity_key(job.output_name);
        std::size_t j = 0;
        if (first_of(inputs, input_name, &j) || first_of(inputs, input_id, &j)) {
            job.refused_code = exit_output_not_own;
            job.refusal = job.input_name + " is given twice; it is converted once";
        } else if (first_of(outputs, output_name, &j) || first_of(outputs, output_id, &j)) {
            job.refused_code = exit_output_not_own;
            job.refusal = "the output " + job.output_name + " of " + job.input_name + " is also the output of " +
                          (*files)[j].job.input_name + "; " + job.input_name + " is not converted";
        } else if (first_of(input_files, output_id, &j) && j != i) {
            job.refused_code = exit_output_is_input;
            job.refusal = "the output " + job.output_name + " is the input " + (*files)[j].job.input_name +
                          " of this run; it is kept";
        }
        inputs.emplace(input_name, i);
        if (!input_id.empty()) inputs.emplace(input_id, i);
        if (job.refused_code != exit_ok) continue;  // writes nothing
        outputs.emplace(output_name, i);
        if (!output_id.empty()) outputs.emplace(output_id, i);
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
