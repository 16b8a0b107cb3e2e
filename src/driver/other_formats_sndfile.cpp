// Other formats through libsndfile. The decoder reads the program's own open
// stream through its virtual I/O, so that the program's rules for the input
// (its name, links, what it may be) hold as for a WAV file. Integer samples
// are read as integers (exact), floats as floats with libsndfile's
// normalisation on, which scales integers to floats only and leaves a float's
// value as decoded.
#include <sndfile.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "other_formats.h"
#include "system.h"

namespace {

// The open stream as libsndfile sees it: a file that starts at `start`.
struct file_view {
    std::FILE* stream;
    long long start;
    long long size_bytes;  // from `start` on
    bool failed = false;   // a read of the stream failed: the decoder's short read is an error
};

sf_count_t view_length(void* user) { return static_cast<file_view*>(user)->size_bytes; }

sf_count_t view_tell(void* user) {
    const auto* view = static_cast<file_view*>(user);
    const long long position = stream_position(view->stream);
    return position < 0 ? -1 : position - view->start;
}

sf_count_t view_seek(sf_count_t offset, int whence, void* user) {
    auto* view = static_cast<file_view*>(user);
    const long long base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? view_tell(user) : view->size_bytes;
    if (base < 0 || base + offset < 0) return -1;
    if (!seek_stream(view->stream, view->start + base + offset)) return -1;
    return base + offset;
}

sf_count_t view_read(void* buffer, sf_count_t count, void* user) {
    auto* view = static_cast<file_view*>(user);
    const std::size_t got = std::fread(buffer, 1, static_cast<std::size_t>(count), view->stream);
    if (got < static_cast<std::size_t>(count) && std::ferror(view->stream)) view->failed = true;
    return static_cast<sf_count_t>(got);
}

sf_count_t view_write(const void*, sf_count_t, void*) { return 0; }

// How a source's samples are handed over: the libsndfile call that reads
// them exactly, and the WAV sample they become.
enum class read_as { int16, int32, float32, float64 };

struct sample_layout {
    read_as kind;
    unsigned valid_bits;  // significant bits of an integer, counted from the top
};

sample_layout layout_of(int format) {
    switch (format & SF_FORMAT_SUBMASK) {
        // Up to 16 bits: libsndfile's 16-bit read gives them left-justified,
        // exactly (an 8-bit s as s * 256); companded and ADPCM codecs decode
        // to 16-bit integers themselves.
        case SF_FORMAT_PCM_S8:
        case SF_FORMAT_PCM_U8:
        case SF_FORMAT_DPCM_8:
        case SF_FORMAT_PCM_16:
        case SF_FORMAT_DPCM_16:
        case SF_FORMAT_DWVW_12:
        case SF_FORMAT_DWVW_16:
        case SF_FORMAT_ALAC_16:
        case SF_FORMAT_ULAW:
        case SF_FORMAT_ALAW:
        case SF_FORMAT_IMA_ADPCM:
        case SF_FORMAT_MS_ADPCM:
        case SF_FORMAT_GSM610:
        case SF_FORMAT_VOX_ADPCM:
        case SF_FORMAT_NMS_ADPCM_16:
        case SF_FORMAT_NMS_ADPCM_24:
        case SF_FORMAT_NMS_ADPCM_32:
        case SF_FORMAT_G721_32:
        case SF_FORMAT_G723_24:
        case SF_FORMAT_G723_40: return {read_as::int16, 16};
        // 20 to 32 bits: the 32-bit read, left-justified and exact.
        case SF_FORMAT_ALAC_20: return {read_as::int32, 20};
        case SF_FORMAT_PCM_24:
        case SF_FORMAT_DWVW_24:
        case SF_FORMAT_ALAC_24: return {read_as::int32, 24};
        case SF_FORMAT_PCM_32:
        case SF_FORMAT_ALAC_32: return {read_as::int32, 32};
        case SF_FORMAT_DOUBLE: return {read_as::float64, 64};
        // Floats, and what lossy decoders give (Vorbis, Opus, MPEG audio):
        // floats as decoded.
        default: return {read_as::float32, 32};
    }
}

unsigned bytes_of(read_as kind) {
    switch (kind) {
        case read_as::int16: return 2;
        case read_as::int32:
        case read_as::float32: return 4;
        case read_as::float64: return 8;
    }
    return 4;
}

void put_u16(std::string* b, unsigned v) {
    b->push_back(static_cast<char>(v & 0xFF));
    b->push_back(static_cast<char>((v >> 8) & 0xFF));
}
void put_u32(std::string* b, std::uint32_t v) {
    put_u16(b, v & 0xFFFF);
    put_u16(b, v >> 16);
}
void put_u64(std::string* b, std::uint64_t v) {
    put_u32(b, static_cast<std::uint32_t>(v));
    put_u32(b, static_cast<std::uint32_t>(v >> 32));
}

constexpr std::uint32_t size_in_ds64 = 0xFFFFFFFFu;

// The WAV header for `data_bytes` of samples: RIFF, or RF64 when a 32-bit
// size cannot state them. EXTENSIBLE where WAV asks for it (more than two
// channels, or integers of more than 16 bits), with the valid bits.
std::string wav_header(const sample_layout& layout, unsigned channels, std::uint32_t rate_hz,
                       std::uint64_t data_bytes, std::uint64_t frames) {
    const unsigned bits = bytes_of(layout.kind) * 8;
    const bool is_float = layout.kind == read_as::float32 || layout.kind == read_as::float64;
    const bool extensible = channels > 2 || (!is_float && bits > 16);
    const unsigned tag = is_float ? 3 : 1;
    const unsigned frame_bytes = channels * bits / 8;
    std::string fmt;
    put_u16(&fmt, extensible ? 0xFFFE : tag);
    put_u16(&fmt, channels);
    put_u32(&fmt, rate_hz);
    put_u32(&fmt, static_cast<std::uint32_t>(std::uint64_t{rate_hz} * frame_bytes));  // not read
    put_u16(&fmt, frame_bytes);
    put_u16(&fmt, bits);
    if (extensible) {
        put_u16(&fmt, 22);
        put_u16(&fmt, layout.valid_bits);
        put_u32(&fmt, 0);  // no speaker positions
        put_u32(&fmt, tag);
        fmt += std::string("\x00\x00\x10\x00\x80\x00\x00\xAA\x00\x38\x9B\x71", 12);
    }
    const std::uint64_t fmt_chunk = 8 + fmt.size();
    const std::uint64_t riff_bytes = 4 + fmt_chunk + 8 + data_bytes + data_bytes % 2;
    const bool rf64 = riff_bytes > 0xFFFFFFFFu;
    std::string h = rf64 ? "RF64" : "RIFF";
    put_u32(&h, rf64 ? size_in_ds64 : static_cast<std::uint32_t>(riff_bytes));
    h += "WAVE";
    if (rf64) {
        h += "ds64";
        put_u32(&h, 28);
        put_u64(&h, riff_bytes + 36);
        put_u64(&h, data_bytes);
        put_u64(&h, frames);
        put_u32(&h, 0);  // no table
    }
    h += "fmt ";
    put_u32(&h, static_cast<std::uint32_t>(fmt.size()));
    h += fmt;
    h += "data";
    put_u32(&h, rf64 ? size_in_ds64 : static_cast<std::uint32_t>(data_bytes));
    return h;
}

// The name of format `format` (major type alone) as libsndfile gives it,
// shortened to the part before " (": "FLAC (Free Lossless Audio Codec)" is
// "FLAC".
std::string major_name(int format) {
    SF_FORMAT_INFO info{};
    info.format = format & SF_FORMAT_TYPEMASK;
    if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &info, sizeof info) != 0 || info.name == nullptr) return "?";
    const std::string name = info.name;
    if (name == "WAV (NIST Sphere)") return "NIST Sphere";
    return name.substr(0, name.find(" ("));
}

