// The output file and the console events that must not leave its temporary
// file behind, on Windows.
//
// What stands in for the POSIX side (output_posix.cpp):
// - Signals: a console control handler (Ctrl-C, Ctrl-Break, the console
//   window closed, log-off, shut-down) removes the temporary file, then lets
//   the process end as it would have. A process ended outright (TerminateProcess,
//   as SIGKILL on POSIX) cannot clean up.
// - The temporary file is created sharing deletion, so that the handler can
//   remove it by name while the main thread still has it open; a lock held
//   while it is created and recorded, and while it is renamed, stands in for
//   the blocked signals.
// - Permissions: an existing output the user may not write (the read-only
//   attribute, or its access control list) is refused, as the POSIX write
//   check does. There are no owners or set-id bits to carry over: the new file
//   gets the directory's inherited permissions, as any new file there, and
//   keeps the old one's hidden, system and not-indexed attributes.
// - Symbolic links (reparse points) are followed to their final path, as on
//   POSIX; a link whose target is missing is refused.
// - There is no SIGPIPE or file-size signal: a failed write is an error return.
// - A file that standard output is redirected to and that is also the named
//   output cannot be replaced by a move: the shell holds it open without
//   sharing deletion. Its new bytes are written over it through standard
//   output's own handle instead, once they are complete in the temporary file
//   (write_over_standard_output).
#include "output.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <cwchar>

#include "cli.h"
#include "exit_codes.h"
#include "windows_handles.h"
#include "windows_text.h"

namespace {

// ---- the temporary files that a console event must not leave behind -------
//
// One entry per output being written (a batch writes several at once): the
// path of its temporary file, owned by the sink that writes it. The handler
// runs on a thread of its own, so it may take the lock that every change of
// an entry holds (the file's creation included, so that none is created
// unseen); it allocates nothing, since it also serves the last moments of a
// process that is out of memory.
SRWLOCK pending_lock = SRWLOCK_INIT;
constexpr std::size_t max_path_chars = 32768;  // the longest path Windows takes, with the "\\?\" prefix
constexpr int temp_entries = 2 * max_jobs;
const wchar_t* pending_temp_paths[temp_entries];  // null: free

void remove_pending_temp_file() {
    AcquireSRWLockExclusive(&pending_lock);
    for (const wchar_t*& path : pending_temp_paths) {
        if (path != nullptr) DeleteFileW(path);
        path = nullptr;
    }
    ReleaseSRWLockExclusive(&pending_lock);
}

// Under pending_lock: the entry of `path`, or a free one.
const wchar_t** pending_entry(const wchar_t* path) {
    for (const wchar_t*& entry : pending_temp_paths)
        if (entry == path) return &entry;
    return nullptr;
}

BOOL WINAPI remove_temp_on_console_event(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT: remove_pending_temp_file(); break;
        default: break;
    }
    return FALSE;  // the next handler (the system's) ends the process
}

output_sink::opened refused(int code, const std::string& message) { return {nullptr, code, message}; }

output_sink::opened cannot_write(const std::string& name, int error_number) {
    if (error_number == ENOMEM) return refused(exit_out_of_memory, "out of memory");
    return refused(exit_output_not_openable,
                   "cannot write the output file " + name + ": " + std::strerror(error_number));
}

output_sink::opened cannot_write_windows(const std::string& name, DWORD error) {
    return cannot_write(name, errno_from_windows_error(error));
}

bool is_separator(wchar_t c) { return c == L'\\' || c == L'/'; }

// The directory part of a path, ready to have a file name appended ("" for a
// bare name, "C:" for a name relative to a drive's current directory), and
// the last component.
void split_path(const std::wstring& path, std::wstring* directory, std::wstring* base) {
    std::size_t start = 0;
    for (std::size_t i = 0; i < path.size(); ++i)
        if (is_separator(path[i])) start = i + 1;
    if (start == 0 && path.size() >= 2 && path[1] == L':') start = 2;
    *directory = path.substr(0, start);
    *base = path.substr(start);
}

