/* libpcmtaper: mono 16-bit PCM in, mono unsigned 8-bit PCM out, with an
 * error-feedback filter re-optimised every 32 samples against a masking
 * estimate of the signal.
 *
 * Plain C (C99 and C++). Every name starts with pcmtaper_ or PCMTAPER_.
 *
 * Two ways in:
 *   - streaming: pcmtaper_create (or pcmtaper_converter_size + pcmtaper_init
 *     over memory of your own), pcmtaper_process as often as you like,
 *     pcmtaper_finish until it writes 0 bytes, pcmtaper_destroy;
 *   - whole WAV files: pcmtaper_convert_wav (reader and writer callbacks) or
 *     pcmtaper_convert_wav_memory (buffers), which read the header, write the
 *     output WAV file and hand over, as data, everything the command-line
 *     program says (its lines come from the pcmtaper_format_* helpers).
 *
 * Determinism: the output bytes depend only on the samples, the sample rate
 * and the flags; not on the platform, the kernel level, the number of
 * threads, or how the input and the output are split into calls.
 *
 * Threads: no function keeps mutable state between calls outside the
 * converter it is given. Different converters may be used on different
 * threads at once; one converter is used by one thread at a time. Functions
 * without a converter may be called from any thread at any time.
 *
 * Nothing here prints, exits or aborts; every failure is a status, and no
 * exception leaves a function (one thrown by a callback written in C++ stops
 * the call: PCMTAPER_ERROR_STOPPED). Memory is allocated only by
 * pcmtaper_create, the first pcmtaper_process of a converter with worker
 * threads (which without that memory runs on the caller's thread alone, with
 * the same bytes) and the pcmtaper_convert_wav functions (out of memory is
 * PCMTAPER_ERROR_OUT_OF_MEMORY).
 */
#ifndef PCMTAPER_PCMTAPER_H
#define PCMTAPER_PCMTAPER_H

#include <stddef.h>
#include <stdint.h>

/* The version, written here and nowhere else (the build reads it from here). */
#define PCMTAPER_VERSION_MAJOR 2
#define PCMTAPER_VERSION_MINOR 0
#define PCMTAPER_VERSION_PATCH 0
#define PCMTAPER_VERSION_STRINGIFY_(x) #x
#define PCMTAPER_VERSION_STRINGIFY(x) PCMTAPER_VERSION_STRINGIFY_(x)
#define PCMTAPER_VERSION_STRING                                                           \
    PCMTAPER_VERSION_STRINGIFY(PCMTAPER_VERSION_MAJOR)                                    \
    "." PCMTAPER_VERSION_STRINGIFY(PCMTAPER_VERSION_MINOR) "." PCMTAPER_VERSION_STRINGIFY(PCMTAPER_VERSION_PATCH)

#if defined(_WIN32) && !defined(PCMTAPER_STATIC)
#  if defined(PCMTAPER_BUILDING_LIBRARY)
#    define PCMTAPER_API __declspec(dllexport)
#  else
#    define PCMTAPER_API __declspec(dllimport)
#  endif
#elif defined(__GNUC__)
#  define PCMTAPER_API __attribute__((visibility("default")))
#else
#  define PCMTAPER_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Statuses ------------------------------------------------------------ */

