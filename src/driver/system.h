// What the driver needs from the operating system beyond standard C++: the
// standard descriptors, the identity of files, terminals, and the output file
// with its whole-or-nothing replacement (output.h). One implementation per
// family of systems: system_posix.cpp here, a Windows one beside it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// The identity of a file, for telling whether two names or descriptors are
// one file (device and inode; volume and file index on Windows).
struct file_identity {
    bool known = false;
    std::uint64_t volume = 0;
    std::uint64_t index = 0;
};
file_identity identity_of_descriptor(int fd);
// Follows links; unknown for a directory or the null device (which any number
// of names may share without being one output).
file_identity identity_of_name(const std::string& name);
bool same_file(const file_identity& a, const file_identity& b);

// What the driver needs to know of its open input.
struct open_file_info {
    bool directory = false;
    bool regular = false;     // a regular file whose size is known
    long long size_bytes = 0;
    file_identity identity;
};
// Opens a file for reading in binary mode (a UTF-8 name). Null with errno set
// on failure.
std::FILE* open_input_file(const std::string& name);
// Standard input, in binary mode.
std::FILE* standard_input();
bool describe_open_file(std::FILE* stream, open_file_info* info);
// The stream's position in bytes, or -1.
long long stream_position(std::FILE* stream);

// Makes every one of descriptors 0, 1 and 2 that is closed an open descriptor
// on the null device, so that no file the program opens takes their place (a
// temporary output on descriptor 1 would receive the program's text). Returns
// a bit per descriptor that was closed (1 for 0, 2 for 1, 4 for 2).
int open_closed_standard_descriptors();
inline constexpr int stdout_closed_bit = 1 << 1;

// Moves standard output's open file to a new descriptor, which the audio is
// then written to, and points descriptor 1 at standard error (or at the null
// device when `quiet`), so that nothing the program prints reaches the audio.
// Returns the new descriptor, or -1.
int move_standard_output_aside(bool quiet);
// A binary write stream on descriptor `fd`, or null with errno set.
std::FILE* open_descriptor_stream(int fd);
// Where descriptor `fd` stands, when it is open on a regular file (a file on
// a disk) that can be rewound to there; -1 otherwise.
long long regular_file_position(int fd);
// Positions `stream` at byte `offset` of its file.
bool seek_stream(std::FILE* stream, long long offset);

// The processors this process may run on: its affinity mask where the system
// has one (Linux), else the processors online (on Windows the active ones).
// At least 1.
int processors_available();
// The file a symbolic link leads to (links resolved all the way), or `name`
// itself when it is no link or cannot be resolved.
std::string resolved_link(const std::string& name);
void close_descriptor(int fd);
// The absolute path of an existing file, links resolved where the system
// resolves them (on Windows in lower case, as its names are compared), or
// `name` itself when it cannot be made.
std::string absolute_path(const std::string& name);
// 0 when `name` is an existing directory, else why not: ENOENT (nothing
// there), ENOTDIR (another kind of file) or the system's reason.
int directory_status(const std::string& name);
// Whether `name` (links followed) is an existing file that is neither a
// regular file nor a directory: a FIFO, a device, a socket, which can be
// read only once.
bool names_stream(const std::string& name);
// Makes the directory `name` (its parent must exist); 0 or the errno.
int make_directory(const std::string& name);
// The program's mark on the file at `path` (output.h), links followed; false
// when it has none or the file system keeps none.
bool read_output_mark(const std::string& path, std::string* text);

// Points descriptor 1 at the null device.
void silence_standard_output();
bool is_terminal(int fd);

// Removes the temporary output on the signals (or console events) that end a
// process, and makes a file-size limit or a broken pipe a failed write rather
// than a killed process.
void install_signal_handlers();