// A name for the temporary file that no other run picks at the same moment.
std::wstring temp_file_name(unsigned attempt) {
    char name[temp_file_name_size];
    make_temp_file_name(static_cast<std::uint64_t>(GetCurrentProcessId()) ^
                            static_cast<std::uint64_t>(GetTickCount64()) << 16,
                        attempt, name);
    return std::wstring(name, name + std::strlen(name));  // ASCII
}

// What a name stands for, by a handle that asks for no access (so that a file
// open elsewhere without sharing still answers).
struct existing_file {
    bool exists = false;
    bool directory = false;
    bool disk_file = false;  // else a device, a pipe or a console
    DWORD attributes = 0;
    std::uint64_t volume = 0;  // and file index: which file it is
    std::uint64_t index = 0;
    std::uint64_t written = 0;  // the last write time: a changed file is another one
};

// The file that `path` names, links followed; its final path in `final_path`.
DWORD look_up(const std::wstring& path, existing_file* file, std::wstring* final_path) {
    const HANDLE h = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return GetLastError();
    file->exists = true;
    file->disk_file = GetFileType(h) == FILE_TYPE_DISK;
    BY_HANDLE_FILE_INFORMATION info;
    if (file->disk_file && GetFileInformationByHandle(h, &info) != 0) {
        file->attributes = info.dwFileAttributes;
        file->directory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        file->volume = info.dwVolumeSerialNumber;
        file->index = static_cast<std::uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
        file->written = static_cast<std::uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32 |
                        info.ftLastWriteTime.dwLowDateTime;
    }
    if (final_path != nullptr) {
        std::wstring resolved(max_path_chars, L'\0');
        const DWORD length = GetFinalPathNameByHandleW(h, resolved.data(), static_cast<DWORD>(resolved.size()),
                                                       FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (length > 0 && length < resolved.size()) {
            resolved.resize(length);
            *final_path = resolved;
        }
    }
    CloseHandle(h);
    return ERROR_SUCCESS;
}

bool is_same_file(const existing_file& a, const existing_file& b) {
    return a.exists && b.exists && a.volume == b.volume && a.index == b.index && a.written == b.written;
}

// Whether `file` is the file that standard output was redirected to.
bool is_standard_output_file(const existing_file& file) {
    const HANDLE h = standard_output_file();
    BY_HANDLE_FILE_INFORMATION info;
    if (h == INVALID_HANDLE_VALUE || GetFileInformationByHandle(h, &info) == 0) return false;
    return file.exists && file.disk_file && file.volume == info.dwVolumeSerialNumber &&
           file.index == (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow);
}

// A regular output: the temporary file beside the file it replaces.
class replacing_file_sink final : public output_sink {
  public:
    explicit replacing_file_sink(file_output_request request) : request_(std::move(request)), name_(request_.name) {}
    ~replacing_file_sink() override { discard(); }

    opened open() override;
    bool rewindable() const override { return !direct_; }
    bool seek_to_start() override { return !direct_ && _fseeki64(stream_, 0, SEEK_SET) == 0; }
    finished commit() override;
    void discard() override;

  private:
    opened open_directly(const std::wstring& target);
    opened check_existing(const std::wstring& target, const existing_file& existing);
    void mark_as_own();
    opened stream_on(HANDLE h);
    finished move_into_place();
    finished write_over_standard_output();

    file_output_request request_;
    const std::string& name_;
    // The file that was at the target's name when the run started, which the
    // output may replace, and only that one.
    existing_file existing_;
    std::FILE* stream_ = nullptr;
    bool direct_ = false;  // a device or a pipe, written in place
    bool over_standard_output_ = false;  // the target is standard output's file (write_over_standard_output)
    std::wstring target_;
    std::wstring temp_path_;  // empty: none
};

output_sink::opened replacing_file_sink::stream_on(HANDLE h) {
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_BINARY);
    if (fd < 0) {
        CloseHandle(h);
        return cannot_write(name_, EMFILE);
    }
    stream_ = _fdopen(fd, "wb");
    if (stream_ == nullptr) {
        const int e = errno;
        _close(fd);
        return cannot_write(name_, e);
    }
    return {stream_, exit_ok, {}};
}