/* PCMTAPER_OK, or a failure (negative). Values are stable across versions. */
typedef enum pcmtaper_status {
    PCMTAPER_OK = 0,
    PCMTAPER_ERROR_INVALID_ARGUMENT = -1,   /* a null pointer, a zero rate, unknown flags, ... */
    PCMTAPER_ERROR_UNSUPPORTED_CONFIG = -2, /* a struct from a later version that sets fields this one lacks */
    PCMTAPER_ERROR_BAD_STATE = -3,          /* process after finish, or a converter not initialised */
    PCMTAPER_ERROR_OUT_OF_MEMORY = -4,
    PCMTAPER_ERROR_LEVEL_UNAVAILABLE = -5,  /* the forced kernel level is not on this machine or build */
    PCMTAPER_ERROR_NOT_LINEAR_PCM = -6,     /* WAV: format tag neither 1 nor extensible PCM */
    PCMTAPER_ERROR_NOT_MONO = -7,           /* WAV: more than one channel */
    PCMTAPER_ERROR_NOT_16_BIT = -8,         /* WAV: not 16 bits per sample, or a "fmt " chunk too short to say */
    PCMTAPER_ERROR_BAD_SAMPLE_RATE = -9,    /* WAV: rate 0, or 2^31 Hz and above */
    PCMTAPER_ERROR_FMT_NOT_FOUND = -10,     /* WAV: no "fmt " within 10 skipped chunks */
    PCMTAPER_ERROR_DATA_NOT_FOUND = -11,    /* WAV: no "data" within 10 skipped chunks */
    PCMTAPER_ERROR_HEADER_INCOMPLETE = -12, /* WAV: the input ends inside the header */
    PCMTAPER_ERROR_READ = -13,              /* the reader reported an error */
    PCMTAPER_ERROR_WRITE = -14,             /* the writer reported an error, or the output buffer is too small */
    PCMTAPER_ERROR_HEADER_NOT_REWRITABLE = -15, /* the input ended early and the writer cannot rewind to correct the header */
    PCMTAPER_ERROR_STOPPED = -16            /* a callback asked to stop (pcmtaper_wav_events.start) */
} pcmtaper_status;

/* A short English text for a status ("out of memory"); never null, static. */
PCMTAPER_API const char *pcmtaper_status_string(pcmtaper_status status);

/* "2.0.0": PCMTAPER_VERSION_STRING of the library actually linked. */
PCMTAPER_API const char *pcmtaper_version_string(void);

/* ---- Versioned structs --------------------------------------------------- */

/* Every struct that crosses this API starts with `size_t struct_size`: its
 * size as the side that made it was built (sizeof), so that later versions
 * add fields at the end without breaking the ABI.
 *   - Structs the caller fills (config, reader, writer, events): the caller
 *     sets struct_size; the library reads only the fields inside it (a
 *     field past it counts as null or its default), and a later version's
 *     fields that this version lacks must be zero (else UNSUPPORTED_CONFIG).
 *   - Structs the caller receives (plan, wav_header, wav_8_bit_header): the
 *     caller sets struct_size; the library writes only that far.
 *   - Structs the library hands to callbacks (block_report, remark): the
 *     library sets struct_size; read a field only when it lies inside it
 *     (PCMTAPER_HAS_FIELD).
 * A struct_size that does not reach the end of the struct's last field in
 * this major version's first release (0 included) is
 * PCMTAPER_ERROR_INVALID_ARGUMENT. */
#define PCMTAPER_HAS_FIELD(pointer, type, field) \
    ((pointer)->struct_size >= offsetof(type, field) + sizeof(((type *)0)->field))

/* ---- Configuration ------------------------------------------------------- */

#define PCMTAPER_FLAG_ZERO_DC 1u /* take the dither's mean off: no DC offset, silence idles at 128 */
#define PCMTAPER_FLAG_ALIGN 2u   /* as many output samples as input samples, no 224-sample delay */
/* For pcmtaper_convert_wav only (a converter accepts and ignores them): */
#define PCMTAPER_FLAG_KEEP_METADATA 4u /* the input's smpl, cue, LIST-INFO and inst chunks go into the output */
#define PCMTAPER_FLAG_SAMPLES_ONLY 8u  /* the samples alone: no header, no pad byte (the caller frames them) */

/* The vector code a converter runs. Every level gives the same bytes. */
typedef enum pcmtaper_kernel_level {
    PCMTAPER_KERNELS_AUTO = -1, /* the fastest the machine has (the default) */
    PCMTAPER_KERNELS_REFERENCE = 0, /* the literal formulas, one value at a time */
    PCMTAPER_KERNELS_SSE2 = 1,
    PCMTAPER_KERNELS_AVX2 = 2,
    PCMTAPER_KERNELS_AVX512VL = 3,
    PCMTAPER_KERNELS_AVX512 = 4,
    PCMTAPER_KERNELS_NEON = 5,
    PCMTAPER_KERNELS_SIMD128 = 6 /* WebAssembly with SIMD128 */
} pcmtaper_kernel_level;

