// The output file and the signals that must not leave its temporary file
// behind, on POSIX systems.
#include "output.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#if defined(__linux__) || defined(__APPLE__)
#include <sys/xattr.h>
#endif
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "cli.h"
#include "exit_codes.h"

namespace {

// ---- the temporary files that a signal must not leave behind ---------------
//
// One entry per output being written (a batch writes several at once). The
// handler may only use async-signal-safe calls: it removes each file by its
// name relative to a descriptor of its directory (unlinkat), which stays
// right even if the directory is moved or renamed while the program runs.
//
// An entry is claimed under a mutex (never taken by the handler) and filled
// name first, descriptor last. So that no file is created after the handler
// has looked at the entries, creating one is bracketed by `creating`: the
// handler first sets `dying`, then waits for `creating` to fall to 0, then
// removes. A creator counts itself and then reads `dying` (all sequentially
// consistent): either it sees `dying` and creates nothing, or the handler
// waits for its entry. The creating thread blocks the signals meanwhile, so
// the handler never waits on its own thread.
constexpr int temp_entries = 2 * max_jobs;
struct pending_temp_file {
    std::atomic<int> dir_fd{-1};  // -1: the entry holds no file
    char name[temp_file_name_size];
    bool claimed = false;         // under claim_mutex
};
pending_temp_file pending[temp_entries];
std::mutex claim_mutex;
std::atomic<int> creating{0};
std::atomic<bool> dying{false};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free,
              "the signal handler reads these");

void remove_pending_temp_files() {
    dying.store(true);
    while (creating.load() != 0) {
    }
    for (pending_temp_file& p : pending) {
        const int dir_fd = p.dir_fd.load();
        if (dir_fd >= 0) unlinkat(dir_fd, p.name, 0);
    }
}

extern "C" void remove_temp_and_die(int signal_number) {
    remove_pending_temp_files();
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}

pending_temp_file* claim_entry() {
    const std::lock_guard<std::mutex> lock(claim_mutex);
    for (pending_temp_file& p : pending)
        if (!p.claimed) {
            p.claimed = true;
            return &p;
        }
    return nullptr;
}

void release_entry(pending_temp_file* p) {
    p->dir_fd.store(-1);
    const std::lock_guard<std::mutex> lock(claim_mutex);
    p->claimed = false;
}

// Every signal whose default action ends the process and that a user or the
// system sends to stop a run (not the ones that mean a fault in the program).
constexpr int cleanup_signals[] = {SIGINT,  SIGTERM, SIGHUP,  SIGQUIT,   SIGALRM,
                                   SIGUSR1, SIGUSR2, SIGXCPU, SIGVTALRM, SIGPROF};

