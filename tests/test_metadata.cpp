// --keep-metadata: the loops, cue points, INFO tags and instrument chunk on
// byte buffers (checked, moved, clamped), and in the program's output as real
// readers (libsndfile's sndfile-info, FFmpeg's ffprobe) see them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "program_runner.h"
#include "signals.h"
#include "wav/metadata.h"
#include "wav/wav.h"
#include "wav_fixtures.h"

using namespace fixtures;

namespace {

struct loop {
    std::uint32_t start, end;
};

std::string smpl_body(const std::vector<loop>& loops) {
    std::string b = u32(0) + u32(0) + u32(125000) + u32(60) + u32(0) + u32(0) + u32(0) +
                    u32(static_cast<std::uint32_t>(loops.size())) + u32(0);
    for (std::size_t i = 0; i < loops.size(); ++i)
        b += u32(static_cast<std::uint32_t>(i)) + u32(0) + u32(loops[i].start) + u32(loops[i].end) + u32(0) + u32(0);
    return b;
}

std::string cue_body(const std::vector<std::uint32_t>& positions) {
    std::string b = u32(static_cast<std::uint32_t>(positions.size()));
    for (std::size_t i = 0; i < positions.size(); ++i)
        b += u32(static_cast<std::uint32_t>(i + 1)) + u32(positions[i]) + "data" + u32(0) + u32(0) + u32(positions[i]);
    return b;
}

const std::string info_body = "INFO" + chunk("INAM", std::string("Laser shot\0", 11)) +
                              chunk("IART", std::string("Nobody\0", 7)) + chunk("ICMT", std::string("loop me\0", 8));
const std::string inst_body = std::string("\x3C\x00\x00\x00\x7F\x01\x7F", 7);

std::uint32_t u32_at(const std::string& b, std::size_t at) {
    return static_cast<unsigned char>(b[at]) | static_cast<unsigned char>(b[at + 1]) << 8 |
           static_cast<unsigned char>(b[at + 2]) << 16 | std::uint32_t(static_cast<unsigned char>(b[at + 3])) << 24;
}

// The remarks' lines, as the program prints them.
std::string text_of(const remark_list& remarks) {
    std::string text;
    for (const pcmtaper_remark& r : remarks) {
        char line[PCMTAPER_REMARK_TEXT_MAX];
        pcmtaper_format_remark(&r, line, sizeof line);
        text += line;
    }
    return text;
}

// ---- on byte buffers --------------------------------------------------------

const rate_change same_rate{44100, 44100};

TEST(Metadata, PositionsAreScaledToTheOutputRateToTheNearestHalvesUp) {
    const struct {
        rate_change rates;
        std::uint64_t position, scaled;
    } cases[] = {
        {{4, 1}, 1, 0}, {{4, 1}, 2, 1}, {{4, 1}, 6, 2}, {{1, 3}, 5, 15}, {{44100, 11025}, 44102, 11026},
        {{44100, 48000}, 0xFFFFFFFFu, 4674794335u},  // 32 bits in, no overflow on the way
        {{2147483647, 1000}, 0xFFFFFFFFu, 2000}, {{8000, 8000}, 12345, 12345},
    };
    for (const auto& c : cases) EXPECT_EQ(c.rates.scaled(c.position), c.scaled) << c.position;
}

TEST(Metadata, PositionsMoveByTheShiftAndOrderAndPadBytesAreTheOutputs) {
    metadata_set kept;
    remark_list remarks;
    // Offered in another order than the output's, the text with an odd length.
    const std::string odd_info = "INFO" + chunk("INAM", "abc");
    kept.add("inst", inst_body, &remarks);
    kept.add("LIST", odd_info.substr(0, odd_info.size() - 1), &remarks);  // the last pad byte left out
    kept.add("cue ", cue_body({0, 300}), &remarks);
    kept.add("smpl", smpl_body({{100, 500}, {600, 990}}), &remarks);
    EXPECT_EQ(text_of(remarks), "");
    for (const std::uint64_t shift : {0u, 224u}) {
        const std::string out = kept.for_output(same_rate, shift, 100000, &remarks);
        const std::string expected =
            chunk("smpl", smpl_body({{std::uint32_t(100 + shift), std::uint32_t(500 + shift)},
                                     {std::uint32_t(600 + shift), std::uint32_t(990 + shift)}})) +
            chunk("cue ", cue_body({std::uint32_t(shift), std::uint32_t(300 + shift)})) +
            chunk("LIST", odd_info.substr(0, odd_info.size() - 1)) + chunk("inst", inst_body);
        EXPECT_EQ(out, expected) << shift;
        EXPECT_EQ(out.size() % 2, 0u);
    }
    EXPECT_EQ(text_of(remarks), "");
}

TEST(Metadata, PositionsPastTheLastSampleAreSetToItWithARemarkPerChunk) {
    metadata_set kept;
    remark_list remarks;
    kept.add("smpl", smpl_body({{700, 999}, {10, 20}, {775, 776}}), &remarks);
    kept.add("cue ", cue_body({780}), &remarks);
    // 1000 output samples: the last is 999; +224 puts 776 and above past it.
    const std::string out = kept.for_output(same_rate, 224, 1000, &remarks);
    EXPECT_EQ(out.substr(0, 8 + smpl_body({}).size() + 72),
              chunk("smpl", smpl_body({{924, 999}, {234, 244}, {999, 999}})));
    EXPECT_EQ(out.substr(out.find("cue ")), chunk("cue ", cue_body({999})));
    EXPECT_EQ(text_of(remarks),
              "The smpl chunk has 2 positions past the last output sample; they are set to that sample.\r\n"
              "The cue chunk has 2 positions past the last output sample; they are set to that sample.\r\n");
    // A position that 32 bits cannot hold once moved is set to the largest they can.
    metadata_set far;
    far.add("smpl", smpl_body({{0xFFFFFF00u, 0xFFFFFFF0u}}), &remarks);
    remarks.clear();
    EXPECT_EQ(far.for_output(same_rate, 224, std::uint64_t(1) << 33, &remarks), chunk("smpl", smpl_body({{0xFFFFFFE0u, 0xFFFFFFFFu}})));
    EXPECT_EQ(text_of(remarks), "The smpl chunk has 1 position past the last output sample; it is set to that sample.\r\n");
    // An output without samples: every position goes to 0.
    remarks.clear();
    EXPECT_EQ(kept.for_output(same_rate, 0, 0, &remarks).substr(0, 8 + 36 + 72),
              chunk("smpl", smpl_body({{0, 0}, {0, 0}, {0, 0}})));
}

TEST(Metadata, MalformedSecondAndOtherChunksAreLeftOut) {
    const struct {
        const char* id;
        std::string body;
        const char* remark;  // "" when left out without a word, nullptr when kept
    } cases[] = {
        {"smpl", smpl_body({{1, 2}}), nullptr},
        {"smpl", smpl_body({{1, 2}}).substr(0, 35), "The smpl chunk is malformed; it is left out.\r\n"},
        {"smpl", smpl_body({{1, 2}}).substr(0, 36 + 23), "The smpl chunk is malformed; it is left out.\r\n"},
        {"smpl", smpl_body({}).replace(28, 4, u32(0xFFFFFFFFu)), "The smpl chunk is malformed; it is left out.\r\n"},
        {"cue ", cue_body({5}), nullptr},
        {"cue ", "", "The cue chunk is malformed; it is left out.\r\n"},
        {"cue ", cue_body({5, 6}).substr(0, 4 + 24 + 10), "The cue chunk is malformed; it is left out.\r\n"},
        {"LIST", info_body, nullptr},
        {"LIST", "INFO", nullptr},
        {"LIST", "INF", "The LIST INFO chunk is malformed; it is left out.\r\n"},
        {"LIST", "INFO" + std::string("INAM") + u32(100) + "short", "The LIST INFO chunk is malformed; it is left out.\r\n"},
        {"LIST", info_body + "xyz", "The LIST INFO chunk is malformed; it is left out.\r\n"},
        {"LIST", "adtl" + chunk("labl", u32(1) + "intro"), ""},
        {"inst", inst_body, nullptr},
        {"inst", inst_body.substr(0, 6), "The inst chunk is malformed; it is left out.\r\n"},
        {"fact", u32(5), ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.id) + ", " + std::to_string(c.body.size()) + " bytes");
        metadata_set kept;
        remark_list remarks;
        kept.add(c.id, c.body, &remarks);
        EXPECT_EQ(kept.empty(), c.remark != nullptr);
        EXPECT_EQ(text_of(remarks), c.remark != nullptr ? c.remark : "");
        if (c.remark == nullptr) {
            // A second of the kind is left out: the first stands.
            kept.add(c.id, c.body, &remarks);
            EXPECT_EQ(text_of(remarks), std::string("Another ") + (std::strcmp(c.id, "cue ") == 0 ? "cue" : c.id) +
                                   (std::strcmp(c.id, "LIST") == 0 ? " INFO" : "") +
                                   " chunk is left out; the first is kept.\r\n");
            EXPECT_EQ(kept.for_output(same_rate, 0, 100, &remarks), chunk(c.id, c.body));
        }
    }
}