/* Whether this machine and this build can run `level` (AUTO: always 1). */
PCMTAPER_API int pcmtaper_kernel_level_available(pcmtaper_kernel_level level);
/* "reference", "sse2", "avx2", "avx512vl", "avx512", "neon", "simd128"; "auto"; null for
 * a value that is not a level. */
PCMTAPER_API const char *pcmtaper_kernel_level_name(pcmtaper_kernel_level level);
/* The level of a name above, in *level. PCMTAPER_ERROR_INVALID_ARGUMENT for an
 * unknown name (or null pointers). Whether the machine has it is not checked. */
PCMTAPER_API pcmtaper_status pcmtaper_kernel_level_from_name(const char *name, pcmtaper_kernel_level *level);

/* What a converter reports for blocks 0..3 of every 8192 (a block is 32
 * samples): the filter it chose and why, as numbers with their units. The
 * program prints it as five lines (pcmtaper_format_report). */
#define PCMTAPER_REPORT_TAPS 16
#define PCMTAPER_REPORT_BANDS 16
#define PCMTAPER_REPORT_PASSES 22
#define PCMTAPER_REPORT_NO_STEP (-1) /* a fine pass that tried no step */
typedef struct pcmtaper_block_report {
    size_t struct_size;                          /* set by the library */
    uint64_t block_number;                       /* blocks from the start of the stream, from 0 */
    double taps[PCMTAPER_REPORT_TAPS];           /* error-feedback filter, unitless; taps[0] is 1, taps[8..15] are 0 */
    double band_weight[PCMTAPER_REPORT_BANDS];   /* weight of band i (i/32 to (i+1)/32 of the rate) in the search, unitless */
    /* The masking level of band i: -20 log10 band_weight[i], dB (+inf for a
     * weight of 0, NaN for a negative one). */
    double masking_level_db[PCMTAPER_REPORT_BANDS];
    /* The filter's gain at i/32 of the rate, 20 log10 |H|, dB (-inf at a zero). */
    double noise_gain_db[PCMTAPER_REPORT_BANDS];
    int fine_passes;                             /* passes the fine search ran, 1 .. PCMTAPER_REPORT_PASSES */
    /* The smallest and the largest step exponent (0 .. 14: steps of 2^e
     * units) tried in fine pass p; PCMTAPER_REPORT_NO_STEP for a pass that
     * tried none (not run, p >= fine_passes, or one without a direction). */
    int step_lowest[PCMTAPER_REPORT_PASSES];
    int step_highest[PCMTAPER_REPORT_PASSES];
} pcmtaper_block_report;

/* Called from pcmtaper_process / pcmtaper_finish (on the caller's thread)
 * with a report that lives for the call only. */
typedef void (*pcmtaper_report_fn)(void *user, const pcmtaper_block_report *report);

/* Fields may be added at the end in later versions; struct_size tells them
 * apart, and nothing past it is read. A later version's config is taken
 * while the fields this version lacks are zero (else UNSUPPORTED_CONFIG); a
 * smaller struct_size is INVALID_ARGUMENT. Always start from
 * pcmtaper_config_init. */
typedef struct pcmtaper_config {
    size_t struct_size;        /* sizeof(pcmtaper_config); set by pcmtaper_config_init */
    uint32_t sample_rate_hz;   /* 1 .. 2^31 - 1 (taken from the file by the WAV functions) */
    unsigned flags;            /* PCMTAPER_FLAG_* */
    pcmtaper_kernel_level kernel_level; /* PCMTAPER_KERNELS_AUTO by default */
    pcmtaper_report_fn report;          /* null: no reports (and no cost for them) */
    void *report_user;                  /* passed to report */
    /* Threads a converter may use, 1 or more (1: the caller's alone). With
     * more, the analysis, the filter search and the quantiser of the
     * blocks run side by side on worker threads and the caller's; the bytes
     * and the reports are the same for every number. At most 3 are used; only a converter
     * made by pcmtaper_create starts any (pcmtaper_init allocates nothing),
     * and pcmtaper_convert_wav none for a file of fewer than 256 blocks. A
     * block's output then comes up to 24 blocks later in calls (the latency
     * in samples is the same); pcmtaper_finish drains it. */
    unsigned threads;
} pcmtaper_config;

