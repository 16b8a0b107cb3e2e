/* libpcmtaper: PCM in (8 to 32-bit integers or floats, 1 to 64 channels, any
 * rate), mono unsigned 8-bit PCM out at the rate asked for, with an
 * error-feedback filter re-optimised every 32 samples against a masking
 * estimate of the signal.
 *
 * Plain C (C99 and C++). Every name starts with pcmtaper_ or PCMTAPER_.
 *
 * Two ways in:
 *   - streaming: pcmtaper_create (or pcmtaper_converter_size + pcmtaper_init
 *     over memory of your own), pcmtaper_process_frames (or, for 16-bit
 *     input, pcmtaper_process) as often as you like,
 *     pcmtaper_finish until it writes 0 bytes, pcmtaper_destroy;
 *   - whole WAV files: pcmtaper_convert_wav (reader and writer callbacks) or
 *     pcmtaper_convert_wav_memory (buffers), which read the header, write the
 *     output WAV file and hand over, as data, everything the command-line
 *     program says (its lines come from the pcmtaper_format_* helpers).
 *
 * Determinism: the output bytes depend only on the samples, the config's
 * description of them (rates, type, channels, gain) and the flags; not on the platform, the kernel level, the number of
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
 * the same bytes), the streaming calls of a converter that resamples (the
 * filter's buffers grow to a size set by the two rates in its first calls)
 * and the pcmtaper_convert_wav functions (out of memory is
 * PCMTAPER_ERROR_OUT_OF_MEMORY).
 */
#ifndef PCMTAPER_PCMTAPER_H
#define PCMTAPER_PCMTAPER_H

#include <stddef.h>
#include <stdint.h>

/* The version, written here and nowhere else (the build reads it from here). */
#define PCMTAPER_VERSION_MAJOR 2
#define PCMTAPER_VERSION_MINOR 1
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
    PCMTAPER_ERROR_NOT_LINEAR_PCM = -6,     /* WAV: format tag neither PCM (1), IEEE float (3) nor extensible with those */
    PCMTAPER_ERROR_NOT_MONO = -7,           /* WAV: more than one channel and no channel choice (or more than 64) */
    /* WAV: a sample size this library does not read (PCM: 8, 16, 24, 32 bits;
     * float: 32, 64; valid bits within them), or a "fmt " chunk too short to
     * say. The name is that of 2.0, which read 16 bits only. */
    PCMTAPER_ERROR_NOT_16_BIT = -8,
    PCMTAPER_ERROR_BAD_SAMPLE_RATE = -9,    /* WAV: rate 0, or 2^31 Hz and above */
    PCMTAPER_ERROR_FMT_NOT_FOUND = -10,     /* WAV: no "fmt " within 10 skipped chunks */
    PCMTAPER_ERROR_DATA_NOT_FOUND = -11,    /* WAV: no "data" within 10 skipped chunks */
    PCMTAPER_ERROR_HEADER_INCOMPLETE = -12, /* WAV: the input ends inside the header */
    PCMTAPER_ERROR_READ = -13,              /* the reader reported an error */
    PCMTAPER_ERROR_WRITE = -14,             /* the writer reported an error, or the output buffer is too small */
    PCMTAPER_ERROR_HEADER_NOT_REWRITABLE = -15, /* the input ended early and the writer cannot rewind to correct the header */
    PCMTAPER_ERROR_STOPPED = -16,           /* a callback asked to stop (pcmtaper_wav_events.start) */
    /* Since 2.1: */
    PCMTAPER_ERROR_NOT_SEEKABLE = -17,      /* PCMTAPER_FLAG_NORMALIZE with a reader of unknown size or without seek */
    PCMTAPER_ERROR_ALLOCATION_NEEDED = -18  /* pcmtaper_init of a config that resamples: use pcmtaper_create */
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
/* Since 2.1, for pcmtaper_convert_wav only: the peak after the channel
 * choice, the gain and the resampler set to PCMTAPER_NORMALIZE_PEAK of full
 * scale (the samples are read twice: a reader of known size with seek). */
#define PCMTAPER_FLAG_NORMALIZE 16u

