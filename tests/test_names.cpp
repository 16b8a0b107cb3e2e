// Derivation of the output name from the input name.
#include <gtest/gtest.h>

#include "driver/driver.h"

namespace {

TEST(OutputName, FourthCharacterFromTheEndDecides) {
    EXPECT_EQ(derive_output_name("take1.wav"), "take1.8b.wav");
    EXPECT_EQ(derive_output_name("C:\\music\\take1.WAV"), "C:\\music\\take1.8b.wav");
    EXPECT_EQ(derive_output_name(".wav"), ".8b.wav");
    EXPECT_EQ(derive_output_name("dir.v2/take1.xyz"), "dir.v2/take1.8b.wav");
    EXPECT_EQ(derive_output_name("a.b.c"), "a.8b.wav");
    // Other formats' longer and shorter extensions.
    EXPECT_EQ(derive_output_name("take1.flac"), "take1.8b.wav");
    EXPECT_EQ(derive_output_name("loop.AIFF"), "loop.8b.wav");
    EXPECT_EQ(derive_output_name("x.au"), "x.8b.wav");
    // Unchanged: the caller then refuses to write over the input.
    EXPECT_EQ(derive_output_name("take1.flacc"), "take1.flacc");
    EXPECT_EQ(derive_output_name("flac"), "flac");
    EXPECT_EQ(derive_output_name("take1"), "take1");
    EXPECT_EQ(derive_output_name("wav"), "wav");
    EXPECT_EQ(derive_output_name(""), "");
}

TEST(OutputName, NamesLongerThanAnyFixedBufferAreKeptWhole) {
    const std::string stem(5000, 'n');
    EXPECT_EQ(derive_output_name(stem + ".wav"), stem + ".8b.wav");
}

}  // namespace