// Blocks the cleanup signals on this thread while a temporary file is
// created and recorded, so that none can arrive between the two and leave
// the file behind.
class cleanup_signals_blocked {
  public:
    cleanup_signals_blocked() {
        sigset_t blocked;
        sigemptyset(&blocked);
        for (int s : cleanup_signals) sigaddset(&blocked, s);
        pthread_sigmask(SIG_BLOCK, &blocked, &previous_);
    }
    ~cleanup_signals_blocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
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

struct timespec change_time(const struct stat& st) {
#ifdef __APPLE__
    return st.st_ctimespec;
#else
    return st.st_ctim;
#endif
}

// Moves `from` to `to`, both in the directory `dir_fd`, unless `to` exists.
// Returns 0 or the errno (EEXIST: `to` exists and is kept).
int rename_no_replace(int dir_fd, const char* from, const char* to) {
#if defined(__linux__) && defined(RENAME_NOREPLACE)
    if (renameat2(dir_fd, from, dir_fd, to, RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return errno;
#elif defined(__APPLE__) && defined(RENAME_EXCL)
    if (renameatx_np(dir_fd, from, dir_fd, to, RENAME_EXCL) == 0) return 0;
    if (errno != EINVAL && errno != ENOTSUP) return errno;
#endif
    // Without that call (or on a file system that lacks it): a second name
    // for the file, which the system refuses when the name exists, and the
    // temporary name removed.
    if (linkat(dir_fd, from, dir_fd, to, 0) != 0) return errno;
    unlinkat(dir_fd, from, 0);
    return 0;
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
    explicit replacing_file_sink(file_output_request request) : request_(std::move(request)), name_(request_.name) {}
    ~replacing_file_sink() override { discard(); }

    opened open() override;
    bool rewindable() const override { return !direct_; }
    bool seek_to_start() override { return !direct_ && std::fseek(stream_, 0, SEEK_SET) == 0; }
    finished commit() override;
    void discard() override;

  private:
    opened open_directly(const std::string& target);
    opened check_existing(const std::string& target, const std::string& directory, const struct stat& existing);
    finished move_into_place();
    void mark_as_own();

    file_output_request request_;
    const std::string& name_;
    std::FILE* stream_ = nullptr;
    bool direct_ = false;  // a device or a FIFO, written in place
    int dir_fd_ = -1;
    std::string directory_;
    std::string target_base_;
    char temp_name_[temp_file_name_size] = {};
    pending_temp_file* pending_ = nullptr;  // the entry that names the temporary file
    // The file that was at the target's name when the run started, which the
    // output may replace, and only that one.
    bool existed_ = false;
    // Device and inode, and the change time: a file made where one was
    // removed often gets its inode number at once.
    dev_t existing_device_ = 0;
    ino_t existing_inode_ = 0;
    struct timespec existing_changed_ = {};
    mode_t set_id_bits_ = 0;
    mode_t mode_ = 0;  // given at the end: a write by a user other than root clears them
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

// An existing regular file may be replaced only by someone who may write it
// and rename over it, and only when it is this input's earlier output (or
// empty): anything else there is likely an original, named by mistake or by
// a glob.
output_sink::opened replacing_file_sink::check_existing(const std::string& target, const std::string& directory,
                                                        const struct stat& existing) {
    if (faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) return cannot_write(name_, errno);
    // In a directory with the sticky bit (as /tmp), only the file's owner,
    // the directory's owner or root may rename over a file: the rename at
    // the end would fail after the whole conversion.
    struct stat dir_st;
    const uid_t user = geteuid();
    if (user != 0 && existing.st_uid != user && stat(directory.c_str(), &dir_st) == 0 &&
        (dir_st.st_mode & S_ISVTX) != 0 && dir_st.st_uid != user)
        return refused(exit_output_not_openable, "cannot write the output file " + name_ + ": " +
                                                     system_reason(EPERM) + " (the directory " + directory +
                                                     " is sticky and the file belongs to another user)");
    const std::string why_not = replace_refusal(target, request_);
    if (why_not.empty()) return {nullptr, exit_ok, {}};
    return refused(exit_output_not_own, why_not);
}

output_sink::opened replacing_file_sink::open() {
    const std::string& path = request_.path;
    if (path.empty()) return cannot_write("''", ENOENT);
    std::string target = path;
    struct stat existing;
    bool exists = lstat(path.c_str(), &existing) == 0;
    if (!exists && errno != ENOENT) return cannot_write(name_, errno);
    if (exists && S_ISLNK(existing.st_mode)) {
        // Follow the link: the file it points to is replaced, the link kept.
        if (stat(path.c_str(), &existing) != 0) {
            if (errno == ENOENT)
                return refused(exit_output_not_openable,
                               "the output " + name_ + " is a symbolic link to a file that does not exist");
            return cannot_write(name_, errno);
        }
        char resolved[PATH_MAX];
        if (realpath(path.c_str(), resolved) == nullptr) return cannot_write(name_, errno);
        target = resolved;
    }
    if (exists && S_ISDIR(existing.st_mode)) return cannot_write(name_, EISDIR);
    if (exists && !S_ISREG(existing.st_mode)) return open_directly(target);

    std::string directory;
    split_path(target, &directory, &target_base_);
    directory_ = directory;
    if (target_base_.empty() || target_base_ == "." || target_base_ == "..") return cannot_write(name_, EISDIR);

    mode_t mode;
    if (exists) {
        const opened check = check_existing(target, directory_, existing);
        if (check.exit_code != exit_ok) return check;
        mode = existing.st_mode & 07777;
        existed_ = true;
        existing_device_ = existing.st_dev;
        existing_inode_ = existing.st_ino;
        existing_changed_ = change_time(existing);
    } else {
        const mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }

    dir_fd_ = ::open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd_ < 0) return cannot_write(name_, errno);
    pending_ = claim_entry();
    if (pending_ == nullptr) return cannot_write(name_, EMFILE);  // more outputs at once than -j allows
    int fd = -1;
    for (unsigned attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        make_temp_file_name(static_cast<std::uint64_t>(getpid()), attempt, temp_name_);
        const cleanup_signals_blocked blocked;
        creating.fetch_add(1);
        if (dying.load()) {
            creating.fetch_sub(1);
            errno = EINTR;
            break;
        }
        fd = openat(dir_fd_, temp_name_, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        const int open_error = errno;
        if (fd >= 0) {
            std::memcpy(pending_->name, temp_name_, sizeof temp_name_);
            pending_->dir_fd.store(dir_fd_);
        }
        creating.fetch_sub(1);
        errno = open_error;
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        // The file itself may be writable: what failed is a new file in its
        // directory, which the message names.
        const int e = errno;
        temp_name_[0] = '\0';
        if (e == ENOMEM) return cannot_write(name_, e);
        return refused(exit_output_not_openable, "cannot write the output file " + name_ +
                                                     ": cannot create a file in the directory " + directory_ + ": " +
                                                     system_reason(e));
    }
    if (exists) {
        // The replacement keeps the owner and group where the user may set
        // them (root may; others only a group of theirs). A set-user-id or
        // set-group-id bit is kept only for an unchanged owner and group:
        // never handed to a file that now belongs to someone else. They are
        // given after the last byte is written (commit), since the system
        // clears them on a write by a user other than root.
        if (fchown(fd, existing.st_uid, existing.st_gid) != 0) (void)fchown(fd, static_cast<uid_t>(-1), existing.st_gid);
        struct stat made;
        if (fstat(fd, &made) == 0 && made.st_uid == existing.st_uid && made.st_gid == existing.st_gid)
            set_id_bits_ = mode & static_cast<mode_t>(S_ISUID | S_ISGID);
        mode &= ~static_cast<mode_t>(S_ISUID | S_ISGID);
    }
    stream_ = fdopen(fd, "wb");
    if (stream_ == nullptr || fchmod(fd, mode) != 0) {
        const int e = errno;
        if (stream_ == nullptr) close(fd);
        discard();
        return cannot_write(name_, e);
    }
    mode_ = mode | set_id_bits_;
    return {stream_, exit_ok, {}};
}

// Flushes, syncs and closes the output and moves it into place. Every step
// is checked: a full disk often shows only at the flush or the close.
output_sink::finished replacing_file_sink::commit() {
    bool ok = std::fflush(stream_) == 0 && !std::ferror(stream_);
    if (ok && !direct_) mark_as_own();
    if (ok && !direct_) ok = fsync(fileno(stream_)) == 0;
    if (ok && set_id_bits_ != 0) ok = fchmod(fileno(stream_), mode_) == 0;
    ok = (std::fclose(stream_) == 0) && ok;
    stream_ = nullptr;
    if (direct_ || !ok) {
        discard();
        return {ok ? exit_ok : exit_write_error, {}};
    }
    const finished moved = move_into_place();
    if (moved.exit_code == exit_ok) {
        pending_->dir_fd.store(-1);
        temp_name_[0] = '\0';
        fsync(dir_fd_);  // the rename itself on disk; a failure here loses nothing
    }
    discard();
    return moved;
}

// Marks the complete temporary file as this program's output of this input
// (output.h), from its bytes read back. A file system that keeps no extended
// attributes keeps no mark: the output is then complete all the same, and a
// later run treats it as any other file.
void replacing_file_sink::mark_as_own() {
#if defined(__linux__) || defined(__APPLE__)
    const int fd = openat(dir_fd_, temp_name_, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return;
    std::FILE* written = fdopen(fd, "rb");
    if (written == nullptr) {
        close(fd);
        return;
    }
    const std::string text = output_mark_of(written, request_.input_key);
    std::fclose(written);
    if (text.empty()) return;
#ifdef __APPLE__
    (void)fsetxattr(fileno(stream_), output_mark_attribute, text.data(), text.size(), 0, 0);
#else
    (void)fsetxattr(fileno(stream_), output_mark_attribute, text.data(), text.size(), 0);
#endif
#endif
}

// The rename at the end. A file that was not there at the start and has
// appeared since is not replaced; one that was there is replaced only if it
// is still the file that was checked.
output_sink::finished replacing_file_sink::move_into_place() {
    const char* base = target_base_.c_str();
    struct stat now;
    const bool there = fstatat(dir_fd_, base, &now, AT_SYMLINK_NOFOLLOW) == 0;
    if (there && existed_ &&
        (now.st_dev != existing_device_ || now.st_ino != existing_inode_ ||
         change_time(now).tv_sec != existing_changed_.tv_sec || change_time(now).tv_nsec != existing_changed_.tv_nsec))
        return {exit_output_not_own, "the output file " + name_ + " changed during the conversion; it is kept"};
    int error = 0;
    if (there && existed_) {
        if (renameat(dir_fd_, temp_name_, dir_fd_, base) != 0) error = errno;
    } else {
        error = rename_no_replace(dir_fd_, temp_name_, base);
    }
    if (error == 0) return {exit_ok, {}};
    if (error == EEXIST)
        return {exit_output_not_own, "the output file " + name_ + " appeared during the conversion; it is kept"};
    return {error == EACCES || error == EPERM || error == EROFS ? exit_output_not_openable : exit_write_error,
            "cannot write the output file " + name_ + ": " + system_reason(error)};
}

void replacing_file_sink::discard() {
    if (stream_ != nullptr) std::fclose(stream_);
    stream_ = nullptr;
    if (temp_name_[0] != '\0') {
        unlinkat(dir_fd_, temp_name_, 0);
        temp_name_[0] = '\0';
    }
    if (pending_ != nullptr) release_entry(pending_);
    pending_ = nullptr;
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

void remove_temporary_output() { remove_pending_temp_files(); }

std::unique_ptr<output_sink> make_file_output(const file_output_request& request) {
    return std::make_unique<replacing_file_sink>(request);
}