/* Fills *config with the defaults: struct_size, rate 44100 Hz, no flags,
 * automatic kernel level, no report, 1 thread. */
PCMTAPER_API void pcmtaper_config_init(pcmtaper_config *config);

/* ---- Converter ----------------------------------------------------------- */

typedef struct pcmtaper_converter pcmtaper_converter;

/* Allocates and starts a converter for `config` (copied; not used after the
 * call). Statuses: OK, INVALID_ARGUMENT, UNSUPPORTED_CONFIG,
 * LEVEL_UNAVAILABLE, OUT_OF_MEMORY. *converter is null on failure. */
PCMTAPER_API pcmtaper_status pcmtaper_create(const pcmtaper_config *config, pcmtaper_converter **converter);
/* Frees a converter made by pcmtaper_create; for one made by pcmtaper_init
 * it only ends its use (the memory is the caller's). NULL is allowed. */
PCMTAPER_API void pcmtaper_destroy(pcmtaper_converter *converter);

/* For callers that allocate: bytes of memory pcmtaper_init needs for
 * `config` (any alignment), or 0 when the config is invalid. */
PCMTAPER_API size_t pcmtaper_converter_size(const pcmtaper_config *config);
/* Starts a converter in `memory` (size bytes, at least
 * pcmtaper_converter_size). Allocates nothing. The converter lives in that
 * memory until pcmtaper_destroy. Statuses: those of pcmtaper_create, with
 * INVALID_ARGUMENT for memory that is too small. */
PCMTAPER_API pcmtaper_status pcmtaper_init(void *memory, size_t size, const pcmtaper_config *config,
                                           pcmtaper_converter **converter);
/* Starts a new stream with the same config, as if just created. */
PCMTAPER_API pcmtaper_status pcmtaper_reset(pcmtaper_converter *converter);

/* Converts samples. Consumes up to in_frames samples from `in` and writes up
 * to out_capacity bytes (unsigned 8-bit samples) to `out`; *in_used and
 * *out_written say how many. It stops consuming when the output is full:
 * call again with the rest. Output comes a block (32 samples) at a time.
 * in may be null when in_frames is 0, out when out_capacity is 0.
 * Statuses: OK, INVALID_ARGUMENT (null pointers), BAD_STATE (after finish,
 * or after a call that stopped mid-block), STOPPED (the report callback
 * threw; the converter then takes only reset and destroy). */
PCMTAPER_API pcmtaper_status pcmtaper_process(pcmtaper_converter *converter, const int16_t *in, size_t in_frames,
                                              size_t *in_used, uint8_t *out, size_t out_capacity,
                                              size_t *out_written);
/* Ends the input and drains the output: without PCMTAPER_FLAG_ALIGN, the
 * whole blocks (a last partial block is not converted); with it, the tail
 * that makes the output as long as the input. Call again until *out_written
 * is 0; after that, only pcmtaper_reset or pcmtaper_destroy. out_capacity
 * must be at least 1. Statuses: OK, INVALID_ARGUMENT (null pointers, no
 * capacity), and BAD_STATE and STOPPED as for pcmtaper_process. */
PCMTAPER_API pcmtaper_status pcmtaper_finish(pcmtaper_converter *converter, uint8_t *out, size_t out_capacity,
                                             size_t *out_written);

/* Samples by which the output lags the input: 224, or 0 with
 * PCMTAPER_FLAG_ALIGN (whose output still starts a block or more later in
 * calls). 0 for null. */
PCMTAPER_API size_t pcmtaper_latency(const pcmtaper_converter *converter);
#define PCMTAPER_LATENCY_SAMPLES 224 /* pcmtaper_latency without PCMTAPER_FLAG_ALIGN */
/* At least the bytes that process with in_frames more samples and then
 * finish can write together, for sizing buffers. */
