#include "wav/wav.h"

#include <cstring>

namespace {

constexpr std::uint16_t format_tag_pcm = 1;
constexpr std::uint16_t mono_channels = 1;
constexpr std::uint32_t pcm_fmt_size = 16;      // tag, channels, rate, byte rate, align, bits
constexpr std::uint32_t fmt_fields_read = 8;    // tag, channels and rate, read before the rest
constexpr std::uint32_t output_fmt_size = 16;
constexpr std::uint32_t output_bits_per_sample = 8;
constexpr std::uint32_t samples_per_block = 32;

// Chunk ids are 4 bytes; the 4 zero bytes after them make the buffer a text of
// at most 4 characters for the remarks (an id with a zero byte shows up to it).
struct chunk_id {
    char text[8] = {};
    bool is(const char* literal) const { return std::memcmp(text, literal, 4) == 0; }
};

enum class read_result { ok, end_of_file, error };

read_result read_bytes(std::FILE* input, void* destination, std::size_t count) {
    if (std::fread(destination, 1, count, input) == count) return read_result::ok;
    return std::ferror(input) ? read_result::error : read_result::end_of_file;
}

std::uint32_t little_endian_u32(const unsigned char* b) {
    return std::uint32_t(b[0]) | std::uint32_t(b[1]) << 8 | std::uint32_t(b[2]) << 16 |
           std::uint32_t(b[3]) << 24;
}

std::uint16_t little_endian_u16(const unsigned char* b) {
    return static_cast<std::uint16_t>(b[0] | b[1] << 8);
}

read_result read_u32(std::FILE* input, std::uint32_t* value) {
    unsigned char b[4];
    const read_result r = read_bytes(input, b, 4);
    if (r == read_result::ok) *value = little_endian_u32(b);
    return r;
}

// Reads and discards `count` bytes; the walk never seeks, so a pipe works too.
read_result skip_bytes(std::FILE* input, std::uint32_t count) {
    unsigned char scratch[4096];
    while (count > 0) {
        const std::size_t n = count < sizeof scratch ? count : sizeof scratch;
        const read_result r = read_bytes(input, scratch, n);
        if (r != read_result::ok) return r;
        count -= static_cast<std::uint32_t>(n);
    }
    return read_result::ok;
}

// Reads the id of the chunk that follows a body of `previous_size` bytes.
// RIFF pads an odd-sized body with one zero byte. Some writers leave the pad
// out; then the byte after the body is not zero and is the id's first byte.
read_result read_next_id(std::FILE* input, std::uint32_t previous_size, chunk_id* id) {
    if (previous_size % 2 == 0) return read_bytes(input, id->text, 4);
    unsigned char first;
    const read_result r = read_bytes(input, &first, 1);
    if (r != read_result::ok) return r;
    if (first == 0) return read_bytes(input, id->text, 4);
    id->text[0] = static_cast<char>(first);
    return read_bytes(input, id->text + 1, 3);
}

header_status refusal(read_result r) {
    return r == read_result::error ? header_status::read_error : header_status::ends_inside_header;
}

// Skips chunks until `wanted` is the current id or the shared chunk limit is
// used up, with one remark per skipped chunk.
read_result walk_to(std::FILE* input, std::FILE* messages, const char* wanted,
                    const char* remark_format, int* chunks_left, chunk_id* id) {
    while (!id->is(wanted) && *chunks_left > 0) {
        std::fprintf(messages, remark_format, id->text);
        std::uint32_t size;
        read_result r = read_u32(input, &size);
        if (r == read_result::ok) r = skip_bytes(input, size);
        if (r == read_result::ok) r = read_next_id(input, size, id);
        if (r != read_result::ok) return r;
        --*chunks_left;
    }
    return read_result::ok;
}

// The "fmt " body after its size field. Checks the tag, the channel count, the
// sample width and the rate, in that order, and leaves the stream after the body.
header_status read_fmt_body(std::FILE* input, std::FILE* messages, std::uint32_t fmt_size,
                            std::uint32_t* sample_rate_hz) {
    unsigned char fields[pcm_fmt_size];
    read_result r = read_bytes(input, fields, fmt_fields_read);
    if (r != read_result::ok) return refusal(r);
    if (little_endian_u16(fields) != format_tag_pcm) {
        std::fprintf(messages, "This is not a linear PCM.\r\n");
        return header_status::not_linear_pcm;
    }
    if (little_endian_u16(fields + 2) != mono_channels) {
        std::fprintf(messages, "This is not a Monaural sound(Stereo, Surround, etc.).\r\n");
        return header_status::not_mono;
    }
    *sample_rate_hz = little_endian_u32(fields + 4);
    // Without the bits-per-sample field the sample width is unknown: refused
    // rather than guessed, since other widths would be read as noise.
    if (fmt_size < pcm_fmt_size) {
        std::fprintf(messages, "This is not a 16bit sound.\r\n");
        return header_status::not_16_bit;
    }
    r = read_bytes(input, fields + fmt_fields_read, pcm_fmt_size - fmt_fields_read);
    if (r != read_result::ok) return refusal(r);
    if (little_endian_u16(fields + 14) != required_bits_per_sample) {
        std::fprintf(messages, "This is not a 16bit sound.\r\n");
        return header_status::not_16_bit;
    }
    if (*sample_rate_hz == 0 || *sample_rate_hz > 0x7FFFFFFFu) {
        std::fprintf(messages, "This sample rate is not supported.\r\n");
        return header_status::bad_sample_rate;
    }
    r = skip_bytes(input, fmt_size - pcm_fmt_size);  // cbSize and extension bytes
    return r == read_result::ok ? header_status::ok : refusal(r);
}

void print_incomplete(std::FILE* messages, header_status status) {
    const char* text = status == header_status::fmt_not_found    ? "The fmt chunk was not found.\r\n"
                       : status == header_status::data_not_found ? "The data chunk was not found.\r\n"
                       : status == header_status::read_error     ? "Cannot read the input file.\r\n"
                                                                 : "The file ends inside the header.\r\n";
    std::fprintf(messages, "%s", text);
}

header_status walk_header(std::FILE* input, std::FILE* messages, wav_input_header* header) {
    chunk_id id;
    std::uint32_t riff_size;  // not used: writers get it wrong too often to rely on
    read_result r = read_bytes(input, id.text, 4);
    if (r != read_result::ok) return refusal(r);
    // A RIFX (big-endian) or other id is only remarked on; numbers are read little-endian.
    if (!id.is("RIFF")) std::fprintf(messages, "RIFF != %s\r\n", id.text);
    if ((r = read_u32(input, &riff_size)) != read_result::ok) return refusal(r);
    if ((r = read_bytes(input, id.text, 4)) != read_result::ok) return refusal(r);
    if (!id.is("WAVE")) std::fprintf(messages, "WAVE != %s\r\n", id.text);
    if ((r = read_bytes(input, id.text, 4)) != read_result::ok) return refusal(r);

    // One limit serves both walks: the chunks skipped before "fmt " count
    // against the search for "data" as well.
    int chunks_left = chunk_search_limit;
    r = walk_to(input, messages, "fmt ", "fmt  != %s\r\n", &chunks_left, &id);
    if (r != read_result::ok) return refusal(r);
    if (chunks_left == 0) return header_status::fmt_not_found;

    std::uint32_t fmt_size;
    if ((r = read_u32(input, &fmt_size)) != read_result::ok) return refusal(r);
    const header_status fmt_status = read_fmt_body(input, messages, fmt_size, &header->sample_rate_hz);
    if (fmt_status != header_status::ok) return fmt_status;

    if ((r = read_next_id(input, fmt_size, &id)) != read_result::ok) return refusal(r);
    r = walk_to(input, messages, "data", "data!=%s\r\n", &chunks_left, &id);
    if (r != read_result::ok) return refusal(r);
    if (chunks_left == 0) return header_status::data_not_found;
    if ((r = read_u32(input, &header->data_size_bytes)) != read_result::ok) return refusal(r);
    return header_status::ok;
}

void put_u32(unsigned char* b, std::uint32_t v) {
    b[0] = static_cast<unsigned char>(v);
    b[1] = static_cast<unsigned char>(v >> 8);
    b[2] = static_cast<unsigned char>(v >> 16);
    b[3] = static_cast<unsigned char>(v >> 24);
}

}  // namespace