// A device or a pipe (the null device, a serial port, \\.\pipe\...) is written in place.
output_sink::opened replacing_file_sink::open_directly(const std::wstring& target) {
    const HANDLE h = CreateFileW(target.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return cannot_write_windows(name_, GetLastError());
    DWORD mode;
    if (GetConsoleMode(h, &mode) != 0) {
        CloseHandle(h);
        return refused(exit_output_not_openable, "the output " + name_ + " is a terminal; the audio needs a file or a pipe");
    }
    direct_ = true;
    return stream_on(h);
}

// An existing file may be replaced only by someone who may write it (not
// read-only, and its access control list allows it), and only when it is
// this program's kind of output (or empty): a 16-bit WAV there is likely an
// original, named by mistake or by a glob.
output_sink::opened replacing_file_sink::check_existing(const std::wstring& target, const existing_file& existing) {
    if (existing.attributes & FILE_ATTRIBUTE_READONLY) return cannot_write(name_, EACCES);
    LARGE_INTEGER size{};
    if (over_standard_output_) {
        // The shell opened standard output's file for writing, and may share
        // only reading (Wine's cmd does): a second opening for writing would
        // be refused, so the handle standard output came with answers.
        if (GetFileSizeEx(standard_output_file(), &size) == 0) return cannot_write_windows(name_, GetLastError());
    } else {
        const HANDLE h = CreateFileW(target.c_str(), GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                                     nullptr);
        if (h == INVALID_HANDLE_VALUE) return cannot_write_windows(name_, GetLastError());
        GetFileSizeEx(h, &size);
        CloseHandle(h);
    }
    const std::string why_not =
        size.QuadPart == 0 ? std::string() : replace_refusal(utf8_from_wide(target.c_str()), request_);
    if (why_not.empty()) return {nullptr, exit_ok, {}};
    return refused(exit_output_not_own, why_not);
}

output_sink::opened replacing_file_sink::open() {
    if (request_.path.empty()) return cannot_write("''", ENOENT);
    target_ = wide_from_utf8(request_.path);
    std::wstring directory, base;
    split_path(target_, &directory, &base);

    existing_file existing;
    std::wstring final_path;
    const DWORD attributes = GetFileAttributesW(target_.c_str());  // of the name itself, a link not followed
    const bool is_link = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
    const DWORD error = look_up(target_, &existing, is_link ? &final_path : nullptr);
    if (!existing.exists) {
        if (is_link && (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND))
            return refused(exit_output_not_openable,
                           "the output " + name_ + " is a symbolic link to a file that does not exist");
        if (error != ERROR_FILE_NOT_FOUND) return cannot_write_windows(name_, error);
    }
    if (existing.directory || (!existing.exists && base.empty())) return cannot_write(name_, EISDIR);
    if (existing.exists && !existing.disk_file) return open_directly(target_);
    if (is_link && !final_path.empty()) {
        // Follow the link: the file it points to is replaced, the link kept.
        target_ = final_path;
        split_path(target_, &directory, &base);
    }
    if (base.empty() || base == L"." || base == L"..") return cannot_write(name_, EISDIR);
    // The longest name in a folder of every file system Windows writes to
    // (NTFS, exFAT, FAT's long names); refused here rather than at the final move.
    constexpr std::size_t max_name_chars = 255;
    if (base.size() > max_name_chars) return cannot_write(name_, ENAMETOOLONG);

    DWORD kept_attributes = FILE_ATTRIBUTE_NORMAL;
    if (existing.exists) {
        over_standard_output_ = is_standard_output_file(existing);
        const opened check = check_existing(target_, existing);
        if (check.exit_code != exit_ok) return check;
        existing_ = existing;
        const DWORD carried =
            existing.attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
        if (carried != 0) kept_attributes = carried;
    }

    HANDLE h = INVALID_HANDLE_VALUE;
    DWORD create_error = ERROR_SUCCESS;
    for (unsigned attempt = 0; h == INVALID_HANDLE_VALUE && attempt < 100; ++attempt) {
        temp_path_ = directory + temp_file_name(attempt);
        if (temp_path_.size() >= max_path_chars) {
            temp_path_.clear();
            return cannot_write(name_, ENAMETOOLONG);
        }
        AcquireSRWLockExclusive(&pending_lock);
        const wchar_t** entry = pending_entry(nullptr);
        h = entry == nullptr ? INVALID_HANDLE_VALUE
                             : CreateFileW(temp_path_.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                           nullptr, CREATE_NEW, kept_attributes, nullptr);
        create_error = entry == nullptr ? ERROR_TOO_MANY_OPEN_FILES : GetLastError();
        // Nothing here allocates: running out of memory ends the process
        // through remove_temporary_output, which takes this lock.
        if (h != INVALID_HANDLE_VALUE) *entry = temp_path_.c_str();
        ReleaseSRWLockExclusive(&pending_lock);
        if (h == INVALID_HANDLE_VALUE) temp_path_.clear();
        if (h == INVALID_HANDLE_VALUE && create_error != ERROR_FILE_EXISTS && create_error != ERROR_ALREADY_EXISTS)
            break;
    }
    if (h == INVALID_HANDLE_VALUE) {
        // The file itself may be writable: what failed is a new file in its
        // folder, which the message names.
        const int e = errno_from_windows_error(create_error);
        if (e == ENOMEM) return cannot_write(name_, e);
        const std::string folder = directory.empty() ? std::string(".") : utf8_from_wide(directory.c_str());
        return refused(exit_output_not_openable, "cannot write the output file " + name_ +
                                                     ": cannot create a file in the directory " + folder + ": " +
                                                     std::strerror(e));
    }
    const opened o = stream_on(h);
    if (o.stream == nullptr) discard();
    return o;
}

// Flushes the output to the disk, closes it and moves it over the target in
// one step. Every step is checked: a full disk often shows only at the flush
// or the close.
output_sink::finished replacing_file_sink::commit() {
    bool ok = std::fflush(stream_) == 0 && !std::ferror(stream_);
    if (ok && !direct_) ok = FlushFileBuffers(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream_)))) != 0;
    ok = (std::fclose(stream_) == 0) && ok;
    stream_ = nullptr;
    if (direct_ || !ok) {
        discard();
        return {ok ? exit_ok : exit_write_error, {}};
    }
    if (!over_standard_output_) mark_as_own();
    const finished moved = over_standard_output_ ? write_over_standard_output() : move_into_place();
    discard();
    return moved;
}