PCMTAPER_API size_t pcmtaper_output_bound(const pcmtaper_converter *converter, size_t in_frames);

/* The program's five report lines for *report, each ending in " \r\n"
 * (feedback: taps times 1000; masking and noise: the levels in dB; start and
 * end: the step exponents plus 10, a pass without steps as 42 and 10; every
 * number truncated toward zero), NUL-terminated in `text`. Returns the
 * length the text has (without the NUL), as snprintf does: the text is whole
 * when that is below capacity. PCMTAPER_REPORT_TEXT_MAX always suffices. 0
 * for a null report or one whose struct_size is too small. */
#define PCMTAPER_REPORT_TEXT_MAX 1280
PCMTAPER_API size_t pcmtaper_format_report(const pcmtaper_block_report *report, char *text, size_t capacity);

/* ---- WAV files ----------------------------------------------------------- */

/* Reads up to `capacity` bytes into `buffer` and returns how many; fewer
 * only at the end of the input or on an error, which sets *failed to 1. */
typedef size_t (*pcmtaper_read_fn)(void *user, void *buffer, size_t capacity, int *failed);
/* Writes `count` bytes; returns 0 on success, nonzero on an error. */
typedef int (*pcmtaper_write_fn)(void *user, const void *bytes, size_t count);
/* Positions the output at its first byte to write the header again: returns
 * 0 on success, 1 when the output cannot be rewound (a pipe or a device), -1
 * on an error. */
typedef int (*pcmtaper_rewind_fn)(void *user);
/* Positions the input at byte `offset`, counted from where the reader stood
 * when the conversion began: returns 0 on success, nonzero on an error. */
typedef int (*pcmtaper_seek_fn)(void *user, uint64_t offset);

typedef struct pcmtaper_reader {
    size_t struct_size; /* sizeof(pcmtaper_reader) */
    pcmtaper_read_fn read;
    void *user;
    /* Bytes from the reader's position to the end of the input when known (a
     * regular file), else -1 (a pipe, a device): the input is then read as a
     * stream whose declared data size is an upper bound. */
    int64_t size_bytes;
    /* May be null. With PCMTAPER_FLAG_KEEP_METADATA, an input of known size
     * that can seek has the metadata chunks after its samples read too (where
     * many writers put them); the reader is left at the samples. */
    pcmtaper_seek_fn seek;
} pcmtaper_reader;

typedef struct pcmtaper_writer {
    size_t struct_size; /* sizeof(pcmtaper_writer) */
    pcmtaper_write_fn write;
    pcmtaper_rewind_fn rewind; /* may be null: the output cannot be rewound */
    void *user;
} pcmtaper_writer;

/* What the header walk and the conversion have to say, as data: a code, and
 * the numbers and names that its line shows (pcmtaper_format_remark makes
 * the program's line). */