TEST(Metadata, EachRemarkLineIsSaidOnItsOwn) {
    const struct {
        std::string remarks;
        std::vector<std::string> lines;
    } cases[] = {
        {"", {}},
        {"One.\r\n", {"One.\r\n"}},
        {"One.\r\nTwo.\r\n", {"One.\r\n", "Two.\r\n"}},
        {"One.\r\nTwo.", {"One.\r\n", "Two."}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> said;
        remark_lines(c.remarks, [&](const char* line) { said.emplace_back(line); });
        EXPECT_EQ(said, c.lines) << c.remarks;
    }
}

// The chunks after the samples, as a file holds them.
bool read_from_string(void* context, std::uint64_t offset, void* bytes, std::size_t count) {
    const auto* file = static_cast<const std::string*>(context);
    if (offset > file->size() || count > file->size() - offset) return false;
    std::memcpy(bytes, file->data() + offset, count);
    return true;
}

TEST(Metadata, ChunksAfterTheSamplesAreFoundWithOrWithoutPadByte) {
    const std::string smpl = chunk("smpl", smpl_body({{1, 2}}));
    const struct {
        const char* what;
        std::uint64_t data_size;
        std::string after;  // the bytes after the data
        bool kept;
        const char* remarks;
    } cases[] = {
        {"even data", 10, chunk("junk", "abc") + smpl, true, ""},
        {"odd data, pad byte", 11, std::string(1, '\0') + chunk("id3 ", "x") + smpl, true, ""},
        {"odd data, no pad byte", 11, smpl, true, ""},
        {"a cut-off chunk", 10, smpl.substr(0, 20), false, "The smpl chunk is cut off by the end of the file; it is left out.\r\n"},
        {"a chunk too large", 10, "LIST" + u32(max_metadata_chunk_bytes + 1) + "INFO", false,
         "The LIST chunk of 1048577 bytes is too large to keep; it is left out.\r\n"},
        {"a chunk past the end before it", 10, "junk" + u32(1000) + smpl, false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string file = std::string(100, 'h') + std::string(c.data_size, 's') + c.after;
        metadata_set kept;
        remark_list remarks;
        read_metadata_after_data(read_from_string, const_cast<std::string*>(&file), 100 + c.data_size, c.data_size,
                                 file.size(), &kept, &remarks);
        EXPECT_EQ(!kept.empty(), c.kept);
        EXPECT_EQ(text_of(remarks), c.remarks);
    }
}

TEST(Metadata, TheHeaderCountsTheChunksInBothLayouts) {
    const std::string chunks = chunk("inst", inst_body);
    const std::string riff = output_header_with_chunks(output_layout::riff, 33, 8000, chunks);
    EXPECT_EQ(riff, "RIFF" + u32(36 + 34 + 16) + "WAVEfmt " + u32(16) + u16(1) + u16(1) + u32(8000) + u32(8000) +
                        u16(1) + u16(8) + chunks + "data" + u32(33));
    EXPECT_EQ(output_header_with_chunks(output_layout::riff, 33, 8000, ""), output_header(0, 8000).substr(0, 4) + u32(36 + 34) +
                                                            output_header(0, 8000).substr(8, 32) + u32(33));
    const std::string rf64 = output_header_with_chunks(output_layout::rf64, 33, 8000, chunks);
    ASSERT_EQ(rf64.size(), 80 + chunks.size());
    EXPECT_EQ(rf64.substr(0, 4), "RF64");
    EXPECT_EQ(u32_at(rf64, 20), 72u + 34u + 16u);  // the ds64 RIFF size counts the chunks
    EXPECT_EQ(u32_at(rf64, 28), 33u);              // the data size does not
    EXPECT_EQ(rf64.substr(72, chunks.size()), chunks);
    EXPECT_EQ(output_layout_for(4294967258u, 0), output_layout::riff);
    EXPECT_EQ(output_layout_for(4294967258u, 2), output_layout::rf64);
}

// ---- in the program's output, read by real readers -------------------------

bool have(const char* program) {
#ifdef _WIN32
    (void)program;
    return false;
#else
    return std::system((std::string("command -v ") + program + " >/dev/null 2>&1").c_str()) == 0;
#endif
}

// The loops (start and end) and cue positions sndfile-info prints for `file`.
struct sndfile_view {
    std::vector<loop> loops;
    std::vector<std::uint32_t> cues;
    std::string text;
};

sndfile_view read_with_sndfile_info(const scratch_dir& dir, const std::string& file) {
    sndfile_view v;
    v.text = run_command("sndfile-info " + shell_quote(dir.path(file)) + " 2>&1").out;
    const std::regex loop_line(R"(Start :\s+(\d+)\s+End :\s+(\d+))");
    const std::regex cue_line(R"(Pos :\s+(\d+))");
    for (std::sregex_iterator m(v.text.begin(), v.text.end(), loop_line), end; m != end; ++m)
        v.loops.push_back({std::uint32_t(std::stoul((*m)[1])), std::uint32_t(std::stoul((*m)[2]))});
    for (std::sregex_iterator m(v.text.begin(), v.text.end(), cue_line), end; m != end; ++m)
        v.cues.push_back(std::uint32_t(std::stoul((*m)[1])));
    return v;
}

bool operator==(const loop& a, const loop& b) { return a.start == b.start && a.end == b.end; }

// 1000 samples at 8000 Hz: 31 whole blocks, 992 output samples without
// --align (the last 991), 1000 with it (the last 999).
std::string tagged_input(bool metadata_after_data) {
    const std::string samples = samples_le(make_example_signal(example_kind::tone, 8000, 0.125));
    const std::string metadata = chunk("smpl", smpl_body({{100, 500}, {600, 990}})) + chunk("cue ", cue_body({300})) +
                                 chunk("LIST", info_body) + chunk("inst", inst_body);
    const std::string fmt = chunk("fmt ", fmt_body(1, 1, 8000));
    return metadata_after_data ? riff(fmt + chunk("data", samples) + metadata) : riff(fmt + metadata + chunk("data", samples));
}

TEST(MetadataReaders, LoopsAndCuePointsMoveWithTheSoundAndClampAtTheEnd) {
    if (!have("sndfile-info")) GTEST_SKIP() << "sndfile-info (Debian sndfile-programs) is not installed";
    for (const bool after_data : {false, true}) {
        SCOPED_TRACE(after_data ? "metadata after the data" : "metadata before the data");
        scratch_dir dir;
        dir.write("in.wav", tagged_input(after_data));
        const run_result plain = dir.run({"in.wav", "plain.wav"});
        const run_result kept = dir.run({"-m", "in.wav", "kept.wav"});
        const run_result aligned = dir.run({"-m", "-a", "in.wav", "aligned.wav"});
        ASSERT_EQ(plain.exit_code, 0);
        ASSERT_EQ(kept.exit_code, 0);
        ASSERT_EQ(aligned.exit_code, 0);
        // The same samples after a longer header.
        const std::string plain_wav = dir.read("plain.wav");
        const std::string kept_wav = dir.read("kept.wav");
        EXPECT_EQ(kept_wav.substr(kept_wav.size() - 992), plain_wav.substr(44));
        const std::string clamp_remark =
            "The smpl chunk has 1 position past the last output sample; it is set to that sample.\r\n";
        EXPECT_NE(kept.out.find(clamp_remark), std::string::npos) << kept.out;
        EXPECT_EQ(aligned.out.find("position"), std::string::npos) << aligned.out;

        const sndfile_view moved = read_with_sndfile_info(dir, "kept.wav");
        EXPECT_EQ(moved.loops, (std::vector<loop>{{324, 724}, {824, 991}})) << moved.text;
        EXPECT_EQ(moved.cues, std::vector<std::uint32_t>{524}) << moved.text;
        const sndfile_view unmoved = read_with_sndfile_info(dir, "aligned.wav");
        EXPECT_EQ(unmoved.loops, (std::vector<loop>{{100, 500}, {600, 990}})) << unmoved.text;
        EXPECT_EQ(unmoved.cues, std::vector<std::uint32_t>{300}) << unmoved.text;
        EXPECT_NE(unmoved.text.find("Frames      : 1000"), std::string::npos) << unmoved.text;
    }
}

TEST(MetadataReaders, TagsReachFfprobeAndAnInputWithoutMetadataGivesThePlainOutput) {
    scratch_dir dir;
    dir.write("in.wav", tagged_input(false));
    ASSERT_EQ(dir.run({"-m", "in.wav", "kept.wav"}).exit_code, 0);
    dir.write("bare.wav", mono16_wav(8000, make_example_signal(example_kind::tone, 8000, 0.125)));
    ASSERT_EQ(dir.run({"-m", "bare.wav", "bare_m.wav"}).exit_code, 0);
    ASSERT_EQ(dir.run({"bare.wav", "bare_plain.wav"}).exit_code, 0);
    EXPECT_EQ(dir.read("bare_m.wav"), dir.read("bare_plain.wav"));
    if (!have("ffprobe")) GTEST_SKIP() << "ffprobe (Debian ffmpeg) is not installed";
    const std::string tags =
        run_command("ffprobe -v error -show_entries format_tags " + shell_quote(dir.path("kept.wav"))).out;
    EXPECT_NE(tags.find("TAG:title=Laser shot"), std::string::npos) << tags;
    EXPECT_NE(tags.find("TAG:artist=Nobody"), std::string::npos) << tags;
    EXPECT_NE(tags.find("TAG:comment=loop me"), std::string::npos) << tags;
}

TEST(MetadataReaders, AMalformedChunkIsLeftOutAndTheRunGoesOn) {
    scratch_dir dir;
    const std::string samples = samples_le(make_example_signal(example_kind::tone, 8000, 0.125));
    dir.write("in.wav", riff(chunk("fmt ", fmt_body(1, 1, 8000)) + chunk("smpl", smpl_body({{1, 2}}).substr(0, 40)) +
                             chunk("LIST", info_body) + chunk("data", samples)));
    const run_result r = dir.run({"-m", "in.wav", "out.wav"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_NE(r.out.find("data!=smpl\r\nThe smpl chunk is malformed; it is left out.\r\ndata!=LIST\r\n"),
              std::string::npos)
        << r.out;
    const std::string out = dir.read("out.wav");
    EXPECT_EQ(out.find("smpl"), std::string::npos);
    EXPECT_EQ(out.substr(36, 8 + info_body.size()), chunk("LIST", info_body));
}

// An RF64 output carries the chunks too; one over 4 GiB is out of a test's
// reach, so the header is given a few samples and read back as a file.
// libsndfile reads an RF64 file's sizes and INFO tags, and walks past its
// "smpl" chunk without reading the loops (it does for RIFF).
TEST(MetadataReaders, AnRf64HeaderWithChunksIsReadBySndfile) {
    if (!have("sndfile-info")) GTEST_SKIP() << "sndfile-info (Debian sndfile-programs) is not installed";
    scratch_dir dir;
    const std::string chunks = chunk("smpl", smpl_body({{3, 9}})) + chunk("LIST", info_body);
    dir.write("rf64.wav", output_header_with_chunks(output_layout::rf64, 33, 8000, chunks) + std::string(33, '\x80') + '\0');
    const sndfile_view v = read_with_sndfile_info(dir, "rf64.wav");
    EXPECT_NE(v.text.find("Riff size : " + std::to_string(72 + 34 + chunks.size())), std::string::npos) << v.text;
    EXPECT_NE(v.text.find("smpl : 60"), std::string::npos) << v.text;
    EXPECT_NE(v.text.find("INAM : Laser shot"), std::string::npos) << v.text;
    EXPECT_NE(v.text.find("Frames      : 33"), std::string::npos) << v.text;
}

}  // namespace
