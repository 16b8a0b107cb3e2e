// The input header walk, driven from byte buffers, and the output header bytes.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "program_runner.h"
#include "wav/wav.h"
#include "wav_fixtures.h"

using namespace fixtures;

namespace {

struct walk_outcome {
    header_status status;
    wav_input_header header;
    std::string messages;
    long position;  // where the stream stands afterwards
};

// The walk reads through a reader over the bytes that hands them out a few
// at a time (as a pipe may), to show that short reads are read again.
struct trickle {
    const std::string* bytes;
    std::size_t at;
};

std::size_t read_trickle(void* user, void* buffer, std::size_t capacity, int*) {
    auto* t = static_cast<trickle*>(user);
    std::size_t n = capacity < 3 ? capacity : 3;
    if (n > t->bytes->size() - t->at) n = t->bytes->size() - t->at;
    std::memcpy(buffer, t->bytes->data() + t->at, n);
    t->at += n;
    return n;
}

walk_outcome walk(const std::string& bytes, bool mono_only = true) {
    trickle t{&bytes, 0};
    const pcmtaper_reader reader{sizeof reader, read_trickle, &t, static_cast<std::int64_t>(bytes.size()), nullptr};
    byte_source in{&reader};
    walk_outcome out{};
    out.status = read_input_header(&in, &out.header, nullptr, nullptr, mono_only);
    out.position = static_cast<long>(t.at);
    EXPECT_EQ(out.header.header_bytes, t.at);
    for (const pcmtaper_remark& r : out.header.remarks) {
        char line[PCMTAPER_REMARK_TEXT_MAX];
        pcmtaper_format_remark(&r, line, sizeof line);
        out.messages += line;
    }
    return out;
}

const std::string fmt16 = chunk("fmt ", fmt_body(1, 1, 22050));
const std::string data4 = chunk("data", "\x01\x02\x03\x04");

TEST(HeaderWalk, CanonicalHeaderIsSilentAndStopsAtTheData) {
    const walk_outcome w = walk(mono16_wav(44100, {1, 2}));
    EXPECT_EQ(w.status, header_status::ok);
    EXPECT_EQ(w.messages, "");
    EXPECT_EQ(w.header.sample_rate_hz, 44100u);
    EXPECT_EQ(w.header.data_size_bytes, 4u);
    EXPECT_EQ(w.position, 44);
}

TEST(HeaderWalk, UnknownChunksAreRemarkedAndSkipped) {
    walk_outcome w = walk(riff(fmt16 + chunk("LIST", "INFOISFT....") + data4));
    EXPECT_EQ(w.status, header_status::ok);
    EXPECT_EQ(w.messages, "data!=LIST\r\n");
    EXPECT_EQ(w.header.data_size_bytes, 4u);

    w = walk(riff(chunk("fact", u32(2)) + fmt16 + data4));
    EXPECT_EQ(w.status, header_status::ok);
    EXPECT_EQ(w.messages, "fmt  != fact\r\n");
    EXPECT_EQ(w.header.sample_rate_hz, 22050u);

    // A data chunk before "fmt " is just another unknown chunk to the first walk.
    w = walk(riff(data4 + fmt16 + data4));
    EXPECT_EQ(w.messages, "fmt  != data\r\n");
    EXPECT_EQ(w.status, header_status::ok);
}

TEST(HeaderWalk, WrongRiffAndWaveIdsAreRemarkedNotEnforced) {
    const walk_outcome w = walk(riff(fmt16 + data4, "RIFX", "AVI "));
    EXPECT_EQ(w.status, header_status::ok);
    EXPECT_EQ(w.messages, "RIFF != RIFX\r\nWAVE != AVI \r\n");
    EXPECT_EQ(w.header.sample_rate_hz, 22050u);  // still read little-endian
}

TEST(HeaderWalk, AnIdWithAZeroByteShowsUpToIt) {
    const walk_outcome w = walk(riff(chunk(std::string("ab\0d", 4), "xy") + fmt16 + data4));
    EXPECT_EQ(w.messages, "fmt  != ab\r\n");
    EXPECT_EQ(w.status, header_status::ok);
}

TEST(HeaderWalk, RefusalsComeInTheirOrder) {
    EXPECT_EQ(walk(riff(chunk("fmt ", fmt_body(2, 1, 44100, 4)) + data4)).status, header_status::not_linear_pcm);
    const walk_outcome extensible = walk(riff(chunk("fmt ", fmt_body(65534, 1, 44100, 16, u16(22) + std::string(22, '\0'))) + data4));
    EXPECT_EQ(extensible.status, header_status::not_linear_pcm);
    EXPECT_EQ(extensible.messages, "This is not a linear PCM.\r\n");

    // A caller that reads mono only refuses more channels before the width.
    const walk_outcome stereo = walk(riff(chunk("fmt ", fmt_body(1, 2, 44100, 64)) + data4));
    EXPECT_EQ(stereo.status, header_status::not_mono);
    EXPECT_EQ(stereo.messages, "This is not a Monaural sound(Stereo, Surround, etc.).\r\n");

    // Neither PCM nor mono: only the first refusal.
    const walk_outcome both = walk(riff(chunk("fmt ", fmt_body(6, 2, 44100, 8)) + data4));
    EXPECT_EQ(both.status, header_status::not_linear_pcm);
    EXPECT_EQ(both.messages, "This is not a linear PCM.\r\n");

    // A width not read comes before the rate.
    const walk_outcome wide = walk(riff(chunk("fmt ", fmt_body(1, 1, 0, 40)) + data4));
    EXPECT_EQ(wide.status, header_status::not_16_bit);
    EXPECT_EQ(wide.messages, "This is not a 16bit sound.\r\n");
    // A 14-byte fmt chunk does not state the sample width.
    EXPECT_EQ(walk(riff(chunk("fmt ", fmt_body(1, 1, 44100).substr(0, 14)) + data4)).status,
              header_status::not_16_bit);
}

TEST(HeaderWalk, SampleRatesThatMakeNoPlayableOutputAreRefused) {
    for (std::uint32_t rate : {0u, 0x80000000u, 0xFFFFFFFFu}) {
        const walk_outcome w = walk(riff(chunk("fmt ", fmt_body(1, 1, rate)) + data4));
        EXPECT_EQ(w.status, header_status::bad_sample_rate) << rate;
        EXPECT_EQ(w.messages, "This sample rate is not supported.\r\n");
    }
    EXPECT_EQ(walk(riff(chunk("fmt ", fmt_body(1, 1, 0x7FFFFFFF)) + data4)).status, header_status::ok);
}

TEST(HeaderWalk, EighteenByteFmtSkipsItsExtension) {
    const walk_outcome w = walk(riff(chunk("fmt ", fmt_body(1, 1, 8000, 16, u16(0))) + data4));
    EXPECT_EQ(w.status, header_status::ok);
    EXPECT_EQ(w.messages, "");
    EXPECT_EQ(w.header.sample_rate_hz, 8000u);
    EXPECT_EQ(w.header.data_size_bytes, 4u);
}

TEST(HeaderWalk, TenSkippedChunksInAllEndTheSearch) {
    auto junk = [](int count) {
        std::string s;
        for (int i = 0; i < count; ++i) s += chunk("JUNK", "ab");
        return s;
    };
    // Nine in all, four before "fmt " and five after it: found.
    walk_outcome w = walk(riff(junk(4) + fmt16 + junk(5) + data4));
    EXPECT_EQ(w.status, header_status::ok);
    EXPECT_EQ(w.header.data_size_bytes, 4u);
    // Ten: the tenth ends the search although "data" follows it.
    w = walk(riff(junk(4) + fmt16 + junk(6) + data4));
    EXPECT_EQ(w.status, header_status::data_not_found);
    std::string expected;
    for (int i = 0; i < 4; ++i) expected += "fmt  != JUNK\r\n";
    for (int i = 0; i < 6; ++i) expected += "data!=JUNK\r\n";
    EXPECT_EQ(w.messages, expected + "The data chunk was not found.\r\n");
    w = walk(riff(junk(10) + fmt16 + data4));
    EXPECT_EQ(w.status, header_status::fmt_not_found);
    EXPECT_EQ(w.messages.substr(w.messages.size() - 30), "The fmt chunk was not found.\r\n");
}

TEST(HeaderWalk, OddChunksWithAndWithoutTheirPadByte) {
    walk_outcome w = walk(riff(chunk("bext", "abc", true) + fmt16 + chunk("LIST", "xyz", true) + data4));
    EXPECT_EQ(w.status, header_status::ok);
    EXPECT_EQ(w.messages, "fmt  != bext\r\ndata!=LIST\r\n");
    EXPECT_EQ(w.header.data_size_bytes, 4u);

    w = walk(riff(chunk("bext", "abc", false) + fmt16 + chunk("LIST", "xyz", false) + data4));
    EXPECT_EQ(w.status, header_status::ok);
    EXPECT_EQ(w.messages, "fmt  != bext\r\ndata!=LIST\r\n");
    EXPECT_EQ(w.header.data_size_bytes, 4u);

    // An odd "fmt " chunk (a 17-byte one) is padded like any other.
    w = walk(riff(chunk("fmt ", fmt_body(1, 1, 8000, 16, "x")) + data4));
    EXPECT_EQ(w.status, header_status::ok);
    EXPECT_EQ(w.messages, "");
}

TEST(HeaderWalk, AFileEndingInsideTheHeaderIsRefusedWithoutMadeUpValues) {
    const std::string whole = riff(chunk("LIST", "abcd") + fmt16 + data4);
    const std::size_t data_start = whole.size() - 4;
    for (std::size_t cut = 0; cut < data_start; ++cut) {
        const walk_outcome w = walk(whole.substr(0, cut));
        EXPECT_EQ(w.status, header_status::ends_inside_header) << "cut at " << cut;
        EXPECT_NE(w.messages.find("The file ends inside the header.\r\n"), std::string::npos);
    }
    EXPECT_EQ(walk(whole.substr(0, data_start)).status, header_status::ok);
    // A chunk size that runs past the end of the file.
    EXPECT_EQ(walk(riff(std::string("JUNK") + u32(0xFFFFFFFF) + "abc")).status,
              header_status::ends_inside_header);
}

// The fmt chunk of WAVE_FORMAT_EXTENSIBLE: the base fields, cbSize 22, the
// valid bits, a channel mask and the sub-format GUID whose first bytes are
// the real format tag, then the tail that the WAVE sub-formats share.
const std::string wave_guid_tail("\x00\x00\x00\x00\x10\x00\x80\x00\x00\xAA\x00\x38\x9B\x71", 14);
// A "fmt " body with its block align given (fmt_body's is channels * bits / 8).
std::string fmt_aligned(std::uint16_t tag, std::uint16_t channels, std::uint16_t bits, std::uint16_t align,
                        const std::string& extension = "") {
    return u16(tag) + u16(channels) + u32(8000) + u32(8000u * align) + u16(align) + u16(bits) + extension;
}

std::string extensible_body(std::uint16_t channels, std::uint16_t bits, std::uint16_t valid_bits, std::uint16_t sub_tag,
                            const std::string& tail = wave_guid_tail) {
    return fmt_aligned(65534, channels, bits, static_cast<std::uint16_t>(channels * bits / 8),
                       u16(22) + u16(valid_bits) + u32(4) + u16(sub_tag) + tail);
}

TEST(HeaderWalk, EveryFormatItReadsAndEveryOneItRefuses) {
    // KSDATAFORMAT_SUBTYPE_AMBISONIC_B_FORMAT_PCM: tag 1 in another family's GUID.
    const std::string ambisonic_tail("\x00\x00\x21\x07\xD3\x11\x86\x44\xC8\xC1\xCA\x00\x00\x00", 14);
    std::string last_byte_off = wave_guid_tail;
    last_byte_off.back() ^= 1;
    constexpr header_status ok = header_status::ok, not_pcm = header_status::not_linear_pcm,
                            not_mono = header_status::not_mono, width = header_status::not_16_bit;
    const struct {
        const char* what;
        std::string fmt;
        header_status status;
        pcmtaper_sample_type type = PCMTAPER_SAMPLE_S16;
        std::uint32_t container = 0, valid = 0, channels = 1;
    } cases[] = {
        {"PCM 8", fmt_body(1, 1, 8000, 8), ok, PCMTAPER_SAMPLE_U8, 8, 8},
        {"PCM 24", fmt_body(1, 1, 8000, 24), ok, PCMTAPER_SAMPLE_S24, 24, 24},
        {"PCM 32", fmt_body(1, 1, 8000, 32), ok, PCMTAPER_SAMPLE_S32, 32, 32},
        {"PCM 12 in 2 bytes", fmt_aligned(1, 1, 12, 2), ok, PCMTAPER_SAMPLE_S16, 16, 12},
        {"PCM 20 in 3 bytes, stereo", fmt_aligned(1, 2, 20, 6), ok, PCMTAPER_SAMPLE_S24, 24, 20, 2},
        {"PCM 0", fmt_aligned(1, 1, 0, 2), width},
        {"PCM 40", fmt_body(1, 1, 8000, 40), width},
        {"float 32", fmt_body(3, 1, 8000, 32), ok, PCMTAPER_SAMPLE_F32, 32, 32},
        {"float 64", fmt_body(3, 1, 8000, 64), ok, PCMTAPER_SAMPLE_F64, 64, 64},
        {"float 16", fmt_body(3, 1, 8000, 16), width},
        {"ADPCM", fmt_body(2, 1, 8000, 4), not_pcm},
        {"extensible PCM 20 in 24", extensible_body(1, 24, 20, 1), ok, PCMTAPER_SAMPLE_S24, 24, 20},
        {"extensible PCM 24 in 32", extensible_body(1, 32, 24, 1), ok, PCMTAPER_SAMPLE_S32, 32, 24},
        {"extensible valid bits 0: the container", extensible_body(1, 24, 0, 1), ok, PCMTAPER_SAMPLE_S24, 24, 24},
        {"extensible valid bits above: the container", extensible_body(1, 24, 32, 1), ok, PCMTAPER_SAMPLE_S24, 24, 24},
        {"extensible PCM 20 bits", extensible_body(1, 20, 20, 1), width},
        {"extensible float 32", extensible_body(1, 32, 32, 3), ok, PCMTAPER_SAMPLE_F32, 32, 32},
        {"extensible float 64, valid 0", extensible_body(1, 64, 0, 3), ok, PCMTAPER_SAMPLE_F64, 64, 64},
        {"extensible float, valid 24: no padding", extensible_body(1, 32, 24, 3), ok, PCMTAPER_SAMPLE_F32, 32, 32},
        {"extensible ADPCM", extensible_body(1, 16, 16, 2), not_pcm},
        {"extensible ambisonic", extensible_body(1, 16, 16, 1, ambisonic_tail), not_pcm},
        {"extensible GUID off by a bit", extensible_body(1, 16, 16, 1, last_byte_off), not_pcm},
        {"stereo", fmt_body(1, 2, 8000, 16), ok, PCMTAPER_SAMPLE_S16, 16, 16, 2},
        {"64 channels", extensible_body(64, 24, 24, 1), ok, PCMTAPER_SAMPLE_S24, 24, 24, 64},
        {"65 channels", fmt_body(1, 65, 8000, 16), not_mono},
        {"no channel", fmt_aligned(1, 0, 16, 2), not_mono},
        {"24 bits in 4 bytes", fmt_aligned(1, 1, 24, 4), width},
        {"stereo 16 with the align of mono", fmt_aligned(1, 2, 16, 2), width},
        {"16-bit mono: align unread, as always", fmt_aligned(1, 1, 16, 0), ok, PCMTAPER_SAMPLE_S16, 16, 16},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const walk_outcome w = walk(riff(chunk("fmt ", c.fmt) + data4), false);
        EXPECT_EQ(w.status, c.status);
        if (c.status != ok) {
            EXPECT_NE(w.messages, "");
            continue;
        }
        EXPECT_EQ(w.messages, "");
        EXPECT_EQ(w.header.sample_type, c.type);
        EXPECT_EQ(w.header.bits_per_sample, c.container);
        EXPECT_EQ(w.header.valid_bits, c.valid);
        EXPECT_EQ(w.header.channels, c.channels);
        // A caller that reads mono only refuses every other channel count.
        if (c.channels != 1) {
            EXPECT_EQ(walk(riff(chunk("fmt ", c.fmt) + data4)).status, not_mono);
        }
    }
}

TEST(HeaderWalk, AShortFmtChunkIsReadNoFurtherThanItsEnd) {
    // Each size gives the refusal of the first field it does not hold, and
    // the bytes after it (here a chunk that would say PCM, stereo) are never
    // taken for fields. A tag that is not PCM in the chunk itself still counts where it fits.
    for (std::uint32_t size = 0; size < 16; ++size) {
        const std::string body = fmt_body(1, 1, 44100).substr(0, size);
        const walk_outcome w = walk(riff(std::string("fmt ") + u32(size) + body + chunk("xxxx", fmt_body(1, 2, 8000)) + data4));
        EXPECT_EQ(w.status, header_status::not_16_bit) << size;
        EXPECT_EQ(w.messages, "This is not a 16bit sound.\r\n") << size;
    }
    EXPECT_EQ(walk(riff(std::string("fmt ") + u32(2) + u16(2) + data4)).status, header_status::not_linear_pcm);
}

TEST(HeaderWalk, IdBytesThatAreNotPrintableAreEscaped) {
    const walk_outcome w = walk(riff(chunk(std::string("\x1b[2J", 4), "") + fmt16 + data4, "ID3\x04", "WAVE"));
    EXPECT_EQ(w.messages, "RIFF != ID3\\x04\r\nfmt  != \\x1B[2J\r\n");
    EXPECT_EQ(w.status, header_status::ok);
}

TEST(HeaderWalk, Rf64TakesItsDataSizeFromDs64) {
    const std::string ds64 = chunk("ds64", u32(0) + u32(0) + u32(6464) + u32(1) + u32(3232) + u32(0) + u32(0));
    const std::string trailing = chunk("LIST", "INFOabcd");
    const std::string data = std::string("data") + u32(0xFFFFFFFF) + std::string(6464, '\x01');
    walk_outcome w = walk(riff(ds64 + fmt16 + data + trailing, "RF64"));
    EXPECT_EQ(w.status, header_status::ok);
    EXPECT_EQ(w.messages, "");
    EXPECT_EQ(w.header.data_size_bytes, 0x100000000ull * 1 + 6464);
    EXPECT_TRUE(w.header.data_size_from_ds64);
    // A data size field that is not the placeholder is taken as it stands.
    w = walk(riff(ds64 + fmt16 + chunk("data", "abcd"), "RF64"));
    EXPECT_EQ(w.header.data_size_bytes, 4u);
    // In a RIFF file "ds64" is just another chunk.
    w = walk(riff(ds64 + fmt16 + data));
    EXPECT_EQ(w.messages, "fmt  != ds64\r\n");
    EXPECT_EQ(w.header.data_size_bytes, 0xFFFFFFFFu);
}

std::string header_of(output_layout layout, std::uint64_t data_bytes, std::uint32_t rate_hz) {
    unsigned char bytes[max_output_header_len];
    const int length = output_header_bytes(layout, data_bytes, rate_hz, bytes);
    return std::string(reinterpret_cast<char*>(bytes), static_cast<std::size_t>(length));
}

TEST(OutputHeader, CanonicalHeaderForZeroAnd101BlocksAndAnOddCount) {
    const std::string fmt = "fmt " + u32(16) + u16(1) + u16(1);
    EXPECT_EQ(header_of(output_layout::riff, 0, 44100),
              "RIFF" + u32(36) + "WAVE" + fmt + u32(44100) + u32(44100) + u16(1) + u16(8) + "data" + u32(0));
    EXPECT_EQ(header_of(output_layout::riff, 3232, 22050),
              "RIFF" + u32(3268) + "WAVE" + fmt + u32(22050) + u32(22050) + u16(1) + u16(8) + "data" + u32(3232));
    // An odd number of samples is followed by a pad byte that the RIFF size counts.
    EXPECT_EQ(header_of(output_layout::riff, 201, 8000).substr(4, 4), u32(36 + 202));
    EXPECT_EQ(header_of(output_layout::riff, 201, 8000).substr(40, 4), u32(201));
}

TEST(OutputHeader, Rf64OnlyWhereTheRiffSizeCannotStateTheData) {
    const std::uint64_t largest_riff = 0xFFFFFFFFull - 36 - 1;  // even: no pad byte
    EXPECT_EQ(output_layout_for(largest_riff), output_layout::riff);
    EXPECT_EQ(output_layout_for(largest_riff + 1), output_layout::rf64);  // odd: its pad byte overflows
    EXPECT_EQ(output_layout_for(largest_riff + 2), output_layout::rf64);
    const std::uint64_t data = 0x123456789ull;
    const std::string h = header_of(output_layout::rf64, data, 8000);
    ASSERT_EQ(h.size(), 80u);
    EXPECT_EQ(h.substr(0, 44), "RF64" + u32(0xFFFFFFFF) + "WAVE" + "ds64" + u32(28) + u32(0x23456789 + 72 + 1) +
                                   u32(1) + u32(0x23456789) + u32(1) + u32(0x23456789) + u32(1));
    EXPECT_EQ(h.substr(44, 8), u32(0) + "fmt ");
    EXPECT_EQ(h.substr(72), "data" + u32(0xFFFFFFFF));
}

// The replacement rule reads the start of an existing file with the header
// walk's own chunk rules: an 8-bit mono PCM file, its rate, and its sample
// count where the bytes reach the data chunk's size.
TEST(EightBitCheck, RateAndCountOfWhatTheConverterWritesAndNothingElse) {
    const std::string fmt8 = chunk("fmt ", fmt_body(1, 1, 8000, 8));
    const std::string inst = chunk("inst", std::string(7, '\x01'));
    const std::string rf64 = header_of(output_layout::rf64, 0x123456789ull, 11025);
    struct case_ {
        const char* what;
        std::string bytes;
        int is_8_bit;
        std::uint32_t rate_hz;
        int samples_known;
        std::uint64_t samples;
    };
    const case_ cases[] = {
        {"the plain output", output_header(3, 22050), 1, 22050, 1, 96},
        {"RF64: the count from ds64", rf64, 1, 11025, 1, 0x123456789ull},
        {"BW64 as RF64", "BW64" + rf64.substr(4), 1, 11025, 1, 0x123456789ull},
        {"metadata before data (-m)", output_header_with_chunks(output_layout::riff, 33, 8000, inst + inst), 1, 8000, 1, 33},
        {"an odd chunk without its pad byte", riff(chunk("junk", "abc", false) + fmt8 + chunk("data", "xy")), 1, 8000, 1, 2},
        {"cut before the data chunk", riff(fmt8 + chunk("data", "xy")).substr(0, 12 + 24 + 6), 1, 8000, 0, 0},
        {"no data within the chunk limit", riff(fmt8 + [&] {
             std::string c;
             for (int i = 0; i < 10; ++i) c += inst;
             return c + chunk("data", "xy");
         }()), 1, 8000, 0, 0},
        {"16-bit", mono16_wav(8000, {1, 2}), 0, 0, 0, 0},
        {"stereo 8-bit", riff(chunk("fmt ", fmt_body(1, 2, 8000, 8)) + chunk("data", "xy")), 0, 0, 0, 0},
        {"not RIFF", "RIFX" + output_header(1, 8000).substr(4), 0, 0, 0, 0},
        {"not WAVE", riff(fmt8 + chunk("data", "xy"), "RIFF", "AVI "), 0, 0, 0, 0},
        {"fmt cut short", riff(fmt8).substr(0, 30), 0, 0, 0, 0},
        {"empty", "", 0, 0, 0, 0},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(c.what);
        pcmtaper_wav_8_bit_header h{};
        h.struct_size = sizeof h;
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(c.bytes.data());
        int is_8_bit = -1;
        EXPECT_EQ(pcmtaper_wav_is_8_bit(bytes, c.bytes.size(), &is_8_bit, &h), PCMTAPER_OK);
        EXPECT_EQ(is_8_bit, c.is_8_bit);
        EXPECT_EQ(pcmtaper_wav_is_8_bit(bytes, c.bytes.size(), &is_8_bit, nullptr), PCMTAPER_OK);
        EXPECT_EQ(is_8_bit, c.is_8_bit);
        if (c.is_8_bit == 0) continue;
        EXPECT_EQ(h.sample_rate_hz, c.rate_hz);
        EXPECT_EQ(h.samples_known, c.samples_known);
        EXPECT_EQ(h.samples, c.samples);
    }
}

}  // namespace