/* Since 2.1: the sample types of pcmtaper_process_frames and of WAV files.
 * Little-endian in memory (the byte order of every platform this library
 * builds for), interleaved by frame. Every type enters the filter exactly,
 * with the same full scale: a signed integer s of b bits as s / 2^b, an
 * unsigned 8-bit u as (u - 128) / 256, a float f as f / 2 (so 1.0 is full
 * scale). A float NaN counts as 0; a float beyond full scale (infinities
 * too), and any sample the gain takes beyond it, is clipped to full scale
 * and counted (pcmtaper_input_stats). */
typedef enum pcmtaper_sample_type {
    PCMTAPER_SAMPLE_S16 = 0, /* signed 16-bit (the default) */
    PCMTAPER_SAMPLE_U8 = 1,  /* unsigned 8-bit, 128 is zero */
    PCMTAPER_SAMPLE_S24 = 2, /* signed 24-bit packed in 3 bytes */
    PCMTAPER_SAMPLE_S32 = 3, /* signed 32-bit */
    PCMTAPER_SAMPLE_F32 = 4, /* IEEE binary32 */
    PCMTAPER_SAMPLE_F64 = 5  /* IEEE binary64 */
} pcmtaper_sample_type;

/* pcmtaper_config.channel: */
#define PCMTAPER_CHANNEL_ONLY 0 /* a mono input (the default); more channels are refused (NOT_MONO, INVALID_ARGUMENT) */
#define PCMTAPER_CHANNEL_MIX (-1) /* the mean of all channels, summed exactly and rounded once */
/* 1 .. input_channels: that channel alone. */
#define PCMTAPER_MAX_CHANNELS 64
#define PCMTAPER_MIN_OUTPUT_RATE_HZ 1000
#define PCMTAPER_MAX_OUTPUT_RATE_HZ 384000
/* PCMTAPER_FLAG_NORMALIZE's peak, as a fraction of full scale: 29/32 (-0.85
 * dB), room for the shaped error of loud passages before the 8-bit clamp
 * (the measurement: doc/quality.md). */
#define PCMTAPER_NORMALIZE_PEAK 0.90625

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

    /* Since 2.1: the input (a config of 2.0 has the defaults). The order of
     * the stages is: decode, channel choice, gain, resample, shape. (gain_db
     * comes first: it starts past 2.0's tail padding, which a 2.0 caller's
     * struct_size covers but never set.) */
    double gain_db;           /* applied as the factor 10^(gain_db / 20), correctly rounded; 0 by default */
    pcmtaper_sample_type input_type; /* PCMTAPER_SAMPLE_S16 by default (taken from the file by the WAV functions) */
    /* Significant bits of an integer type, counted from the top; the bits
     * below are padding, read as 0 (a 20-bit sample in 24 bits has 20). 0:
     * the whole type (the default). Taken from the file by the WAV functions. */
    unsigned input_valid_bits;
    unsigned input_channels;  /* interleaved channels, 1 .. PCMTAPER_MAX_CHANNELS; 1 by default (from the file likewise) */
    int channel;              /* PCMTAPER_CHANNEL_ONLY (the default), PCMTAPER_CHANNEL_MIX or 1 .. input_channels */
    /* The output's rate: the input (sample_rate_hz) is resampled to it.
     * PCMTAPER_MIN_OUTPUT_RATE_HZ .. PCMTAPER_MAX_OUTPUT_RATE_HZ, or 0 for
     * the input's own rate (the default; no resampling). */
    uint32_t output_rate_hz;
} pcmtaper_config;

/* Fills *config with the defaults: struct_size, rate 44100 Hz, no flags,
 * automatic kernel level, no report, 1 thread; 16-bit mono input, no gain,
 * the input's rate out. */
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
 * `config` (any alignment), or 0 when the config is invalid (a valid config
 * that resamples has a size too, which pcmtaper_init refuses). */
PCMTAPER_API size_t pcmtaper_converter_size(const pcmtaper_config *config);
/* Starts a converter in `memory` (size bytes, at least
 * pcmtaper_converter_size). Allocates nothing. The converter lives in that
 * memory until pcmtaper_destroy. Statuses: those of pcmtaper_create, with
 * INVALID_ARGUMENT for memory that is too small and ALLOCATION_NEEDED for a
 * config that resamples (output_rate_hz neither 0 nor sample_rate_hz), whose
 * filter needs memory of its own. */
PCMTAPER_API pcmtaper_status pcmtaper_init(void *memory, size_t size, const pcmtaper_config *config,
                                           pcmtaper_converter **converter);
