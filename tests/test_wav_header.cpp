// The input header walk, driven from byte buffers, and the output header bytes.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

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

walk_outcome walk(const std::string& bytes) {
    std::FILE* in = fmemopen(const_cast<char*>(bytes.data()), bytes.size(), "rb");
    char* text = nullptr;
    std::size_t text_len = 0;
    std::FILE* messages = open_memstream(&text, &text_len);
    walk_outcome out{};
    out.status = read_input_header(in, messages, &out.header);
    out.position = std::ftell(in);
    std::fclose(messages);
    out.messages.assign(text, text_len);
    std::free(text);
    std::fclose(in);
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
    EXPECT_EQ(walk(riff(chunk("fmt ", fmt_body(3, 1, 44100, 32)) + data4)).status,
              header_status::not_linear_pcm);
    const walk_outcome extensible = walk(riff(chunk("fmt ", fmt_body(65534, 1, 44100, 16, u16(22) + std::string(22, '\0'))) + data4));
    EXPECT_EQ(extensible.status, header_status::not_linear_pcm);
    EXPECT_EQ(extensible.messages, "This is not a linear PCM.\r\n");

    const walk_outcome stereo = walk(riff(chunk("fmt ", fmt_body(1, 2, 44100)) + data4));
    EXPECT_EQ(stereo.status, header_status::not_mono);
    EXPECT_EQ(stereo.messages, "This is not a Monaural sound(Stereo, Surround, etc.).\r\n");

    // Neither PCM nor mono: only the first refusal.
    const walk_outcome both = walk(riff(chunk("fmt ", fmt_body(3, 2, 44100)) + data4));
    EXPECT_EQ(both.status, header_status::not_linear_pcm);
    EXPECT_EQ(both.messages, "This is not a linear PCM.\r\n");

    for (std::uint16_t bits : {8, 24}) {
        const walk_outcome w = walk(riff(chunk("fmt ", fmt_body(1, 1, 44100, bits)) + data4));
        EXPECT_EQ(w.status, header_status::not_16_bit);
        EXPECT_EQ(w.messages, "This is not a 16bit sound.\r\n");
    }
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

TEST(OutputHeader, BytesForZeroAndFor101Blocks) {
    unsigned char bytes[output_header_len];
    output_header_bytes(0, 44100, bytes);
    const std::string empty(reinterpret_cast<char*>(bytes), sizeof bytes);
    EXPECT_EQ(empty, "RIFF" + u32(36) + "WAVEfmt " + u32(16) + u16(1) + u16(1) + u32(44100) +
                         u32(44100) + u16(1) + u16(8) + "data" + u32(0));

    output_header_bytes(101, 22050, bytes);
    const std::string full(reinterpret_cast<char*>(bytes), sizeof bytes);
    EXPECT_EQ(full, "RIFF" + u32(3268) + "WAVEfmt " + u32(16) + u16(1) + u16(1) + u32(22050) +
                        u32(22050) + u16(1) + u16(8) + "data" + u32(3232));

    // The largest count a 32-bit data size allows does not overflow.
    output_header_bytes(0x3FFFFFF, 8000, bytes);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes) + 4, 4), u32(0x7FFFFFE0u + 36));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes) + 40, 4), u32(0x7FFFFFE0u));
}

}  // namespace
