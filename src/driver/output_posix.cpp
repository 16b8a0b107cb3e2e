// The output file and the signals that must not leave its temporary file
// behind, on POSIX systems.
#include "output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "exit_codes.h"

namespace {

// ---- the temporary file that a signal must not leave behind ----------------
//
// The handler may only use async-signal-safe calls: it removes the file by
// its name relative to a descriptor of its directory (unlinkat), which stays
// right even if the directory is moved or renamed while the program runs.
volatile std::sig_atomic_t pending_dir_fd = -1;
char pending_temp_name[temp_file_name_size];

void remove_pending_temp_file() {
    const int dir_fd = pending_dir_fd;
    if (dir_fd >= 0) unlinkat(dir_fd, pending_temp_name, 0);
}

extern "C" void remove_temp_and_die(int signal_number) {
    remove_pending_temp_file();
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}

// Every signal whose default action ends the process and that a user or the
// system sends to stop a run (not the ones that mean a fault in the program).
constexpr int cleanup_signals[] = {SIGINT,  SIGTERM, SIGHUP,  SIGQUIT,   SIGALRM,
                                   SIGUSR1, SIGUSR2, SIGXCPU, SIGVTALRM, SIGPROF};

// Blocks the cleanup signals while a temporary file is created and recorded,
// so that none can arrive between the two and leave the file behind.
class cleanup_signals_blocked {
  public:
    cleanup_signals_blocked() {
        sigset_t blocked;
        sigemptyset(&blocked);
        for (int s : cleanup_signals) sigaddset(&blocked, s);
        sigprocmask(SIG_BLOCK, &blocked, &previous_);
    }
    ~cleanup_signals_blocked() { sigprocmask(SIG_SETMASK, &previous_, nullptr); }
    cleanup_signals_blocked(const cleanup_signals_blocked&) = delete;
    cleanup_signals_blocked& operator=(const cleanup_signals_blocked&) = delete;

  private:
    sigset_t previous_;
};

std::string system_reason(int error_number) { return std::strerror(error_number); }

output_sink::opened refused(int code, const std::string& message) { return {nullptr, code, message}; }

output_sink::opened cannot_write(const std::string& name, int error_number) {
    if (error_number == ENOMEM) return refused(exit_out_of_memory, "out of memory");
    return refused(exit_output_not_openable, "cannot write the output file " + name + ": " + system_reason(error_number));
}

// The directory part and the last component of a path ("." for a bare name).
void split_path(const std::string& path, std::string* directory, std::string* base) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        *directory = ".";
        *base = path;
    } else {
        *directory = slash == 0 ? "/" : path.substr(0, slash);
        *base = path.substr(slash + 1);
    }
}

// A regular output: the temporary file beside the file it replaces.
class replacing_file_sink final : public output_sink {
  public:
    replacing_file_sink(std::string name, bool force) : name_(std::move(name)), force_(force) {}
    ~replacing_file_sink() override { discard(); }

    opened open() override;
    bool rewindable() const override { return !direct_; }
    bool seek_to_start() override { return !direct_ && std::fseek(stream_, 0, SEEK_SET) == 0; }
    bool commit() override;
    void discard() override;

  private:
    opened open_directly(const std::string& target);
    opened check_existing(const std::string& target, const struct stat& existing);

    std::string name_;
    bool force_;
    std::FILE* stream_ = nullptr;
    bool direct_ = false;  // a device or a FIFO, written in place
    int dir_fd_ = -1;
    std::string target_base_;
    char temp_name_[sizeof pending_temp_name] = {};
};