/* Starts a new stream with the same config, as if just created. */
PCMTAPER_API pcmtaper_status pcmtaper_reset(pcmtaper_converter *converter);

/* Converts samples. For a config of 16-bit input only (any channel count:
 * in_frames frames of input_channels samples; another type is
 * INVALID_ARGUMENT); pcmtaper_process_frames takes every type. Consumes up to in_frames samples from `in` and writes up
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
/* Since 2.1: pcmtaper_process for interleaved frames of the config's
 * input_type and input_channels (in_frames * channels * the type's bytes
 * bytes at `frames`, any alignment). With resampling the output comes at
 * output_rate_hz, and may come some calls after the input that makes it;
 * it stops consuming when the output is full, as pcmtaper_process does
 * (the resampler's output waits in the converter, a chunk of input at a
 * time). Statuses: those of pcmtaper_process, and OUT_OF_MEMORY with
 * resampling (the converter then takes only reset and destroy). */
PCMTAPER_API pcmtaper_status pcmtaper_process_frames(pcmtaper_converter *converter, const void *frames,
                                                     size_t in_frames, size_t *frames_used, uint8_t *out,
                                                     size_t out_capacity, size_t *out_written);

/* Since 2.1: what the input stage clipped so far in this stream. */
typedef struct pcmtaper_input_stats {
    size_t struct_size;       /* sizeof(pcmtaper_input_stats), set by the caller */
    /* Samples set to full scale: input frames after the channel choice and
     * the gain, and output samples of the resampler (whose filter can carry
     * a full-scale input past full scale). */
    uint64_t clipped_samples;
    /* The largest magnitude before clipping, at either place, as a fraction
     * of full scale (1.0 is full scale; +inf once an infinity was read). */
    double peak;
} pcmtaper_input_stats;
/* Since the stream began (pcmtaper_create, pcmtaper_init or pcmtaper_reset).
 * Statuses: OK, INVALID_ARGUMENT. */
PCMTAPER_API pcmtaper_status pcmtaper_get_input_stats(const pcmtaper_converter *converter,
                                                      pcmtaper_input_stats *stats);

/* Ends the input and drains the output: without PCMTAPER_FLAG_ALIGN, the
 * whole blocks (a last partial block is not converted); with it, the tail
 * that makes the output as long as the input (with resampling,
 * round(frames * output_rate_hz / sample_rate_hz) samples). Call again until *out_written
 * is 0; after that, only pcmtaper_reset or pcmtaper_destroy. out_capacity
 * must be at least 1. Statuses: OK, INVALID_ARGUMENT (null pointers, no
 * capacity), and BAD_STATE and STOPPED as for pcmtaper_process. */
PCMTAPER_API pcmtaper_status pcmtaper_finish(pcmtaper_converter *converter, uint8_t *out, size_t out_capacity,
                                             size_t *out_written);

/* Output samples by which the output lags the input: 224, or 0 with
 * PCMTAPER_FLAG_ALIGN (whose output still starts a block or more later in
 * calls). The resampler's filter delay is taken off: its output sample 0
 * stands at input sample 0. 0 for null. */
PCMTAPER_API size_t pcmtaper_latency(const pcmtaper_converter *converter);
#define PCMTAPER_LATENCY_SAMPLES 224 /* pcmtaper_latency without PCMTAPER_FLAG_ALIGN */
/* At least the bytes that process with in_frames more frames and then
 * finish can write together, for sizing buffers (resampling counted). */
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
    PCMTAPER_REMARK_METADATA_CUT_OFF = 16,   /* a chunk cut off by the end of the input, left out */
    /* Since 2.1: */
    PCMTAPER_REMARK_CLIPPED = 17             /* samples_clipped samples set to full scale; peak (fraction of full scale) */
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
    /* Since 2.1: */
    uint64_t samples_clipped;    /* CLIPPED: samples set to full scale */
    double peak;                 /* CLIPPED: the largest magnitude before clipping, 1.0 = full scale (+inf: an infinity) */
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
    /* Since 2.1: the samples' format, as "fmt " states it. */
    pcmtaper_sample_type sample_type;
    uint32_t bits_per_sample;  /* the container: 8, 16, 24, 32 or 64 */
    uint32_t valid_bits;       /* significant bits (EXTENSIBLE's field; else bits_per_sample) */
    uint32_t channels;         /* 1 .. PCMTAPER_MAX_CHANNELS */
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
    /* Since 2.1 (sample_rate_hz above is the output's rate): */
    uint32_t input_rate_hz;     /* the file's rate */
    uint64_t input_frames;      /* frames the data chunk declares */
    double normalize_gain_db;   /* PCMTAPER_FLAG_NORMALIZE: the gain applied on top of config->gain_db; else 0 */
    /* The file's channels: also set when a channel choice past them fails
     * the conversion (INVALID_ARGUMENT), for the caller's message. */
    uint32_t input_channels;
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

