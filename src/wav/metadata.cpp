#include "wav/metadata.h"

#include <cstring>

namespace {

// "smpl": manufacturer, product, sample period, MIDI unity note, pitch
// fraction, SMPTE format and offset, the loop count and the size of the
// sampler's own data; then 24 bytes per loop: cue id, type, start, end
// (the last sample of the loop, inclusive), fraction, play count.
constexpr std::size_t smpl_fixed_len = 36;
constexpr std::size_t smpl_loop_count_at = 28;
constexpr std::size_t smpl_loop_len = 24;
constexpr std::size_t smpl_loop_start_at = 8;
constexpr std::size_t smpl_loop_end_at = 12;
// "cue ": the point count, then 24 bytes per point: id, position (in play
// order, which without a playlist is the sample number), the id of the chunk
// holding the samples, that chunk's start, the block's start (both 0 for one
// PCM "data" chunk), and the sample offset.
constexpr std::size_t cue_fixed_len = 4;
constexpr std::size_t cue_point_len = 24;
constexpr std::size_t cue_position_at = 4;
constexpr std::size_t cue_sample_offset_at = 20;
// "inst": unshifted note, fine tune, gain, low and high note, low and high velocity.
constexpr std::size_t inst_len = 7;
constexpr std::size_t list_type_len = 4;
constexpr std::uint64_t largest_u32 = 0xFFFFFFFFu;
constexpr int chunks_after_data_limit = 64;

std::uint32_t get_u32(const std::string& b, std::size_t at) {
    const auto* p = reinterpret_cast<const unsigned char*>(b.data()) + at;
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}

void set_u32(std::string* b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) (*b)[at + i] = static_cast<char>(v >> (8 * i));
}

std::string u32_bytes(std::uint32_t v) {
    std::string b(4, '\0');
    set_u32(&b, 0, v);
    return b;
}

bool id_is(const char id[4], const char* literal) { return std::memcmp(id, literal, 4) == 0; }

// The chunk's name as the remarks give it ("cue ", with its trailing space,
// as "cue"); a "LIST" whose body was read is named with its type.
const char* remark_name(const char id[4], bool body_read = true) {
    if (id_is(id, "smpl")) return "smpl";
    if (id_is(id, "cue ")) return "cue";
    if (id_is(id, "LIST")) return body_read ? "LIST INFO" : "LIST";
    return "inst";
}

void add_remark(remark_list* remarks, pcmtaper_remark_code code, const char id[4], bool body_read = true) {
    remarks->push_back(chunk_remark(code, id, remark_name(id, body_read)));
}

// Whether the subchunks of a "LIST" body of type "INFO" (after the type) tile
// it: each header and body inside, a pad byte after an odd body, which the
// last one may lack.
bool info_subchunks_fit(const std::string& body) {
    std::size_t at = list_type_len;
    while (at + 8 <= body.size()) {
        const std::uint64_t size = get_u32(body, at + 4);
        if (at + 8 + size > body.size()) return false;
        at += 8 + static_cast<std::size_t>(size + size % 2);
    }
    return at == body.size() || at == body.size() + 1;
}

// Moves the 32-bit sample position at `at` to the output's rate and by
// `shift`, and sets one past `last` to `last`. Returns whether it had to.
bool move_position(std::string* body, std::size_t at, const rate_change& rates, std::uint64_t shift,
                   std::uint64_t last) {
    std::uint64_t position = rates.scaled(get_u32(*body, at)) + shift;
    const bool clamped = position > last;
    if (clamped) position = last;
    set_u32(body, at, static_cast<std::uint32_t>(position));
    return clamped;
}

}  // namespace

bool is_metadata_chunk_id(const char id[4]) {
    return id_is(id, "smpl") || id_is(id, "cue ") || id_is(id, "LIST") || id_is(id, "inst");
}

void metadata_set::add(const char id[4], std::string body, remark_list* remarks) {
    kind k;
    bool well_formed;
    if (id_is(id, "smpl")) {
        k = smpl;
        well_formed = body.size() >= smpl_fixed_len &&
                      get_u32(body, smpl_loop_count_at) <= (body.size() - smpl_fixed_len) / smpl_loop_len;
    } else if (id_is(id, "cue ")) {
        k = cue;
        well_formed = body.size() >= cue_fixed_len && get_u32(body, 0) <= (body.size() - cue_fixed_len) / cue_point_len;
    } else if (id_is(id, "LIST")) {
        // Other lists ("adtl": labels of cue points, and the like) are not
        // among what is kept.
        if (body.size() >= list_type_len && body.compare(0, list_type_len, "INFO") != 0) return;
        k = list_info;
        well_formed = body.size() >= list_type_len && info_subchunks_fit(body);
    } else if (id_is(id, "inst")) {
        k = inst;
        well_formed = body.size() >= inst_len;
    } else {
        return;
    }
    if (kept_[k]) {
        add_remark(remarks, PCMTAPER_REMARK_METADATA_DUPLICATE, id);
    } else if (!well_formed) {
        add_remark(remarks, PCMTAPER_REMARK_METADATA_MALFORMED, id);
    } else {
        kept_[k] = true;
        body_[k] = std::move(body);
    }
}

