// Writes a generated 16-bit mono WAV file to try the converter on.
//
// Usage: make_example [kind] [rate_hz] [seconds] output.wav
//        kind: tone, chirp, noise, bursts or music (default music, 44100 Hz, 10 s)
#include <cstdio>
#include <cstdlib>
#include <string>

#include "signals.h"

int main(int argc, char** argv) {
    if (argc < 2 || argc > 5) {
        std::fprintf(stderr, "usage: make_example [tone|chirp|noise|bursts|music] [rate_hz] [seconds] output.wav\n");
        return 2;
    }
    example_kind kind = example_kind::music;
    std::uint32_t rate_hz = 44100;
    double seconds = 10.0;
    if (argc >= 3 && !parse_example_kind(argv[1], &kind)) {
        std::fprintf(stderr, "make_example: unknown kind '%s'\n", argv[1]);
        return 2;
    }
    if (argc >= 4) rate_hz = static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 10));
    if (argc >= 5) seconds = std::strtod(argv[3], nullptr);
    if (rate_hz < 1000 || rate_hz > 384000 || !(seconds > 0.0 && seconds <= 3600.0)) {
        std::fprintf(stderr, "make_example: rate must be 1000..384000 Hz and seconds 0..3600\n");
        return 2;
    }
    const std::string file = mono16_wav_bytes(rate_hz, make_example_signal(kind, rate_hz, seconds));
    std::FILE* out = std::fopen(argv[argc - 1], "wb");
    if (out == nullptr || std::fwrite(file.data(), 1, file.size(), out) != file.size() ||
        std::fclose(out) != 0) {
        std::fprintf(stderr, "make_example: cannot write %s\n", argv[argc - 1]);
        return 1;
    }
    return 0;
}
