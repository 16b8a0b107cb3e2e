// The driver's system calls on Windows. Names are UTF-8 inside the program
// and UTF-16 at every call into the system (windows_text.h). A file's
// identity is its volume serial number and its file index; a terminal is a
// console (the C runtime's _isatty is true for every character device,
// the null device included).
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdio>

#include "output.h"
#include "system.h"
#include "windows_handles.h"
#include "windows_text.h"

std::wstring wide_from_utf8(const std::string& text) {
    if (text.empty()) return {};
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
    return wide;
}

std::string utf8_from_wide(const wchar_t* text) {
    const int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (length <= 1) return {};
    std::string utf8(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8.data(), length, nullptr, nullptr);
    utf8.resize(static_cast<std::size_t>(length - 1));  // without the terminating zero
    return utf8;
}

int errno_from_windows_error(unsigned long error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_NETPATH:
        case ERROR_BAD_NET_NAME:
        case ERROR_INVALID_NAME:
        case ERROR_BAD_PATHNAME: return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
        case ERROR_WRITE_PROTECT:
        case ERROR_CURRENT_DIRECTORY: return EACCES;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS: return EEXIST;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL: return ENOSPC;
        case ERROR_FILENAME_EXCED_RANGE: return ENAMETOOLONG;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY: return ENOMEM;
        case ERROR_DIRECTORY: return ENOTDIR;
        case ERROR_BROKEN_PIPE:
        case ERROR_NO_DATA: return EPIPE;
        default: return EIO;
    }
}

