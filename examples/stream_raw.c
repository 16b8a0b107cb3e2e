/* Streams raw 16-bit little-endian mono samples from standard input to
 * unsigned 8-bit samples on standard output through libpcmtaper, in small
 * chunks of uneven sizes (as audio arrives from a device or a network).
 *
 * Usage: pcmtaper_stream_raw RATE_HZ [-a] [-z] < in.s16le > out.u8
 *        -a: as many samples out as in (PCMTAPER_FLAG_ALIGN), -z: no DC offset
 * Build: cc stream_raw.c $(pkg-config --cflags --libs pcmtaper) */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <pcmtaper/pcmtaper.h>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

static int fail(const char *what, pcmtaper_status status) {
    fprintf(stderr, "pcmtaper_stream_raw: %s: %s\n", what, pcmtaper_status_string(status));
    return 1;
}

int main(int argc, char **argv) {
    static const size_t chunk_frames[] = {1, 7, 31, 32, 33, 100, 257, 4096};
    pcmtaper_config config;
    pcmtaper_converter *converter = NULL;
    pcmtaper_status status;
    unsigned char bytes[2 * 4096];
    int16_t in[4096];
    uint8_t out[4096 + 512];
    size_t turn = 0, got, out_written, i;
    int arg;

#ifdef _WIN32
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    if (argc < 2) {
        fprintf(stderr, "usage: pcmtaper_stream_raw RATE_HZ [-a] [-z] < in.s16le > out.u8\n");
        return 2;
    }
    pcmtaper_config_init(&config);
    config.sample_rate_hz = (uint32_t)strtoul(argv[1], NULL, 10);
    for (arg = 2; arg < argc; ++arg) {
        if (strcmp(argv[arg], "-a") == 0) config.flags |= PCMTAPER_FLAG_ALIGN;
        if (strcmp(argv[arg], "-z") == 0) config.flags |= PCMTAPER_FLAG_ZERO_DC;
    }
    status = pcmtaper_create(&config, &converter);
    if (status != PCMTAPER_OK) return fail("create", status);

    for (;;) {
        const size_t wanted = chunk_frames[turn++ % (sizeof chunk_frames / sizeof chunk_frames[0])];
        size_t done = 0;
        got = fread(bytes, 2, wanted, stdin);
        if (got == 0) break;
        for (i = 0; i < got; ++i) in[i] = (int16_t)(uint16_t)(bytes[2 * i] | bytes[2 * i + 1] << 8);
        while (done < got) { /* the output may hold less than a call makes: call again with the rest */
            size_t used = 0;
            status = pcmtaper_process(converter, in + done, got - done, &used, out, 48, &out_written);
            if (status != PCMTAPER_OK) return fail("process", status);
            fwrite(out, 1, out_written, stdout);
            done += used;
        }
    }
    do {
        status = pcmtaper_finish(converter, out, sizeof out, &out_written);
        if (status != PCMTAPER_OK) return fail("finish", status);
        fwrite(out, 1, out_written, stdout);
    } while (out_written > 0);
    pcmtaper_destroy(converter);
    return ferror(stdin) || fflush(stdout) != 0 ? 1 : 0;
}
