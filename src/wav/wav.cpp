#include "wav/wav.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "wav/metadata.h"

namespace {

constexpr std::uint16_t format_tag_pcm = 1;
constexpr std::uint16_t format_tag_float = 3;  // WAVE_FORMAT_IEEE_FLOAT
// WAVE_FORMAT_EXTENSIBLE: the real format is the GUID of its sub-format. Writers
// use it for plain PCM too (ffmpeg above 48 kHz or 2 channels, sox for 24 bits).
constexpr std::uint16_t format_tag_extensible = 0xFFFE;
constexpr std::uint16_t mono_channels = 1;
constexpr std::uint32_t pcm_fmt_size = 16;        // tag, channels, rate, byte rate, align, bits
constexpr std::uint32_t extensible_fmt_size = 40;  // then cbSize, valid bits, channel mask, GUID
constexpr std::uint32_t block_align_at = 12;
constexpr std::uint32_t bits_per_sample_at = 14;
constexpr std::uint32_t valid_bits_at = 18;
constexpr std::uint32_t subformat_at = 24;
// The sub-format GUIDs of the WAVE formats (KSDATAFORMAT_SUBTYPE_PCM,
// _IEEE_FLOAT): the format tag in the first two bytes, then this tail, which
// every one of them shares. A GUID of another family (ambisonic B-format, say)
// that starts with tag 1 is not PCM as this program reads it.
constexpr unsigned char wave_subformat_tail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                                   0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
constexpr std::uint32_t output_fmt_size = 16;
constexpr std::uint32_t output_bits_per_sample = 8;
constexpr std::uint32_t ds64_data_size_at = 8;    // after the 64-bit RIFF size
constexpr std::uint32_t size_placeholder = 0xFFFFFFFFu;

// Chunk ids are 4 bytes; the 4 zero bytes after them make the buffer a text of
// at most 4 characters for the remarks (an id with a zero byte shows up to it).
struct chunk_id {
    char text[8] = {};
    bool is(const char* literal) const { return std::memcmp(text, literal, 4) == 0; }
};

// An id as the remarks show it: up to its first zero byte, with every byte
// that is not printable ASCII as \xNN, so that a renamed mp3 (ID3 and a
// control byte) or a crafted file cannot send control codes to a terminal.
// At most 4 bytes of 4 characters each.
void printable_id(const chunk_id& id, char shown[17]) {
    char* at = shown;
    for (int i = 0; i < 4 && id.text[i] != '\0'; ++i) {
        const auto byte = static_cast<unsigned char>(id.text[i]);
        if (byte >= 0x20 && byte < 0x7F) {
            *at++ = static_cast<char>(byte);
        } else {
            std::snprintf(at, 5, "\\x%02X", byte);
            at += 4;
        }
    }
    *at = '\0';
}

void remark_id(wav_input_header* header, pcmtaper_remark_code code, const chunk_id& id) {
    char shown[17];
    static_assert(sizeof shown <= PCMTAPER_CHUNK_NAME_MAX);
    printable_id(id, shown);
    header->remarks.push_back(chunk_remark(code, id.text, shown));
}

enum class read_result { ok, end_of_file, error };

read_result read_bytes(byte_source* input, void* destination, std::size_t count) {
    if (input->read(destination, count) == count) return read_result::ok;
    return input->failed ? read_result::error : read_result::end_of_file;
}

std::uint32_t little_endian_u32(const unsigned char* b) {
    return std::uint32_t(b[0]) | std::uint32_t(b[1]) << 8 | std::uint32_t(b[2]) << 16 |
           std::uint32_t(b[3]) << 24;
}

std::uint64_t little_endian_u64(const unsigned char* b) {
    return std::uint64_t(little_endian_u32(b)) | std::uint64_t(little_endian_u32(b + 4)) << 32;
}

std::uint16_t little_endian_u16(const unsigned char* b) {
    return static_cast<std::uint16_t>(b[0] | b[1] << 8);
}

read_result read_u32(byte_source* input, std::uint32_t* value) {
    unsigned char b[4];
    const read_result r = read_bytes(input, b, 4);
    if (r == read_result::ok) *value = little_endian_u32(b);
    return r;
}

// Reads and discards `count` bytes; the walk never seeks, so a pipe works too.
read_result skip_bytes(byte_source* input, std::uint32_t count) {
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
read_result read_next_id(byte_source* input, std::uint32_t previous_size, chunk_id* id) {
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

// What an RF64 file's "ds64" chunk says about the data, if the walk met one.
struct ds64_sizes {
    bool rf64 = false;       // the file starts with "RF64" (or "BW64")
    bool seen = false;
    std::uint64_t data_size_bytes = 0;
};

// Reads a "ds64" body of `size` bytes: the 64-bit RIFF size, then the 64-bit
// data size (what follows, the sample count and a table, is not needed).
read_result read_ds64(byte_source* input, std::uint32_t size, ds64_sizes* ds64) {
    unsigned char sizes[16];
    const std::uint32_t wanted = sizeof sizes;
    if (size < wanted) return skip_bytes(input, size);  // too short to say: the 32-bit sizes stand
    read_result r = read_bytes(input, sizes, wanted);
    if (r != read_result::ok) return r;
    ds64->seen = true;
    ds64->data_size_bytes = little_endian_u64(sizes + ds64_data_size_at);
    return skip_bytes(input, size - wanted);
}

// Skips a chunk's body as skip_bytes does, telling `progress` (when given)
// how far it has got every 64 skipped reads: on a stream a chunk of up to
// 4 GiB is read through, which takes a while.
read_result skip_chunk(byte_source* input, std::uint32_t size, const chunk_id& id,
                       const header_skip_progress* progress) {
    if (progress == nullptr) return skip_bytes(input, size);
    constexpr std::uint32_t step_bytes = 64 * 4096;
    char shown[17];
    printable_id(id, shown);
    std::uint32_t done = 0;
    while (done < size) {
        progress->report(progress->context, shown, done, size);
        const std::uint32_t n = size - done < step_bytes ? size - done : step_bytes;
        const read_result r = skip_bytes(input, n);
        if (r != read_result::ok) return r;
        done += n;
    }
    return read_result::ok;
}

// Skips a chunk body of `size` bytes, or reads it into `metadata` when that
// keeps chunks with this id; what is left out is remarked on.
read_result skip_or_keep(byte_source* input, wav_input_header* header, const chunk_id& id, std::uint32_t size,
                         metadata_set* metadata, const header_skip_progress* progress) {
    if (metadata == nullptr || !is_metadata_chunk_id(id.text)) return skip_chunk(input, size, id, progress);
    remark_list remarks;
    read_result r;
    if (size > max_metadata_chunk_bytes) {
        metadata->too_large(id.text, size, &remarks);
        r = skip_chunk(input, size, id, progress);
    } else {
        std::string body(size, '\0');
        r = size == 0 ? read_result::ok : read_bytes(input, body.data(), size);
        if (r == read_result::ok) metadata->add(id.text, std::move(body), &remarks);
    }
    if (header != nullptr) header->remarks.insert(header->remarks.end(), remarks.begin(), remarks.end());
    return r;
}

// Skips chunks until `wanted` is the current id or the shared chunk limit is
// used up, with one remark per skipped chunk. An RF64 file's "ds64" chunk is
// read, not remarked on, and does not count against the limit. With
// `metadata`, the metadata chunks met on the way are kept in it.
read_result walk_to(byte_source* input, wav_input_header* header, const char* wanted, pcmtaper_remark_code code,
                    int* chunks_left, chunk_id* id, ds64_sizes* ds64,
                    const header_skip_progress* progress = nullptr, metadata_set* metadata = nullptr) {
    while (!id->is(wanted) && *chunks_left > 0) {
        const bool is_ds64 = ds64->rf64 && !ds64->seen && id->is("ds64");
        if (!is_ds64 && header != nullptr) remark_id(header, code, *id);
        std::uint32_t size;
        read_result r = read_u32(input, &size);
        if (r == read_result::ok)
            r = is_ds64 ? read_ds64(input, size, ds64) : skip_or_keep(input, header, *id, size, metadata, progress);
        if (r == read_result::ok) r = read_next_id(input, size, id);
        if (r != read_result::ok) return r;
        if (!is_ds64) --*chunks_left;
    }
    return read_result::ok;
}

header_status refuse(wav_input_header* header, header_status status) {
    header->remarks.push_back(make_remark(PCMTAPER_REMARK_REFUSAL, status_of(status)));
    return status;
}

// The sample format of a "fmt " chunk that says PCM (`format` 1) or IEEE float
// (3): its type, container and valid bits from the stated bits per sample
// (and an EXTENSIBLE file's valid-bits field), or false for a size this
// program does not read.
bool sample_format_of(std::uint16_t format, bool extensible, std::uint32_t bits, std::uint32_t valid_field,
                      wav_input_header* header) {
    std::uint32_t container = bits;
    std::uint32_t valid = bits;
    if (format == format_tag_float) {
        // A float has no padding bits: its valid-bits field says nothing more.
        if (bits != 32 && bits != 64) return false;
        header->sample_type = bits == 32 ? PCMTAPER_SAMPLE_F32 : PCMTAPER_SAMPLE_F64;
    } else {
        if (extensible) {
            // The container is the bits per sample; the valid bits are the
            // significant ones at its top. 0 is what many writers leave there
            // (the whole container, then), and more than the container is a
            // writer's slip: every stored bit is read.
            if (bits == 0 || bits > 32 || bits % 8 != 0) return false;
            valid = valid_field == 0 || valid_field > bits ? bits : valid_field;
        } else {
            // Plain PCM of b bits not a multiple of 8 (12, 20) sits at the top
            // of the next whole number of bytes, as the format defines it.
            if (bits == 0 || bits > 32) return false;
            container = (bits + 7) / 8 * 8;
        }
        static constexpr pcmtaper_sample_type by_bytes[] = {PCMTAPER_SAMPLE_U8, PCMTAPER_SAMPLE_S16,
                                                            PCMTAPER_SAMPLE_S24, PCMTAPER_SAMPLE_S32};
        header->sample_type = by_bytes[container / 8 - 1];
    }
    header->bits_per_sample = container;
    header->valid_bits = valid;
    return true;
}

// The "fmt " body after its size field. Checks the tag, the channel count, the
// sample width (and the block align that follows from it) and the rate, in
// that order, and leaves the stream after the body. Only fields inside the
// chunk are read: a chunk too short to hold the field being checked leaves the
// sample width unstated, and is refused as such before anything is read from
// beyond it.
header_status read_fmt_body(byte_source* input, wav_input_header* header, std::uint32_t fmt_size, bool mono_only) {
    std::uint32_t* const sample_rate_hz = &header->sample_rate_hz;
    unsigned char fields[extensible_fmt_size];
    std::uint32_t have = 0;
    // Makes the first `count` bytes of the body available, or says why not.
    auto need = [&](std::uint32_t count) -> read_result {
        if (count <= have) return read_result::ok;
        const read_result r = read_bytes(input, fields + have, count - have);
        if (r == read_result::ok) have = count;
        return r;
    };
    const auto not_16_bit = [&] {
        return refuse(header, header_status::not_16_bit);
    };
    read_result r;

    if (fmt_size < 2) return not_16_bit();
    if ((r = need(2)) != read_result::ok) return refusal(r);
    std::uint16_t format = little_endian_u16(fields);  // the tag, or an EXTENSIBLE file's sub-format's
    const bool extensible = format == format_tag_extensible && fmt_size >= extensible_fmt_size;
    if (extensible) {
        if ((r = need(extensible_fmt_size)) != read_result::ok) return refusal(r);
        const bool wave_family =
            std::memcmp(fields + subformat_at + 2, wave_subformat_tail, sizeof wave_subformat_tail) == 0;
        format = wave_family ? little_endian_u16(fields + subformat_at) : 0;
    }
    if (format != format_tag_pcm && format != format_tag_float) return refuse(header, header_status::not_linear_pcm);

    if (fmt_size < 4) return not_16_bit();
    if ((r = need(4)) != read_result::ok) return refusal(r);
    const std::uint32_t channels = little_endian_u16(fields + 2);
    if (channels == 0 || channels > PCMTAPER_MAX_CHANNELS || (mono_only && channels != mono_channels))
        return refuse(header, header_status::not_mono);
    header->channels = channels;

    // Without the bits-per-sample field the sample width is unknown: refused
    // rather than guessed, since other widths would be read as noise.
    if (fmt_size < pcm_fmt_size) return not_16_bit();
    if ((r = need(pcm_fmt_size)) != read_result::ok) return refusal(r);
    *sample_rate_hz = little_endian_u32(fields + 4);
    const std::uint32_t valid_field = extensible ? little_endian_u16(fields + valid_bits_at) : 0;
    if (!sample_format_of(format, extensible, little_endian_u16(fields + bits_per_sample_at), valid_field, header))
        return not_16_bit();
    // A block align other than the frame the bits make means the bits field
    // does not say how the samples are stored (24 bits in 4 bytes, say):
    // refused rather than read as noise. 16-bit mono PCM keeps the one rule it
    // always had, bits alone, its block align unread.
    const bool pcm16_mono = format == format_tag_pcm && header->bits_per_sample == 16 && channels == mono_channels;
    if (!pcm16_mono && little_endian_u16(fields + block_align_at) != channels * header->bits_per_sample / 8)
        return not_16_bit();
    if (*sample_rate_hz == 0 || *sample_rate_hz > 0x7FFFFFFFu)
        return refuse(header, header_status::bad_sample_rate);
    r = skip_bytes(input, fmt_size - have);  // cbSize and extension bytes
    return r == read_result::ok ? header_status::ok : refusal(r);
}

// Whether the walk ended without a refusal of the format: the remark that
// says why is made at its end.
bool ended_incomplete(header_status status) {
    return status == header_status::fmt_not_found || status == header_status::data_not_found ||
           status == header_status::read_error || status == header_status::ends_inside_header;
}

header_status walk_header(byte_source* input, wav_input_header* header, const header_skip_progress* progress,
                          metadata_set* metadata, bool mono_only) {
    chunk_id id;
    ds64_sizes ds64;
    std::uint32_t riff_size;  // not used: writers get it wrong too often to rely on
    read_result r = read_bytes(input, id.text, 4);
    if (r != read_result::ok) return refusal(r);
    // RF64 (and its twin BW64) is RIFF with 64-bit sizes in a "ds64" chunk.
    // A RIFX (big-endian) or other id is only remarked on; numbers are read little-endian.
    ds64.rf64 = id.is("RF64") || id.is("BW64");
    header->rf64 = ds64.rf64;
    if (!id.is("RIFF") && !ds64.rf64) remark_id(header, PCMTAPER_REMARK_RIFF_ID, id);
    if ((r = read_u32(input, &riff_size)) != read_result::ok) return refusal(r);
    if ((r = read_bytes(input, id.text, 4)) != read_result::ok) return refusal(r);
    if (!id.is("WAVE")) remark_id(header, PCMTAPER_REMARK_WAVE_ID, id);
    if ((r = read_bytes(input, id.text, 4)) != read_result::ok) return refusal(r);

    // One limit serves both walks: the chunks skipped before "fmt " count
    // against the search for "data" as well.
    int chunks_left = chunk_search_limit;
    r = walk_to(input, header, "fmt ", PCMTAPER_REMARK_FMT_SKIPPED, &chunks_left, &id, &ds64, progress, metadata);
    if (r != read_result::ok) return refusal(r);
    if (chunks_left == 0) return header_status::fmt_not_found;

    std::uint32_t fmt_size;
    if ((r = read_u32(input, &fmt_size)) != read_result::ok) return refusal(r);
    const header_status fmt_status = read_fmt_body(input, header, fmt_size, mono_only);
    if (fmt_status != header_status::ok) return fmt_status;

    if ((r = read_next_id(input, fmt_size, &id)) != read_result::ok) return refusal(r);
    r = walk_to(input, header, "data", PCMTAPER_REMARK_DATA_SKIPPED, &chunks_left, &id, &ds64, progress, metadata);
    if (r != read_result::ok) return refusal(r);
    if (chunks_left == 0) return header_status::data_not_found;
    std::uint32_t data_size;
    if ((r = read_u32(input, &data_size)) != read_result::ok) return refusal(r);
    header->data_size_bytes = data_size;
    header->data_size_from_ds64 = ds64.seen && data_size == size_placeholder;
    if (header->data_size_from_ds64) header->data_size_bytes = ds64.data_size_bytes;
    return header_status::ok;
}

void put_u32(unsigned char* b, std::uint32_t v) {
    b[0] = static_cast<unsigned char>(v);
    b[1] = static_cast<unsigned char>(v >> 8);
    b[2] = static_cast<unsigned char>(v >> 16);
    b[3] = static_cast<unsigned char>(v >> 24);
}

void put_u64(unsigned char* b, std::uint64_t v) {
    put_u32(b, static_cast<std::uint32_t>(v));
    put_u32(b + 4, static_cast<std::uint32_t>(v >> 32));
}

}  // namespace

std::size_t byte_source::read(void* destination, std::size_t count) {
    auto* to = static_cast<unsigned char*>(destination);
    std::size_t got = 0;
    while (got < count && !failed) {
        int error = 0;
        const std::size_t n = reader->read(reader->user, to + got, count - got, &error);
        if (error != 0) failed = true;
        if (n > count - got) {  // a reader that claims more than it was asked for
            failed = true;
            break;
        }
        got += n;
        if (n == 0) break;
    }
    consumed += got;
    return got;
}

pcmtaper_status status_of(header_status status) {
    switch (status) {
        case header_status::ok: return PCMTAPER_OK;
        case header_status::not_linear_pcm: return PCMTAPER_ERROR_NOT_LINEAR_PCM;
        case header_status::not_mono: return PCMTAPER_ERROR_NOT_MONO;
        case header_status::not_16_bit: return PCMTAPER_ERROR_NOT_16_BIT;
        case header_status::bad_sample_rate: return PCMTAPER_ERROR_BAD_SAMPLE_RATE;
        case header_status::fmt_not_found: return PCMTAPER_ERROR_FMT_NOT_FOUND;
        case header_status::data_not_found: return PCMTAPER_ERROR_DATA_NOT_FOUND;
        case header_status::ends_inside_header: return PCMTAPER_ERROR_HEADER_INCOMPLETE;
        case header_status::read_error: return PCMTAPER_ERROR_READ;
    }
    return PCMTAPER_ERROR_READ;
}

header_status read_input_header(byte_source* input, wav_input_header* header, const header_skip_progress* progress,
                                metadata_set* metadata, bool mono_only) {
    *header = wav_input_header{};
    const header_status status = walk_header(input, header, progress, metadata, mono_only);
    if (ended_incomplete(status))
        header->remarks.push_back(make_remark(
            status == header_status::read_error ? PCMTAPER_REMARK_READ_ERROR : PCMTAPER_REMARK_REFUSAL, status_of(status)));
    header->header_bytes = input->consumed;
    return status;
}

std::size_t read_memory(void* user, void* buffer, std::size_t capacity, int*) {
    auto* m = static_cast<memory_bytes*>(user);
    const std::size_t n = capacity < m->length - m->at ? capacity : m->length - m->at;
    if (n > 0) std::memcpy(buffer, m->bytes + m->at, n);
    m->at += n;
    return n;
}

int seek_memory(void* user, std::uint64_t offset) {
    auto* m = static_cast<memory_bytes*>(user);
    if (offset > m->length) return 1;
    m->at = static_cast<std::size_t>(offset);
    return 0;
}

bool read_8_bit_wav_header(const unsigned char* bytes, std::size_t length, pcmtaper_wav_8_bit_header* header) {
    // The same walk as the input's, to "fmt " and on to "data", with the same
    // pad-byte, "ds64" and chunk-limit rules; but the ids must be right, and
    // nothing is remarked.
    *header = pcmtaper_wav_8_bit_header{};
    memory_bytes memory{bytes, length, 0};
    const pcmtaper_reader reader{sizeof reader, read_memory, &memory, static_cast<std::int64_t>(length), nullptr};
    byte_source input{&reader};
    chunk_id id;
    ds64_sizes ds64;
    unsigned char size_field[4];
    if (read_bytes(&input, id.text, 4) != read_result::ok) return false;
    ds64.rf64 = id.is("RF64") || id.is("BW64");
    if (!id.is("RIFF") && !ds64.rf64) return false;
    if (read_bytes(&input, size_field, 4) != read_result::ok) return false;
    if (read_bytes(&input, id.text, 4) != read_result::ok || !id.is("WAVE")) return false;
    if (read_bytes(&input, id.text, 4) != read_result::ok) return false;
    int chunks_left = chunk_search_limit;
    if (walk_to(&input, nullptr, "fmt ", PCMTAPER_REMARK_FMT_SKIPPED, &chunks_left, &id, &ds64) !=
            read_result::ok ||
        chunks_left == 0)
        return false;
    unsigned char fmt[4 + pcm_fmt_size];
    if (read_bytes(&input, fmt, sizeof fmt) != read_result::ok) return false;
    const std::uint32_t fmt_size = little_endian_u32(fmt);
    if (fmt_size < pcm_fmt_size || little_endian_u16(fmt + 4) != format_tag_pcm ||
        little_endian_u16(fmt + 6) != mono_channels || little_endian_u16(fmt + 18) != 8)
        return false;
    header->sample_rate_hz = little_endian_u32(fmt + 8);

    // The sample count, when the bytes reach the data chunk's size: one byte
    // per sample, an RF64 file's in "ds64" behind the placeholder.
    std::uint32_t data_size;
    if (skip_bytes(&input, fmt_size - pcm_fmt_size) != read_result::ok ||
        read_next_id(&input, fmt_size, &id) != read_result::ok ||
        walk_to(&input, nullptr, "data", PCMTAPER_REMARK_DATA_SKIPPED, &chunks_left, &id, &ds64) !=
            read_result::ok ||
        chunks_left == 0 || read_u32(&input, &data_size) != read_result::ok)
        return true;
    header->samples = ds64.seen && data_size == size_placeholder ? ds64.data_size_bytes : data_size;
    header->samples_known = 1;
    return true;
}

output_layout output_layout_for(std::uint64_t data_bytes, std::uint64_t chunk_bytes) {
    // The RIFF size counts 36 header bytes, the chunks, the data and its pad byte.
    return data_bytes + data_bytes % 2 + (riff_header_len - 8) + chunk_bytes > size_placeholder
               ? output_layout::rf64
               : output_layout::riff;
}

int output_header_len(output_layout layout) {
    return layout == output_layout::rf64 ? rf64_header_len : riff_header_len;
}

int output_header_bytes(output_layout layout, std::uint64_t data_bytes, std::uint32_t sample_rate_hz,
                        unsigned char bytes[max_output_header_len]) {
    const int length = output_header_len(layout);
    const std::uint64_t riff_size = data_bytes + data_bytes % 2 + static_cast<std::uint64_t>(length - 8);
    const bool rf64 = layout == output_layout::rf64;
    unsigned char* b = bytes;
    std::memcpy(b, rf64 ? "RF64" : "RIFF", 4);
    put_u32(b + 4, rf64 ? size_placeholder : static_cast<std::uint32_t>(riff_size));
    std::memcpy(b + 8, "WAVE", 4);
    b += 12;
    if (rf64) {
        // ds64: RIFF size, data size, sample count (one byte per sample), no table.
        std::memcpy(b, "ds64", 4);
        put_u32(b + 4, 28);
        put_u64(b + 8, riff_size);
        put_u64(b + 16, data_bytes);
        put_u64(b + 24, data_bytes);
        put_u32(b + 32, 0);
        b += 36;
    }
    std::memcpy(b, "fmt ", 4);
    put_u32(b + 4, output_fmt_size);
    put_u32(b + 8, format_tag_pcm | std::uint32_t(mono_channels) << 16);
    put_u32(b + 12, sample_rate_hz);
    put_u32(b + 16, sample_rate_hz);  // byte rate: one byte per sample
    put_u32(b + 20, 1u | output_bits_per_sample << 16);  // block align 1, 8 bits
    std::memcpy(b + 24, "data", 4);
    put_u32(b + 28, rf64 ? size_placeholder : static_cast<std::uint32_t>(data_bytes));
    return length;
}

std::string output_header_with_chunks(output_layout layout, std::uint64_t data_bytes, std::uint32_t sample_rate_hz,
                                      const std::string& chunks) {
    unsigned char bytes[max_output_header_len];
    const int length = output_header_bytes(layout, data_bytes, sample_rate_hz, bytes);
    if (!chunks.empty()) {
        // The RIFF size counts the chunks too: in its 32-bit field, or in the
        // ds64 chunk's 64-bit one (right after the ds64 id and size).
        const std::uint64_t riff_size =
            data_bytes + data_bytes % 2 + static_cast<std::uint64_t>(length - 8) + chunks.size();
        if (layout == output_layout::rf64) {
            put_u64(bytes + 20, riff_size);
        } else {
            put_u32(bytes + 4, riff_size < size_placeholder ? static_cast<std::uint32_t>(riff_size) : size_placeholder);
        }
    }
    // "data" and its size are the header's last 8 bytes; the chunks go before them.
    std::string header(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(length - 8));
    header += chunks;
    header.append(reinterpret_cast<const char*>(bytes + length - 8), 8);
    return header;
}
