// How much room the shaped error needs above a normalised peak: converts the
// example signals with their peak set to 0.875 .. 1.0 of full scale and
// counts the output bytes where the quantiser clamps (its steps stop at -126
// and +126: bytes 2 and 254; 0, 1 and 255 never come out). The numbers
// behind PCMTAPER_NORMALIZE_PEAK (doc/quality.md).
//
// Run: build/bench/normalize_headroom [seconds] [rate_hz]   (default 10 s at 22050 Hz)
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "pcmtaper/pcmtaper.h"
#include "signals.h"

constexpr unsigned char clamp_low_byte = 2;
constexpr unsigned char clamp_high_byte = 254;

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    const std::uint32_t rate_hz = argc > 2 ? static_cast<std::uint32_t>(std::atol(argv[2])) : 22050;
    const double peaks[] = {0.875, 0.90625, 0.9375, 0.96875, 1.0};
    const struct {
        const char* name;
        example_kind kind;
    } signals[] = {{"tone", example_kind::tone},
                   {"chirp", example_kind::chirp},
                   {"noise", example_kind::noise},
                   {"bursts", example_kind::bursts},
                   {"music", example_kind::music}};
    std::printf("Bytes at the clamp (2 or 254) per million output samples (%.0f s at %u Hz each):\n\n| signal |", seconds,
                static_cast<unsigned>(rate_hz));
    for (double p : peaks) std::printf(" peak %.5g |", p);
    std::printf("\n|---|");
    for (std::size_t i = 0; i < std::size(peaks); ++i) std::printf("---:|");
    std::printf("\n");
    for (const auto& s : signals) {
        const std::vector<std::int16_t> samples = make_example_signal(s.kind, rate_hz, seconds);
        const std::string file = mono16_wav_bytes(rate_hz, samples);
        int largest = 0;
        for (std::int16_t v : samples) largest = std::max(largest, std::abs(static_cast<int>(v)));
        std::printf("| %s |", s.name);
        for (double p : peaks) {
            pcmtaper_config config;
            pcmtaper_config_init(&config);
            // The peak as a fraction of full scale (32768) brought to p.
            config.gain_db = 20.0 * std::log10(p * 32768.0 / largest);
            std::vector<unsigned char> out(pcmtaper_wav_output_bound(file.size(), 0));
            std::size_t size = 0;
            if (pcmtaper_convert_wav_memory(file.data(), file.size(), &config, nullptr, out.data(), out.size(), &size) !=
                PCMTAPER_OK)
                return 1;
            std::size_t clamped = 0;
            for (std::size_t i = 44; i < size; ++i) clamped += out[i] <= clamp_low_byte || out[i] >= clamp_high_byte;
            std::printf(" %.0f |", 1e6 * static_cast<double>(clamped) / static_cast<double>(size - 44));
        }
        std::printf("\n");
    }
    return 0;
}
