#!/usr/bin/env bash
# Writes the real-tool fixtures of tests/test_real_files.cpp: small WAV files
# as sox and ffmpeg write them, with their own choice of chunks. Not run by CI:
# the files are committed, so the tests need neither tool. Rerun by hand
# (apt-get install sox ffmpeg) to refresh them; ffmpeg.wav names the ffmpeg
# version in its LIST chunk, so its size may change with another version.
#
#   tests/data/make_fixtures.sh [DIR]    (default: the directory of this script)
set -euo pipefail
out=${1:-"$(cd "$(dirname "$0")" && pwd)"}
cd "$out"

# Every file holds a 440 Hz sine at 8000 Hz: 0.25 s (2000 samples, 62 blocks)
# for the files that convert, less for the refused ones. sox without dither
# (-D), ffmpeg with -bitexact where its version string is not the point, so
# that the files come out the same every time.
sine() { echo "sine=frequency=440:sample_rate=${1:-8000}:duration=${2:-0.25}"; }
ff() { ffmpeg -v error -y -f lavfi -i "$@"; }

# ---- converted -------------------------------------------------------------
# sox's own 16-bit mono file: the canonical 44-byte header.
sox -D -n -r 8000 -b 16 -c 1 sox.wav synth 0.25 sine 440
# sox writing into a pipe cannot go back to fix the sizes: a data size of
# 0x7FFFF000 stands in for the unknown length.
sox -D -n -r 8000 -b 16 -c 1 -t raw - synth 0.25 sine 440 |
    sox -D -t raw -r 8000 -b 16 -c 1 -e signed - -t wav - 2>/dev/null | cat >sox-stream.wav
# ffmpeg's default: a LIST/INFO chunk (ISFT, its version) between "fmt " and "data".
ff "$(sine)" -c:a pcm_s16le ffmpeg.wav
# Broadcast WAV: a bext chunk, and a LIST/INFO chunk with a title.
ff "$(sine)" -c:a pcm_s16le -bitexact -write_bext 1 -metadata title=pcmtaper ffmpeg-bext.wav
# -rf64 auto: a JUNK chunk before "fmt ", kept free for an RF64 ds64 chunk.
ff "$(sine)" -c:a pcm_s16le -bitexact -rf64 auto ffmpeg-rf64-auto.wav
# -rf64 always: an RF64 file, its 32-bit sizes 0xFFFFFFFF and the real ones in ds64.
ff "$(sine)" -c:a pcm_s16le -bitexact -rf64 always ffmpeg-rf64.wav
# ffmpeg writing into a pipe: RIFF and data sizes 0xFFFFFFFF.
ff "$(sine)" -c:a pcm_s16le -bitexact -f wav pipe:1 | cat >ffmpeg-pipe.wav

# Mono 16-bit above 48 kHz: ffmpeg writes WAVE_FORMAT_EXTENSIBLE (tag 65534)
# with the PCM sub-format; converted like the canonical file of its samples.
ff "$(sine 96000 0.01)" -c:a pcm_s16le -bitexact ffmpeg-96k-extensible.wav

# ---- refused ---------------------------------------------------------------
# sox writes more than 16 bits as WAVE_FORMAT_EXTENSIBLE, with a fact chunk...
sox -D -n -r 8000 -b 24 -c 1 sox-24bit-extensible.wav synth 0.05 sine 440
# ...and as plain PCM (tag 1) with -t wavpcm.
sox -D -n -r 8000 -b 24 -c 1 -t wavpcm sox-24bit-wavpcm.wav synth 0.05 sine 440
sox -D -n -r 8000 -b 8 -c 1 sox-8bit.wav synth 0.05 sine 440
# A-law: an 18-byte "fmt " chunk with tag 6, and a fact chunk.
sox -D -n -r 8000 -e a-law -c 1 sox-alaw.wav synth 0.05 sine 440
ff "$(sine 8000 0.05)" -ac 2 -c:a pcm_s16le -bitexact ffmpeg-stereo.wav
ff "$(sine 8000 0.05)" -c:a pcm_f32le -bitexact ffmpeg-float.wav