// Marks the complete temporary file as this program's output of this input
// (output.h): a named stream, which the move keeps with the file. A file
// system without named streams (FAT, exFAT) keeps no mark: the output is
// complete all the same, and a later run treats it as any other file.
void replacing_file_sink::mark_as_own() {
    const std::wstring stream = output_mark_stream(temp_path_);
    if (stream.empty()) return;
    std::FILE* written = _wfopen(temp_path_.c_str(), L"rb");
    if (written == nullptr) return;
    const std::string text = output_mark_of(written, request_.input_key);
    std::fclose(written);
    if (text.empty()) return;
    const HANDLE h = CreateFileW(stream.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return;
    DWORD wrote = 0;
    WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &wrote, nullptr);
    CloseHandle(h);
}

// The move at the end. A file that was not there at the start and has
// appeared since is not replaced (no MOVEFILE_REPLACE_EXISTING); one that
// was there is replaced only if it is still the file that was checked.
output_sink::finished replacing_file_sink::move_into_place() {
    existing_file now;
    look_up(target_, &now, nullptr);
    if (now.exists && existing_.exists &&
        (now.volume != existing_.volume || now.index != existing_.index || now.written != existing_.written))
        return {exit_output_not_own, "the output file " + name_ + " changed during the conversion; it is kept"};
    const DWORD flags = MOVEFILE_WRITE_THROUGH | (now.exists && existing_.exists ? MOVEFILE_REPLACE_EXISTING : 0);
    AcquireSRWLockExclusive(&pending_lock);
    const bool moved = MoveFileExW(temp_path_.c_str(), target_.c_str(), flags) != 0;
    const DWORD error = moved ? ERROR_SUCCESS : GetLastError();
    if (moved)
        if (const wchar_t** entry = pending_entry(temp_path_.c_str()); entry != nullptr) *entry = nullptr;
    ReleaseSRWLockExclusive(&pending_lock);
    if (moved) temp_path_.clear();
    if (moved) return {exit_ok, {}};
    if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS)
        return {exit_output_not_own, "the output file " + name_ + " appeared during the conversion; it is kept"};
    const int e = errno_from_windows_error(error);
    return {e == EACCES ? exit_output_not_openable : exit_write_error,
            "cannot write the output file " + name_ + ": " + std::strerror(e)};
}