typedef enum pcmtaper_remark_code {
    PCMTAPER_REMARK_RIFF_ID = 1,      /* an unexpected first id, read as RIFF anyway ("RIFF != ID3\x04"): chunk_* */
    PCMTAPER_REMARK_WAVE_ID = 2,      /* an unexpected form type ("WAVE != AVI "): chunk_* */
    PCMTAPER_REMARK_FMT_SKIPPED = 3,  /* a chunk skipped on the way to "fmt " ("fmt  != LIST"): chunk_* */
    PCMTAPER_REMARK_DATA_SKIPPED = 4, /* a chunk skipped on the way to "data" ("data!=LIST"): chunk_* */
    PCMTAPER_REMARK_REFUSAL = 5,      /* the refusal of the input: status ("This is not a 16bit sound.") */
    PCMTAPER_REMARK_DATA_SHORT = 6,   /* the data chunk claims more bytes than the input holds: data_bytes_* */
    PCMTAPER_REMARK_SIZE_WRAPPED = 7, /* the input holds 4 GiB or more beyond the data chunk's 32-bit size: data_bytes_* */
    PCMTAPER_REMARK_INPUT_ENDED = 8,  /* the input ended early: blocks_read of blocks_declared */
    PCMTAPER_REMARK_HEADER_NOT_REWRITABLE = 9, /* the output header states more samples than were written */
    PCMTAPER_REMARK_READ_ERROR = 10,  /* the input cannot be read */
    PCMTAPER_REMARK_WRITE_ERROR = 11, /* the output cannot be written */
    /* Metadata chunks (PCMTAPER_FLAG_KEEP_METADATA), each with chunk_*: */
    PCMTAPER_REMARK_METADATA_DUPLICATE = 12, /* a second chunk of a kind, left out (the first is kept) */
    PCMTAPER_REMARK_METADATA_CLAMPED = 13,   /* positions_clamped positions past the last output sample set to it */
    PCMTAPER_REMARK_METADATA_MALFORMED = 14, /* a malformed chunk, left out */
    PCMTAPER_REMARK_METADATA_TOO_LARGE = 15, /* a chunk of chunk_bytes bytes, too large to keep, left out */
    PCMTAPER_REMARK_METADATA_CUT_OFF = 16    /* a chunk cut off by the end of the input, left out */
} pcmtaper_remark_code;

#define PCMTAPER_CHUNK_NAME_MAX 20
typedef struct pcmtaper_remark {
    size_t struct_size;        /* set by the library */
    pcmtaper_remark_code code;
    /* REFUSAL: why (NOT_LINEAR_PCM, NOT_MONO, NOT_16_BIT, BAD_SAMPLE_RATE,
     * FMT_NOT_FOUND, DATA_NOT_FOUND, HEADER_INCOMPLETE); READ_ERROR: READ;
     * WRITE_ERROR: WRITE; HEADER_NOT_REWRITABLE: HEADER_NOT_REWRITABLE; else OK. */
    pcmtaper_status status;
    char chunk_id[4];          /* the chunk's id as read (bytes, not a string); zeros without a chunk */
    /* The chunk as the line shows it, NUL-terminated: the id up to its first
     * zero byte, with bytes that are not printable ASCII as \xNN ("ID3\x04");
     * a metadata chunk by its kind ("smpl", "cue", "LIST", "LIST INFO" once
     * its type was read, "inst"). Empty without a chunk. */
    char chunk_name[PCMTAPER_CHUNK_NAME_MAX];
    uint64_t data_bytes_claimed; /* DATA_SHORT, SIZE_WRAPPED: the data chunk's size */
    uint64_t data_bytes_held;    /* DATA_SHORT, SIZE_WRAPPED: the bytes the input holds after the header */
    uint64_t blocks_read;        /* INPUT_ENDED: whole 32-sample blocks read (the program's "frames") */
    uint64_t blocks_declared;    /* INPUT_ENDED: the blocks the data chunk declares */
    uint64_t chunk_bytes;        /* METADATA_TOO_LARGE: the chunk's size */
    uint64_t positions_clamped;  /* METADATA_CLAMPED: loop and cue positions moved to the last output sample */
} pcmtaper_remark;

/* The program's line for *remark, "\r\n" included, NUL-terminated in
 * `text`; returns its length as pcmtaper_format_report does.
 * PCMTAPER_REMARK_TEXT_MAX always suffices. 0 for a null remark, one whose
 * struct_size is too small, or a code this version does not know. */
#define PCMTAPER_REMARK_TEXT_MAX 160
PCMTAPER_API size_t pcmtaper_format_remark(const pcmtaper_remark *remark, char *text, size_t capacity);

/* The input header as far as it was read. */
typedef struct pcmtaper_wav_header {
    size_t struct_size;        /* sizeof(pcmtaper_wav_header), set by the caller */
    uint64_t data_size_bytes;  /* the "data" chunk's size (an RF64 file's 64-bit one when its field is 0xFFFFFFFF) */
    uint64_t header_bytes;     /* bytes read, up to the first sample byte */
    uint32_t sample_rate_hz;   /* as stored in "fmt " */
    int data_size_from_ds64;   /* 1 when data_size_bytes came from "ds64" */
    int rf64;                  /* 1 when the file starts with "RF64" or "BW64" */
    uint32_t remark_count;     /* remarks made (each handed to events->remark) */
} pcmtaper_wav_header;

