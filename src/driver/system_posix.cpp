// The driver's system calls on POSIX systems.
#include <fcntl.h>
#ifdef __linux__
#include <sched.h>
#endif
#include <sys/stat.h>
#if defined(__linux__) || defined(__APPLE__)
#include <sys/xattr.h>
#endif
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "output.h"
#include "system.h"

namespace {

bool is_null_device(const struct stat& st) {
    struct stat null_device;
    return S_ISCHR(st.st_mode) && stat("/dev/null", &null_device) == 0 && st.st_rdev == null_device.st_rdev;
}

void point_descriptor_at_null(int fd) {
    const int null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null_fd < 0) return;
    dup2(null_fd, fd);
    close(null_fd);
}

file_identity identity_of(const struct stat& st) {
    return {true, static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

}  // namespace

file_identity identity_of_descriptor(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0) return {};
    return identity_of(st);
}

file_identity identity_of_name(const std::string& name) {
    struct stat st;
    if (stat(name.c_str(), &st) != 0 || S_ISDIR(st.st_mode) || is_null_device(st)) return {};
    return identity_of(st);
}

bool same_file(const file_identity& a, const file_identity& b) {
    return a.known && b.known && a.volume == b.volume && a.index == b.index;
}

std::FILE* open_input_file(const std::string& name) { return std::fopen(name.c_str(), "rb"); }

std::FILE* standard_input() { return stdin; }

bool describe_open_file(std::FILE* stream, open_file_info* info) {
    struct stat st;
    if (fstat(fileno(stream), &st) != 0) return false;
    info->directory = S_ISDIR(st.st_mode);
    // A file the system reports as empty may still yield bytes (those under
    // /proc do): it is read as a stream, as a pipe is.
    info->regular = S_ISREG(st.st_mode) && st.st_size > 0;
    info->size_bytes = static_cast<long long>(st.st_size);
    info->identity = identity_of(st);
    return true;
}

long long stream_position(std::FILE* stream) { return static_cast<long long>(ftello(stream)); }

int open_closed_standard_descriptors() {
    int closed = 0;
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // open gives the lowest free descriptor: this one.
        const int null_fd = ::open("/dev/null", O_RDWR);
        if (null_fd != fd && null_fd >= 0) {
            dup2(null_fd, fd);
            close(null_fd);
        }
        closed |= 1 << fd;
    }
    return closed;
}

int move_standard_output_aside(bool quiet) {
    const int audio_fd = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (quiet) {
        point_descriptor_at_null(STDOUT_FILENO);
    } else {
        dup2(STDERR_FILENO, STDOUT_FILENO);
    }
    return audio_fd;
}

std::FILE* open_descriptor_stream(int fd) { return fdopen(fd, "wb"); }

long long regular_file_position(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    return static_cast<long long>(lseek(fd, 0, SEEK_CUR));
}

bool seek_stream(std::FILE* stream, long long offset) { return fseeko(stream, static_cast<off_t>(offset), SEEK_SET) == 0; }

void silence_standard_output() { point_descriptor_at_null(STDOUT_FILENO); }

bool is_terminal(int fd) { return isatty(fd) != 0; }

int processors_available() {
#ifdef __linux__
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0 && CPU_COUNT(&allowed) > 0) return CPU_COUNT(&allowed);
#endif
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<int>(online < 4096 ? online : 4096) : 1;
}

std::string resolved_link(const std::string& name) {
    struct stat st;
    char resolved[PATH_MAX];
    if (lstat(name.c_str(), &st) != 0 || !S_ISLNK(st.st_mode) || realpath(name.c_str(), resolved) == nullptr)
        return name;
    return resolved;
}

std::string absolute_path(const std::string& name) {
    char resolved[PATH_MAX];
    return realpath(name.c_str(), resolved) != nullptr ? std::string(resolved) : name;
}

int directory_status(const std::string& name) {
    struct stat st;
    if (stat(name.c_str(), &st) != 0) return errno;
    return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
}

bool names_stream(const std::string& name) {
    struct stat st;
    return stat(name.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode);
}

int make_directory(const std::string& name) { return mkdir(name.c_str(), 0777) == 0 ? 0 : errno; }

bool read_output_mark(const std::string& path, std::string* text) {
#if defined(__linux__) || defined(__APPLE__)
    char value[128];
#ifdef __APPLE__
    const ssize_t length = getxattr(path.c_str(), output_mark_attribute, value, sizeof value, 0, 0);
#else
    const ssize_t length = getxattr(path.c_str(), output_mark_attribute, value, sizeof value);
#endif
    if (length < 0) return false;
    text->assign(value, static_cast<std::size_t>(length));
    return true;
#else
    (void)path;
    (void)text;
    return false;
#endif
}

void close_descriptor(int fd) {
    if (fd >= 0) close(fd);
}