/* Walks the header of a PCM WAV file (RIFF, RF64 or BW64; format tag 1 with
 * 8, 16, 24 or 32 bits, tag 3 with 32 or 64, EXTENSIBLE with those
 * subformats; 1 to 64 channels) from
 * the reader's position, leaving it at the first sample byte. Its remarks go
 * to events->remark, its skipped chunks to events->skip_progress (`events`
 * may be null). On any status but OK only header->remark_count is
 * meaningful. Statuses: OK, INVALID_ARGUMENT, UNSUPPORTED_CONFIG (a reader
 * or events with fields this version lacks), NOT_LINEAR_PCM, NOT_MONO,
 * NOT_16_BIT, BAD_SAMPLE_RATE, FMT_NOT_FOUND, DATA_NOT_FOUND,
 * HEADER_INCOMPLETE, READ. */
PCMTAPER_API pcmtaper_status pcmtaper_wav_read_header(const pcmtaper_reader *reader, pcmtaper_wav_header *header,
                                                      const pcmtaper_wav_events *events);

/* Converts a whole PCM WAV file from `reader` into an 8-bit mono WAV
 * file on `writer`, exactly as the program does: header, samples, the RIFF
 * pad byte, and the header written again (through writer->rewind) when a
 * stream ended before its declared size. config->sample_rate_hz and the
 * input's type, valid bits and channel count are ignored (the file's are
 * used); its flags, kernel level, report, channel choice (a file of more
 * than one channel is refused with NOT_MONO under PCMTAPER_CHANNEL_ONLY),
 * gain and output rate apply. A clipped sample makes one CLIPPED remark at
 * the end.
 * PCMTAPER_FLAG_KEEP_METADATA: the first "smpl" (loops), "cue " (cue
 * points), "LIST" of type "INFO" (tags) and "inst" (instrument) chunk met
 * before the samples (and after them, when the reader can seek) go between
 * "fmt " and "data", each as read; their sample positions (loop starts and
 * ends, cue positions and sample offsets) are scaled to the output rate
 * (rounded to the nearest, halves up) and moved by pcmtaper_latency, and
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
 * input_bytes bytes converted with `flags` (PCMTAPER_FLAG_*) at the input's
 * own rate (config->output_rate_hz 0 or the file's rate): one output byte
 * per input byte at most, an 8-bit mono input's. A conversion to another
 * rate is bounded by pcmtaper_wav_memory_output_bound alone. */
PCMTAPER_API size_t pcmtaper_wav_output_bound(size_t input_bytes, unsigned flags);

/* Since 2.1: at least the bytes of the output of pcmtaper_convert_wav_memory
 * with the same input and config (any output rate): the header read from
 * input[0..input_size), the frames it holds counted at the output's rate.
 * For an input or a config that the conversion refuses (it then writes
 * nothing), PCMTAPER_WAV_HEADER_MAX. SIZE_MAX when the bound does not fit in
 * a size_t. */
PCMTAPER_API size_t pcmtaper_wav_memory_output_bound(const void *input, size_t input_size,
                                                     const pcmtaper_config *config);

/* pcmtaper_convert_wav from memory to memory: the input file is
 * input[0..input_size), the output file goes to out (out_capacity bytes;
 * pcmtaper_wav_memory_output_bound(input, input_size, config) always
 * suffices, and so does pcmtaper_wav_output_bound(input_size, config->flags)
 * when the output keeps the input's rate) and its length to *out_size. A too
 * small buffer is PCMTAPER_ERROR_WRITE. */
PCMTAPER_API pcmtaper_status pcmtaper_convert_wav_memory(const void *input, size_t input_size,
                                                         const pcmtaper_config *config,
                                                         const pcmtaper_wav_events *events, void *out,
                                                         size_t out_capacity, size_t *out_size);

#ifdef __cplusplus
}
#endif

#endif /* PCMTAPER_PCMTAPER_H */