// A file's format for the lines that name it.
std::string container_name(int format) {
    switch (format & SF_FORMAT_SUBMASK) {
        case SF_FORMAT_VORBIS: return "Ogg Vorbis";
        case SF_FORMAT_OPUS: return "Ogg Opus";
        case SF_FORMAT_MPEG_LAYER_I: return "MP1";
        case SF_FORMAT_MPEG_LAYER_II: return "MP2";
        case SF_FORMAT_MPEG_LAYER_III: return "MP3";
        default: return major_name(format);
    }
}

class sndfile_input final : public decoded_input {
  public:
    explicit sndfile_input(const file_view& view) : view_(view) {}
    ~sndfile_input() override {
        if (file_ != nullptr) sf_close(file_);
    }

    // Opens the file; false when libsndfile does not read it.
    bool open() {
        SF_VIRTUAL_IO io{view_length, view_seek, view_read, view_write, view_tell};
        SF_INFO info{};
        file_ = sf_open_virtual(&io, SFM_READ, &info, &view_);
        if (file_ == nullptr || info.channels < 1 || info.samplerate < 1) return false;
        // Both are libsndfile's defaults, set here because the values rest
        // on them: integers become floats scaled to full scale 1.0 (not
        // read here), floats stay as decoded.
        sf_command(file_, SFC_SET_NORM_FLOAT, nullptr, SF_TRUE);
        sf_command(file_, SFC_SET_NORM_DOUBLE, nullptr, SF_TRUE);
        format_ = info.format;
        layout_ = layout_of(info.format);
        channels_ = static_cast<unsigned>(info.channels);
        frame_bytes_ = channels_ * bytes_of(layout_.kind);
        // Frames the decoder cannot count (it says SF_COUNT_MAX) are read as
        // a stream whose header states an upper bound.
        frames_known_ = info.frames >= 0 && info.frames != SF_COUNT_MAX &&
                        static_cast<std::uint64_t>(info.frames) <= (std::uint64_t{1} << 62) / frame_bytes_;
        frames_total_ = frames_known_ ? static_cast<std::uint64_t>(info.frames) : (std::uint64_t{1} << 62) / frame_bytes_;
        header_ = wav_header(layout_, channels_, static_cast<std::uint32_t>(info.samplerate), frames_total_ * frame_bytes_,
                             frames_total_);
        chunk_frames_ = std::max<std::size_t>(1, 65536 / frame_bytes_);
        return true;
    }