/* The output header for `samples` 8-bit samples at `sample_rate_hz` in
 * `bytes` (PCMTAPER_WAV_HEADER_MAX bytes): 44 bytes of RIFF, or 80 of RF64
 * when the 32-bit sizes cannot state it. Returns its length. An odd sample
 * count is followed by one pad byte after the data, which the sizes count. */
#define PCMTAPER_WAV_HEADER_MAX 80
PCMTAPER_API size_t pcmtaper_wav_output_header(uint64_t samples, uint32_t sample_rate_hz,
                                               uint8_t bytes[PCMTAPER_WAV_HEADER_MAX]);
/* What the start of an 8-bit mono PCM WAV file says. */
typedef struct pcmtaper_wav_8_bit_header {
    size_t struct_size;      /* sizeof(pcmtaper_wav_8_bit_header), set by the caller */
    uint64_t samples;        /* the data chunk's size, one byte per sample (an RF64 file's from "ds64") */
    uint32_t sample_rate_hz; /* as stored in "fmt " */
    int samples_known;       /* 1 when the bytes given reach the data chunk's size; else samples is 0 */
} pcmtaper_wav_8_bit_header;

/* Whether bytes[0..length) (the start of a file) are the header of an 8-bit
 * mono PCM WAV file, that is, of what this library writes (RIFF, RF64 or
 * BW64, by the header walk's own chunk rules): *is_8_bit is 1 or 0. When 1
 * and `header` is not null, *header holds its rate and, when the bytes reach
 * it, its sample count (the chunks that pcmtaper_convert_wav may put before
 * "data" are walked over). Statuses: OK, INVALID_ARGUMENT (a null is_8_bit,
 * null bytes with a length, a header's struct_size too small). */
PCMTAPER_API pcmtaper_status pcmtaper_wav_is_8_bit(const uint8_t *bytes, size_t length, int *is_8_bit,
                                                   pcmtaper_wav_8_bit_header *header);

/* What pcmtaper_convert_wav found and did: handed to events->start, and
 * written to the caller's plan when the call returns (as far as it got). */
typedef struct pcmtaper_wav_plan {
    size_t struct_size;         /* the caller's: sizeof(pcmtaper_wav_plan); the library's in events->start */
    uint32_t sample_rate_hz;
    uint64_t blocks;            /* 32-sample blocks to convert: the program's FRAMES NUM */
    uint64_t output_samples;    /* samples the output header states at first */
    uint64_t samples_written;   /* samples written after the header, at the end */
    size_t header_len;          /* 44 (RIFF) or 80 (RF64), plus the kept metadata chunks; 0 with PCMTAPER_FLAG_SAMPLES_ONLY */
    uint64_t samples_read;      /* input samples read, at the end; a partial last block included */
    uint64_t audible_end;       /* one past the last sample read that is 256 or more from 0 (one 8-bit step) */
} pcmtaper_wav_plan;

/* Optional callbacks of a whole-file conversion; any may be null. All are
 * called on the caller's thread, during the call. The text the program
 * prints is made from them: the remarks (pcmtaper_format_remark), the counts
 * from the plan in start, and the reports from config->report
 * (pcmtaper_format_report). */
typedef struct pcmtaper_wav_events {
    size_t struct_size; /* sizeof(pcmtaper_wav_events) */
    void *user;
    /* Each remark, in order. */
    void (*remark)(void *user, const pcmtaper_remark *remark);
    /* The header is accepted and the converter made: called once before the
     * first byte is written (open the output here). Nonzero stops the
     * conversion with PCMTAPER_ERROR_STOPPED, having written nothing. */
    int (*start)(void *user, const pcmtaper_wav_plan *plan);
    /* After each block: blocks done of plan->blocks. */
    void (*progress)(void *user, uint64_t blocks_done, uint64_t blocks_total);
    /* While an unexpected chunk of the header is skipped (read through, as
     * from a pipe): its id as the remarks show it, and how far it has got. */
    void (*skip_progress)(void *user, const char *chunk_id, uint64_t bytes_skipped, uint64_t chunk_bytes);
} pcmtaper_wav_events;