// A device or a FIFO (named directly or through a link) is written in place.
output_sink::opened replacing_file_sink::open_directly(const std::string& target) {
    const int fd = ::open(target.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return cannot_write(name_, errno);
    if (isatty(fd)) {
        close(fd);
        return refused(exit_output_not_openable, "the output " + name_ + " is a terminal; the audio needs a file or a pipe");
    }
    stream_ = fdopen(fd, "wb");
    if (stream_ == nullptr) {
        const int e = errno;
        close(fd);
        return cannot_write(name_, e);
    }
    direct_ = true;
    return {stream_, exit_ok, {}};
}

// An existing regular file may be replaced only by someone who may write it,
// and only when it is this program's kind of output (or empty): a 16-bit WAV
// there is likely an original, named by mistake or by a glob.
output_sink::opened replacing_file_sink::check_existing(const std::string& target, const struct stat& existing) {
    if (faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) return cannot_write(name_, errno);
    if (force_ || existing.st_size == 0 || may_replace_existing_output(target)) return {nullptr, exit_ok, {}};
    return refused(exit_output_not_own,
                   "the output file " + name_ + " exists and is not an 8-bit WAV file; it is kept (--force replaces it)");
}

output_sink::opened replacing_file_sink::open() {
    if (name_.empty()) return cannot_write("''", ENOENT);
    std::string target = name_;
    struct stat existing;
    bool exists = lstat(name_.c_str(), &existing) == 0;
    if (!exists && errno != ENOENT) return cannot_write(name_, errno);
    if (exists && S_ISLNK(existing.st_mode)) {
        // Follow the link: the file it points to is replaced, the link kept.
        if (stat(name_.c_str(), &existing) != 0) {
            if (errno == ENOENT)
                return refused(exit_output_not_openable,
                               "the output " + name_ + " is a symbolic link to a file that does not exist");
            return cannot_write(name_, errno);
        }
        char resolved[PATH_MAX];
        if (realpath(name_.c_str(), resolved) == nullptr) return cannot_write(name_, errno);
        target = resolved;
    }
    if (exists && S_ISDIR(existing.st_mode)) return cannot_write(name_, EISDIR);
    if (exists && !S_ISREG(existing.st_mode)) return open_directly(target);

    std::string directory;
    split_path(target, &directory, &target_base_);
    if (target_base_.empty() || target_base_ == "." || target_base_ == "..") return cannot_write(name_, EISDIR);

    mode_t mode;
    if (exists) {
        const opened check = check_existing(target, existing);
        if (check.exit_code != exit_ok) return check;
        mode = existing.st_mode & 07777;
    } else {
        const mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }

    dir_fd_ = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd_ < 0) return cannot_write(name_, errno);
    int fd = -1;
    for (unsigned attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        make_temp_file_name(static_cast<std::uint64_t>(getpid()), attempt, temp_name_);
        const cleanup_signals_blocked blocked;
        fd = openat(dir_fd_, temp_name_, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0) {
            std::memcpy(pending_temp_name, temp_name_, sizeof temp_name_);
            pending_dir_fd = dir_fd_;
        } else if (errno != EEXIST) {
            break;
        }
    }
    if (fd < 0) {
        const int e = errno;
        temp_name_[0] = '\0';
        return cannot_write(name_, e);
    }
    if (exists) {
        // The replacement keeps the owner and group where the user may set
        // them (root may; others only a group of theirs). A set-user-id or
        // set-group-id bit is kept only for an unchanged owner: never handed
        // to a file that now belongs to someone else.
        if (fchown(fd, existing.st_uid, existing.st_gid) != 0) (void)fchown(fd, static_cast<uid_t>(-1), existing.st_gid);
        struct stat made;
        if (fstat(fd, &made) != 0 || made.st_uid != existing.st_uid) mode &= ~static_cast<mode_t>(S_ISUID | S_ISGID);
    }
    stream_ = fdopen(fd, "wb");
    if (stream_ == nullptr || fchmod(fd, mode) != 0) {
        const int e = errno;
        if (stream_ == nullptr) close(fd);
        discard();
        return cannot_write(name_, e);
    }
    return {stream_, exit_ok, {}};
}

// Flushes, syncs and closes the output and renames it into place. Every step
// is checked: a full disk often shows only at the flush or the close.
bool replacing_file_sink::commit() {
    bool ok = std::fflush(stream_) == 0 && !std::ferror(stream_);
    if (ok && !direct_) ok = fsync(fileno(stream_)) == 0;
    ok = (std::fclose(stream_) == 0) && ok;
    stream_ = nullptr;
    if (direct_) return ok;
    if (ok) ok = renameat(dir_fd_, temp_name_, dir_fd_, target_base_.c_str()) == 0;
    if (ok) {
        pending_dir_fd = -1;
        temp_name_[0] = '\0';
        fsync(dir_fd_);  // the rename itself on disk; a failure here loses nothing
    }
    discard();
    return ok;
}

void replacing_file_sink::discard() {
    if (stream_ != nullptr) std::fclose(stream_);
    stream_ = nullptr;
    if (temp_name_[0] != '\0') {
        unlinkat(dir_fd_, temp_name_, 0);
        pending_dir_fd = -1;
        temp_name_[0] = '\0';
    }
    if (dir_fd_ >= 0) close(dir_fd_);
    dir_fd_ = -1;
}



}  // namespace

void install_signal_handlers() {
    for (int s : cleanup_signals) {
        // A signal ignored when the program started (nohup, a background job of
        // a script) stays ignored: the conversion is then meant to outlive it.
        struct sigaction current {};
        if (sigaction(s, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
        std::signal(s, remove_temp_and_die);
    }
    // Past a file-size limit (ulimit -f) a write fails with EFBIG, and into a
    // closed pipe with EPIPE; both are handled as write errors (of the output)
    // or as a lost standard output, instead of killing the process with its
    // temporary file left behind or its output unfinished.
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
}

void remove_temporary_output() { remove_pending_temp_file(); }

std::unique_ptr<output_sink> make_file_output(const std::string& name, bool force) {
    return std::make_unique<replacing_file_sink>(name, force);
}