    std::string format_name() const override { return container_name(format_); }

    long long size_bytes() const override {
        return frames_known_ ? static_cast<long long>(header_.size() + frames_total_ * frame_bytes_) : -1;
    }

    std::size_t read(void* buffer, std::size_t capacity, int* failed) override {
        auto* out = static_cast<unsigned char*>(buffer);
        std::size_t done = 0;
        while (done < capacity) {
            if (position_ < header_.size()) {
                const std::size_t n = std::min<std::size_t>(capacity - done, header_.size() - position_);
                std::memcpy(out + done, header_.data() + position_, n);
                position_ += n;
                done += n;
                continue;
            }
            if (chunk_at_ == chunk_bytes_ && !decode_chunk(failed)) break;
            const std::size_t n = std::min(capacity - done, chunk_bytes_ - chunk_at_);
            std::memcpy(out + done, chunk_bytes() + chunk_at_, n);
            chunk_at_ += n;
            position_ += n;
            done += n;
        }
        return done;
    }

    bool seek(std::uint64_t offset) override {
        if (offset == position_) return true;
        const std::uint64_t data_offset = offset > header_.size() ? offset - header_.size() : 0;
        const std::uint64_t frame = data_offset / frame_bytes_;
        if (frame > frames_total_ || sf_seek(file_, static_cast<sf_count_t>(frame), SEEK_SET) != static_cast<sf_count_t>(frame))
            return false;
        frames_decoded_ = frame;
        chunk_at_ = chunk_bytes_ = 0;
        skip_bytes_ = static_cast<std::size_t>(data_offset % frame_bytes_);
        position_ = offset;
        return true;
    }

  private:
    unsigned char* chunk_bytes() { return reinterpret_cast<unsigned char*>(chunk_.data()); }

