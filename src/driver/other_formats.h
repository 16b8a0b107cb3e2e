// Inputs in containers other than WAV (FLAC, AIFF, CAF, Ogg, MP3 ...),
// decoded by libsndfile where the program is built with it, and handed to
// the library's WAV conversion as the bytes of a WAV file that holds the
// decoded samples. The library itself reads WAV alone and never links the
// decoder. A build without it has the same functions: no decoder, and WAV
// as the one format read.
//
// Usage: if (!starts_as_wav(bytes, n)) decoded = open_decoded_input(stream, start, size);
//        then decoded->read(...) as the conversion's reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

// Whether the first bytes of a file start a WAV file ("RIFF", "RF64" or
// "BW64"): such a file is always read by the library's own header walk, as
// is every file this build's decoder does not read.
bool starts_as_wav(const unsigned char* bytes, std::size_t length);

// The decoder this build reads other formats with, and its version
// ("libsndfile-1.2.0"); "" in a build without one.
std::string decoder_version();

// The formats this build reads, for --help, --version and the hint after a
// refusal: "WAV" and, with the decoder, every format it reads from a file
// ("WAV, AIFF/AIFC, AU, ..., FLAC, ..., Ogg Vorbis, Ogg Opus, ...").
std::string readable_formats();

// What --help and --version say: "Formats read: WAV, ..." and how the
// others are read, in lines of at most 78 characters that start with
// `indent`, each ending in "\r\n".
std::string formats_read_lines(const std::string& indent);

// The line after a refusal of an input that does not start as a WAV file,
// without "pcmtaper: ": what this build reads, and for a pipe why only WAV.
std::string not_wav_hint(const std::string& input_name, bool from_pipe);

// A file of another format, as the bytes of a WAV file that states the
// decoded samples' type (16-bit integers for sources of up to 16 bits, 32-bit
// integers for 24 and 32 bits, both left-justified and exact; 32-bit floats
// for float and lossy sources, 64-bit for double) followed by the samples.
class decoded_input {
  public:
    virtual ~decoded_input() = default;
    // The container's name, for the lines that mention it ("FLAC").
    virtual std::string format_name() const = 0;
    // The WAV file's length in bytes, or -1 when the decoder does not know
    // how many frames the file holds (then read as a stream).
    virtual long long size_bytes() const = 0;
    // As pcmtaper_read_fn: fewer than `capacity` bytes only at the end or on
    // an error (which sets *failed).
    virtual std::size_t read(void* buffer, std::size_t capacity, int* failed) = 0;
    // Positions the WAV file at byte `offset`; false on failure.
    virtual bool seek(std::uint64_t offset) = 0;
};

// Opens `stream`, a regular file of `size_bytes` bytes standing at `start`,
// with the decoder: null when this build has none or it does not read the
// file, and then the stream stands at `start` again. The decoder reads
// through `stream` itself (opened by the program, by its rules), which must
// outlive the result.
std::unique_ptr<decoded_input> open_decoded_input(std::FILE* stream, long long start, long long size_bytes);