void metadata_set::too_large(const char id[4], std::uint64_t size_bytes, remark_list* remarks) {
    add_remark(remarks, PCMTAPER_REMARK_METADATA_TOO_LARGE, id, false);
    remarks->back().chunk_bytes = size_bytes;
}

void metadata_set::cut_off(const char id[4], remark_list* remarks) {
    add_remark(remarks, PCMTAPER_REMARK_METADATA_CUT_OFF, id, false);
}

bool metadata_set::empty() const {
    for (bool k : kept_)
        if (k) return false;
    return true;
}

std::uint64_t rate_change::scaled(std::uint64_t position) const {
    if (in_rate_hz == out_rate_hz) return position;
    // position * out / in, rounded to the nearest, halves up: the position
    // is below 2^32 and the rates below 2^31, so the sum splits into a whole
    // part and a remainder that stay within 64 bits.
    const std::uint64_t in = in_rate_hz, out = out_rate_hz;
    const std::uint64_t whole = position / in, part = position % in;
    return whole * out + (2 * part * out + in) / (2 * in);
}

std::string metadata_set::for_output(const rate_change& rates, std::uint64_t shift_samples,
                                     std::uint64_t output_samples, remark_list* remarks) const {
    // The last output sample, as far as a 32-bit position can name it.
    std::uint64_t last = output_samples > 0 ? output_samples - 1 : 0;
    if (last > largest_u32) last = largest_u32;
    static constexpr const char* ids[kinds] = {"smpl", "cue ", "LIST", "inst"};
    std::string out;
    for (int k = 0; k < kinds; ++k) {
        if (!kept_[k]) continue;
        std::string body = body_[k];
        std::uint64_t clamped = 0;
        if (k == smpl) {
            const std::uint32_t loops = get_u32(body, smpl_loop_count_at);
            for (std::uint32_t i = 0; i < loops; ++i) {
                const std::size_t loop = smpl_fixed_len + i * smpl_loop_len;
                clamped += move_position(&body, loop + smpl_loop_start_at, rates, shift_samples, last);
                clamped += move_position(&body, loop + smpl_loop_end_at, rates, shift_samples, last);
            }
        } else if (k == cue) {
            const std::uint32_t points = get_u32(body, 0);
            for (std::uint32_t i = 0; i < points; ++i) {
                const std::size_t point = cue_fixed_len + i * cue_point_len;
                clamped += move_position(&body, point + cue_position_at, rates, shift_samples, last);
                clamped += move_position(&body, point + cue_sample_offset_at, rates, shift_samples, last);
            }
        }
        if (clamped > 0) {
            add_remark(remarks, PCMTAPER_REMARK_METADATA_CLAMPED, ids[k]);
            remarks->back().positions_clamped = clamped;
        }
        out += ids[k];
        out += u32_bytes(static_cast<std::uint32_t>(body.size()));
        out += body;
        if (body.size() % 2 != 0) out += '\0';
    }
    return out;
}

void read_metadata_after_data(read_at_fn read_at, void* context, std::uint64_t data_end, std::uint64_t data_size,
                              std::uint64_t file_size, metadata_set* kept, remark_list* remarks) {
    std::uint64_t at = data_end;
    std::uint64_t previous_size = data_size;
    for (int n = 0; n < chunks_after_data_limit; ++n) {
        // A zero byte after an odd body is its pad byte; anything else is the
        // next id, from a writer that left the pad out.
        unsigned char pad;
        if (previous_size % 2 != 0 && at < file_size && read_at(context, at, &pad, 1) && pad == 0) ++at;
        unsigned char header[8];
        if (at + 8 > file_size || !read_at(context, at, header, sizeof header)) return;
        const char* id = reinterpret_cast<const char*>(header);
        const std::uint64_t size = std::uint64_t(header[4]) | std::uint64_t(header[5]) << 8 |
                                   std::uint64_t(header[6]) << 16 | std::uint64_t(header[7]) << 24;
        const bool runs_past_end = size > file_size - at - 8;
        if (is_metadata_chunk_id(id)) {
            if (size > max_metadata_chunk_bytes) {
                kept->too_large(id, size, remarks);
            } else if (runs_past_end) {
                kept->cut_off(id, remarks);
            } else {
                std::string body(static_cast<std::size_t>(size), '\0');
                if (size > 0 && !read_at(context, at + 8, body.data(), body.size())) {
                    kept->cut_off(id, remarks);  // the input ended, or its reader failed
                    return;
                }
                kept->add(id, std::move(body), remarks);
            }
        }
        if (runs_past_end) return;
        at += 8 + size;
        previous_size = size;
    }
}