/* Walks the header of a 16-bit mono PCM WAV file (RIFF, RF64 or BW64) from
 * the reader's position, leaving it at the first sample byte. Its remarks go
 * to events->remark, its skipped chunks to events->skip_progress (`events`
 * may be null). On any status but OK only header->remark_count is
 * meaningful. Statuses: OK, INVALID_ARGUMENT, UNSUPPORTED_CONFIG (a reader
 * or events with fields this version lacks), NOT_LINEAR_PCM, NOT_MONO,
 * NOT_16_BIT, BAD_SAMPLE_RATE, FMT_NOT_FOUND, DATA_NOT_FOUND,
 * HEADER_INCOMPLETE, READ. */
PCMTAPER_API pcmtaper_status pcmtaper_wav_read_header(const pcmtaper_reader *reader, pcmtaper_wav_header *header,
                                                      const pcmtaper_wav_events *events);

/* Converts a whole 16-bit mono PCM WAV file from `reader` into an 8-bit WAV
 * file on `writer`, exactly as the program does: header, samples, the RIFF
 * pad byte, and the header written again (through writer->rewind) when a
 * stream ended before its declared size. config->sample_rate_hz is ignored
 * (the file's rate is used); its flags, kernel level and report apply.
 * PCMTAPER_FLAG_KEEP_METADATA: the first "smpl" (loops), "cue " (cue
 * points), "LIST" of type "INFO" (tags) and "inst" (instrument) chunk met
 * before the samples (and after them, when the reader can seek) go between
 * "fmt " and "data", each as read; their sample positions (loop starts and
 * ends, cue positions and sample offsets) are moved by pcmtaper_latency, and
 * one past the last output sample is set to it, with a remark. A malformed
 * chunk is left out with a remark; a read or seek that fails on the chunks
 * after the samples fails the conversion (READ), as in the samples.
 * PCMTAPER_FLAG_SAMPLES_ONLY: only the converted samples are written (what
 * follows "data" without the pad byte), the header is not written again and
 * the writer is never rewound; the caller frames them (plan->samples_written
 * says how many came).
 * `events` and `plan` may be null. Statuses: OK, INVALID_ARGUMENT,
 * UNSUPPORTED_CONFIG (a config, reader, writer or events with fields this
 * version lacks), LEVEL_UNAVAILABLE, OUT_OF_MEMORY, those of
 * pcmtaper_wav_read_header, WRITE, HEADER_NOT_REWRITABLE, STOPPED. On a
 * failure after start, what was written is incomplete: discard it. */
PCMTAPER_API pcmtaper_status pcmtaper_convert_wav(const pcmtaper_reader *reader, const pcmtaper_writer *writer,
                                                  const pcmtaper_config *config, const pcmtaper_wav_events *events,
                                                  pcmtaper_wav_plan *plan);

/* At least the bytes of the output WAV file for an input WAV file of
 * input_bytes bytes converted with `flags` (PCMTAPER_FLAG_*). */
PCMTAPER_API size_t pcmtaper_wav_output_bound(size_t input_bytes, unsigned flags);

/* pcmtaper_convert_wav from memory to memory: the input file is
 * input[0..input_size), the output file goes to out (out_capacity bytes,
 * pcmtaper_wav_output_bound(input_size, config->flags) always suffices) and its length to
 * *out_size. A too small buffer is PCMTAPER_ERROR_WRITE. */
PCMTAPER_API pcmtaper_status pcmtaper_convert_wav_memory(const void *input, size_t input_size,
                                                         const pcmtaper_config *config,
                                                         const pcmtaper_wav_events *events, void *out,
                                                         size_t out_capacity, size_t *out_size);

#ifdef __cplusplus
}
#endif

#endif /* PCMTAPER_PCMTAPER_H */
