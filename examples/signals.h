// Deterministic test and demonstration signals, as 16-bit mono WAV files.
//
// Usage: auto s = make_example_signal(example_kind::music, 44100, 60.0);
//        std::string file = mono16_wav_bytes(44100, s);
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class example_kind {
    tone,    // 1 kHz sine at -12 dBFS with a slow fade in and out
    chirp,   // exponential sweep from 50 Hz to 0.45 of the rate, -6 dBFS
    noise,   // white noise at -20 dBFS
    bursts,  // speech-like: voiced syllables and hissing consonants between pauses
    music,   // notes with harmonics and decays, a soft pad, quiet passages
};

// Parses "tone", "chirp", ...; returns false for an unknown name.
bool parse_example_kind(const std::string& name, example_kind* kind);

// `seconds` of the signal at `rate_hz`; the same arguments give the same samples.
std::vector<std::int16_t> make_example_signal(example_kind kind, std::uint32_t rate_hz, double seconds);

// A canonical 44-byte-header 16-bit mono WAV file holding `samples`.
std::string mono16_wav_bytes(std::uint32_t rate_hz, const std::vector<std::int16_t>& samples);