    // The next frames, as the WAV file's bytes (this platform's byte order
    // is little-endian, as the library's); false at the end or on an error.
    bool decode_chunk(int* failed) {
        if (frames_decoded_ >= frames_total_) return false;
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(chunk_frames_, frames_total_ - frames_decoded_));
        chunk_.resize((want * frame_bytes_ + sizeof(double) - 1) / sizeof(double));
        sf_count_t got = 0;
        const auto frames = static_cast<sf_count_t>(want);
        switch (layout_.kind) {
            case read_as::int16: got = sf_readf_short(file_, reinterpret_cast<short*>(chunk_.data()), frames); break;
            case read_as::int32: got = sf_readf_int(file_, reinterpret_cast<int*>(chunk_.data()), frames); break;
            case read_as::float32: got = sf_readf_float(file_, reinterpret_cast<float*>(chunk_.data()), frames); break;
            case read_as::float64: got = sf_readf_double(file_, chunk_.data(), frames); break;
        }
        if (view_.failed || got < 0 || (got == 0 && sf_error(file_) != SF_ERR_NO_ERROR)) {
            *failed = 1;
            return false;
        }
        if (got == 0) {
            // The decoder ended before the frames it counted: the stream
            // ends here, and the library says the input ended early.
            frames_total_ = frames_decoded_;
            return false;
        }
        frames_decoded_ += static_cast<std::uint64_t>(got);
        chunk_bytes_ = static_cast<std::size_t>(got) * frame_bytes_;
        chunk_at_ = std::min(skip_bytes_, chunk_bytes_);
        skip_bytes_ = 0;
        return chunk_at_ < chunk_bytes_ || decode_chunk(failed);
    }

    file_view view_;
    SNDFILE* file_ = nullptr;
    int format_ = 0;
    sample_layout layout_{read_as::int16, 16};
    unsigned channels_ = 1;
    std::size_t frame_bytes_ = 2;
    bool frames_known_ = true;
    std::uint64_t frames_total_ = 0;
    std::string header_;
    std::uint64_t position_ = 0;        // in the WAV file
    std::uint64_t frames_decoded_ = 0;  // the next frame the decoder gives
    std::size_t chunk_frames_ = 1;
    std::vector<double> chunk_;  // decoded frames (doubles: aligned for every type)
    std::size_t chunk_bytes_ = 0, chunk_at_ = 0;
    std::size_t skip_bytes_ = 0;  // of the next chunk: a seek into a frame
};

}  // namespace

std::string decoder_version() { return sf_version_string(); }

std::string readable_formats() {
    std::string list = "WAV";
    int majors = 0, subtypes = 0;
    sf_command(nullptr, SFC_GET_FORMAT_MAJOR_COUNT, &majors, sizeof majors);
    sf_command(nullptr, SFC_GET_FORMAT_SUBTYPE_COUNT, &subtypes, sizeof subtypes);
    auto has_subtype = [subtypes](int subtype) {
        for (int i = 0; i < subtypes; ++i) {
            SF_FORMAT_INFO info{};
            info.format = i;
            if (sf_command(nullptr, SFC_GET_FORMAT_SUBTYPE, &info, sizeof info) == 0 && info.format == subtype)
                return true;
        }
        return false;
    };
    for (int i = 0; i < majors; ++i) {
        SF_FORMAT_INFO info{};
        info.format = i;
        if (sf_command(nullptr, SFC_GET_FORMAT_MAJOR, &info, sizeof info) != 0) continue;
        switch (info.format) {
            // WAV files are the library's, whatever libsndfile calls them;
            // files without a header need their format given, which the
            // program has no option for.
            case SF_FORMAT_WAV:
            case SF_FORMAT_WAVEX:
            case SF_FORMAT_RF64:
            case SF_FORMAT_RAW: break;
            case SF_FORMAT_AIFF: list += ", AIFF/AIFC"; break;
            case SF_FORMAT_MPEG: list += ", MP3 (MPEG-1/2 audio)"; break;
            case SF_FORMAT_OGG:
                for (const auto& [subtype, name] : {std::pair{SF_FORMAT_VORBIS, "Ogg Vorbis"}, {SF_FORMAT_OPUS, "Ogg Opus"}})
                    if (has_subtype(subtype)) list += std::string(", ") + name;
                break;
            default: list += ", " + major_name(info.format);
        }
    }
    return list;
}

std::unique_ptr<decoded_input> open_decoded_input(std::FILE* stream, long long start, long long size_bytes) {
    auto input = std::make_unique<sndfile_input>(file_view{stream, start, size_bytes});
    if (input->open()) return input;
    input.reset();
    seek_stream(stream, start);
    return nullptr;
}