// The complete output in the temporary file is copied over the file that
// standard output is redirected to, through standard output's handle, when
// the name still leads to the file that was checked (else the move above
// decides). This step is not atomic: a failure while the bytes are written
// (a full disk, a device error) leaves the file holding part of the new
// output, and it is reported as a write error. It is the only way on this
// system: the shell opened the file without sharing deletion and holds it
// for as long as the program runs, and replacing a name (MoveFileExW, or
// ReplaceFileW, which opens the replaced file for deletion) needs exactly
// that sharing; writing through a handle is all that remains. (Wine lets
// ReplaceFileW through; Windows refuses it.) To keep the old bytes whenever it can, the file is first
// set to the new length (the disk's space is taken, and a handle that may
// only append is refused) before the first byte is written.
output_sink::finished replacing_file_sink::write_over_standard_output() {
    existing_file now;
    look_up(target_, &now, nullptr);
    if (!is_same_file(now, existing_) || !is_standard_output_file(now)) return move_into_place();
    const auto failed = [this](DWORD error) {
        const int e = errno_from_windows_error(error);
        return finished{e == ENOMEM ? exit_out_of_memory : exit_write_error,
                        "cannot write the output file " + name_ + ": " + std::strerror(e)};
    };
    const HANDLE in = CreateFileW(temp_path_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (in == INVALID_HANDLE_VALUE) return failed(GetLastError());
    const HANDLE out = standard_output_file();
    LARGE_INTEGER length{};
    bool ok = GetFileSizeEx(in, &length) != 0 && SetFilePointerEx(out, length, nullptr, FILE_BEGIN) != 0 &&
              SetEndOfFile(out) != 0 && SetFilePointerEx(out, LARGE_INTEGER{}, nullptr, FILE_BEGIN) != 0;
    static char buffer[1 << 16];  // the one copy a run makes: kept off the stack
    std::uint64_t copied = 0;
    while (ok) {
        DWORD got = 0;
        ok = ReadFile(in, buffer, sizeof buffer, &got, nullptr) != 0;
        if (!ok || got == 0) break;
        for (DWORD done = 0; ok && done < got;) {
            DWORD wrote = 0;
            ok = WriteFile(out, buffer + done, got - done, &wrote, nullptr) != 0 && wrote > 0;
            done += wrote;
        }
        copied += got;
    }
    ok = ok && SetEndOfFile(out) != 0 && FlushFileBuffers(out) != 0;
    const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    CloseHandle(in);
    if (!ok) return failed(error == ERROR_SUCCESS ? ERROR_WRITE_FAULT : error);
    // The temporary file was complete and nobody else writes it: anything
    // else than its whole length copied is a fault of the copy.
    if (copied != static_cast<std::uint64_t>(length.QuadPart)) return failed(ERROR_READ_FAULT);
    return {exit_ok, {}};
}

void replacing_file_sink::discard() {
    if (stream_ != nullptr) std::fclose(stream_);
    stream_ = nullptr;
    if (!temp_path_.empty()) {
        AcquireSRWLockExclusive(&pending_lock);
        DeleteFileW(temp_path_.c_str());
        if (const wchar_t** entry = pending_entry(temp_path_.c_str()); entry != nullptr) *entry = nullptr;
        ReleaseSRWLockExclusive(&pending_lock);
        temp_path_.clear();
    }
}


}  // namespace

void install_signal_handlers() { SetConsoleCtrlHandler(remove_temp_on_console_event, TRUE); }

void remove_temporary_output() { remove_pending_temp_file(); }

std::unique_ptr<output_sink> make_file_output(const file_output_request& request) {
    return std::make_unique<replacing_file_sink>(request);
}