namespace {

HANDLE handle_of(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

// Known only for a file on a disk: pipes, consoles and the null device have
// no file index, and any number of names may share one of them.
file_identity identity_of_handle(HANDLE h) {
    BY_HANDLE_FILE_INFORMATION info;
    if (h == INVALID_HANDLE_VALUE || GetFileType(h) != FILE_TYPE_DISK || GetFileInformationByHandle(h, &info) == 0)
        return {};
    return {true, info.dwVolumeSerialNumber,
            static_cast<std::uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow};
}

void point_descriptor_at_null(int fd) {
    const int null_fd = _wopen(L"NUL", _O_RDWR | _O_BINARY | _O_NOINHERIT);
    if (null_fd < 0) return;
    _dup2(null_fd, fd);
    _close(null_fd);
}

}  // namespace

file_identity identity_of_descriptor(int fd) { return identity_of_handle(handle_of(fd)); }

file_identity identity_of_name(const std::string& name) {
    // No access asked for: a file open elsewhere without sharing still has
    // an identity. Backup semantics open a directory too (to see that it is
    // one); links are followed.
    const HANDLE h = CreateFileW(wide_from_utf8(name).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return {};
    BY_HANDLE_FILE_INFORMATION info;
    const bool directory = GetFileInformationByHandle(h, &info) != 0 && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    const file_identity id = directory ? file_identity{} : identity_of_handle(h);
    CloseHandle(h);
    return id;
}

bool same_file(const file_identity& a, const file_identity& b) {
    return a.known && b.known && a.volume == b.volume && a.index == b.index;
}

std::FILE* open_input_file(const std::string& name) {
    const std::wstring wide = wide_from_utf8(name);
    // The C runtime refuses a directory as "Permission denied"; the program
    // says what it is.
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        errno = EISDIR;
        return nullptr;
    }
    return _wfopen(wide.c_str(), L"rb");
}

std::FILE* standard_input() {
    _setmode(_fileno(stdin), _O_BINARY);
    return stdin;
}

bool describe_open_file(std::FILE* stream, open_file_info* info) {
    const HANDLE h = handle_of(_fileno(stream));
    if (h == INVALID_HANDLE_VALUE) return false;
    *info = {};
    if (GetFileType(h) != FILE_TYPE_DISK) return true;  // a pipe or a device: read as a stream
    // Standard input redirected from a file may come as a handle that does
    // not answer this (as under Wine): it is then read as the stream it is.
    BY_HANDLE_FILE_INFORMATION file;
    if (GetFileInformationByHandle(h, &file) == 0) return true;
    const long long size =
        static_cast<long long>(static_cast<std::uint64_t>(file.nFileSizeHigh) << 32 | file.nFileSizeLow);
    info->directory = (file.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    info->regular = !info->directory && size > 0;
    info->size_bytes = size;
    info->identity = identity_of_handle(h);
    return true;
}

long long stream_position(std::FILE* stream) { return _ftelli64(stream); }

// A process may be started with no standard handle at all; its descriptors
// 0 to 2 are then not open. Every one is also put in binary mode here: the
// program writes its own "\r\n" and the audio is bytes, which the C
// runtime's text mode would change ("\n" to "\r\n", a stop at Ctrl-Z).
int open_closed_standard_descriptors() {
    int closed = 0;
    for (int fd = 0; fd <= 2; ++fd) {
        const intptr_t h = _get_osfhandle(fd);
        if (h == -1 || h == -2) {  // -2: the C runtime's mark of a descriptor with no handle
            point_descriptor_at_null(fd);
            closed |= 1 << fd;
        }
        _setmode(fd, _O_BINARY);
    }
    return closed;
}

namespace {
HANDLE kept_standard_output_file = INVALID_HANDLE_VALUE;
}  // namespace

void* standard_output_file() { return kept_standard_output_file; }

int move_standard_output_aside(bool quiet) {
    std::fflush(stdout);
    // A file on a disk that standard output is redirected to stays reachable
    // through a handle of its own: when it is also the named output, the
    // shell's handle on it keeps it from being replaced by a move, and its
    // bytes are then written through this one (output_windows.cpp).
    const HANDLE original = handle_of(1);
    if (kept_standard_output_file == INVALID_HANDLE_VALUE && original != INVALID_HANDLE_VALUE &&
        GetFileType(original) == FILE_TYPE_DISK) {
        HANDLE kept;
        if (DuplicateHandle(GetCurrentProcess(), original, GetCurrentProcess(), &kept, 0, FALSE,
                            DUPLICATE_SAME_ACCESS) != 0)
            kept_standard_output_file = kept;
    }
    const int audio_fd = _dup(1);
    if (audio_fd >= 0) _setmode(audio_fd, _O_BINARY);
    if (quiet) {
        point_descriptor_at_null(1);
    } else {
        _dup2(2, 1);
    }
    return audio_fd;
}

std::FILE* open_descriptor_stream(int fd) {
    _setmode(fd, _O_BINARY);
    return _fdopen(fd, "wb");
}

long long regular_file_position(int fd) {
    const HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    return GetFileType(h) == FILE_TYPE_DISK ? _lseeki64(fd, 0, SEEK_CUR) : -1;
}

bool seek_stream(std::FILE* stream, long long offset) { return _fseeki64(stream, offset, SEEK_SET) == 0; }

void silence_standard_output() { point_descriptor_at_null(1); }

bool is_terminal(int fd) {
    DWORD mode;
    const HANDLE h = handle_of(fd);
    return h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode) != 0;
}

int processors_available() {
    const DWORD active = GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
    return active > 0 ? static_cast<int>(active) : 1;
}

// The output sink follows links itself; no name there follows descriptor 1.
std::string resolved_link(const std::string& name) { return name; }

std::string absolute_path(const std::string& name) {
    const std::wstring wide = wide_from_utf8(name);
    const DWORD needed = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (needed == 0) return name;
    std::wstring full(needed, L'\0');
    const DWORD length = GetFullPathNameW(wide.c_str(), needed, full.data(), nullptr);
    if (length == 0 || length >= needed) return name;
    full.resize(length);
    // Names differ only in case on the same file: one key for all of them.
    for (wchar_t& c : full)
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    return utf8_from_wide(full.c_str());
}

int directory_status(const std::string& name) {
    const DWORD attributes = GetFileAttributesW(wide_from_utf8(name).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return errno_from_windows_error(GetLastError());
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? 0 : ENOTDIR;
}

bool names_stream(const std::string& name) {
    struct _stat64 st;
    return _wstat64(wide_from_utf8(name).c_str(), &st) == 0 && (st.st_mode & _S_IFREG) == 0 &&
           (st.st_mode & _S_IFDIR) == 0;
}

int make_directory(const std::string& name) {
    return CreateDirectoryW(wide_from_utf8(name).c_str(), nullptr) ? 0 : errno_from_windows_error(GetLastError());
}

// The mark is a named stream of the file, which a move keeps with it.
std::wstring output_mark_stream(const std::wstring& path) {
    wchar_t root[MAX_PATH + 1];
    DWORD flags = 0;
    if (GetVolumePathNameW(path.c_str(), root, MAX_PATH + 1) == 0 ||
        GetVolumeInformationW(root, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) == 0 ||
        (flags & FILE_NAMED_STREAMS) == 0)
        return {};
    return path + L":pcmtaper.output";
}

bool read_output_mark(const std::string& path, std::string* text) {
    const std::wstring stream = output_mark_stream(wide_from_utf8(path));
    if (stream.empty()) return false;
    const HANDLE h = CreateFileW(stream.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    char value[128];
    DWORD got = 0;
    const bool read = ReadFile(h, value, sizeof value, &got, nullptr) != 0;
    CloseHandle(h);
    if (!read) return false;
    text->assign(value, got);
    return true;
}

void close_descriptor(int fd) {
    if (fd >= 0) _close(fd);
}