header_status read_input_header(std::FILE* input, std::FILE* messages, wav_input_header* header) {
    const header_status status = walk_header(input, messages, header);
    switch (status) {
        case header_status::fmt_not_found:
        case header_status::data_not_found:
        case header_status::ends_inside_header:
        case header_status::read_error:
            print_incomplete(messages, status);
            break;
        default:
            break;
    }
    return status;
}

void output_header_bytes(std::uint32_t block_count, std::uint32_t sample_rate_hz,
                         unsigned char bytes[output_header_len]) {
    const std::uint32_t data_size = block_count * samples_per_block;
    std::memcpy(bytes, "RIFF", 4);
    put_u32(bytes + 4, data_size + (output_header_len - 8));
    std::memcpy(bytes + 8, "WAVEfmt ", 8);
    put_u32(bytes + 16, output_fmt_size);
    put_u32(bytes + 20, format_tag_pcm | std::uint32_t(mono_channels) << 16);
    put_u32(bytes + 24, sample_rate_hz);
    put_u32(bytes + 28, sample_rate_hz);  // byte rate: one byte per sample
    put_u32(bytes + 32, 1u | output_bits_per_sample << 16);  // block align 1, 8 bits
    std::memcpy(bytes + 36, "data", 4);
    put_u32(bytes + 40, data_size);
}

bool write_output_header(std::FILE* output, std::uint32_t block_count, std::uint32_t sample_rate_hz) {
    unsigned char bytes[output_header_len];
    output_header_bytes(block_count, sample_rate_hz, bytes);
    return std::fwrite(bytes, 1, sizeof bytes, output) == sizeof bytes;
}
