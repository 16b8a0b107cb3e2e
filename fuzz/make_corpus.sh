#!/usr/bin/env bash
# Writes the fuzzers' seed corpus: small valid and odd WAV files, built byte by
# byte here so that the corpus is reproducible and reviewable.
#   fuzz/make_corpus.sh [DIR]     (default: fuzz/corpus beside this script)
# header/ seeds the header walk, conversion/ the whole conversion.
set -euo pipefail
out=${1:-"$(cd "$(dirname "$0")" && pwd)/corpus"}
mkdir -p "$out/header" "$out/conversion"

# Little-endian numbers as raw bytes on standard output.
u16() { printf "\\$(printf '%03o' $(($1 & 255)))\\$(printf '%03o' $((($1 >> 8) & 255)))"; }
u32() { u16 $(($1 & 65535)); u16 $((($1 >> 16) & 65535)); }
# chunk ID BODY_FILE: id, size, body and the pad byte after an odd body.
chunk() {
    local size; size=$(stat -c %s "$2")
    printf '%s' "$1"; u32 "$size"; cat "$2"
    if ((size % 2)); then printf '\0'; fi
}
# fmt_body TAG CHANNELS RATE BITS: the 16 bytes of a PCM "fmt " body.
fmt_body() {
    local align=$(($2 * $4 / 8))
    u16 "$1"; u16 "$2"; u32 "$3"; u32 $(($3 * align & 0xFFFFFFFF)); u16 "$align"; u16 "$4"
}
# riff FILE: wraps the chunks in FILE into RIFF/WAVE.
riff() {
    printf 'RIFF'; u32 $(($(stat -c %s "$1") + 4)); printf 'WAVE'; cat "$1"
}
# samples COUNT STEP: a sawtooth of COUNT 16-bit samples rising by STEP.
samples() {
    local i v=0
    for ((i = 0; i < $1; ++i)); do u16 $((v & 65535)); v=$((v + $2)); done
}

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fmt() { fmt_body "$@" >"$tmp/body"; chunk 'fmt ' "$tmp/body"; }
data() { samples "$1" "$2" >"$tmp/body"; chunk data "$tmp/body"; }
text() { printf '%s' "$2" >"$tmp/body"; chunk "$1" "$tmp/body"; }
# wav: wraps the chunks on standard input into one RIFF/WAVE file.
wav() { cat >"$tmp/chunks"; riff "$tmp/chunks"; }

h=$out/header
{ fmt 1 1 44100 16; data 4 1; } | wav >"$h/canonical.wav"
{ fmt 1 1 22050 16; text LIST 'INFOISFT....'; data 4 1; } | wav >"$h/list-after-fmt.wav"
{ text fact "$(printf 'abcd')"; fmt 1 1 8000 16; data 4 1; } | wav >"$h/fact-before-fmt.wav"
{ fmt 1 1 8000 16; data 4 1; } | wav | sed '1s/^RIFF/RIFX/' >"$h/rifx.wav"
{ fmt 3 1 44100 32; data 4 1; } | wav >"$h/float.wav"
{ fmt_body 65534 1 44100 16 >"$tmp/b"; u16 22 >>"$tmp/b"; head -c 22 /dev/zero >>"$tmp/b"
  chunk 'fmt ' "$tmp/b"; data 4 1; } | wav >"$h/extensible.wav"
{ fmt 1 2 44100 16; data 4 1; } | wav >"$h/stereo.wav"
{ fmt 1 1 44100 8; data 4 1; } | wav >"$h/8-bit.wav"
{ fmt_body 1 1 8000 16 >"$tmp/b"; u16 0 >>"$tmp/b"; chunk 'fmt ' "$tmp/b"; data 4 1; } | wav >"$h/fmt-18.wav"
{ text bext abc; fmt 1 1 8000 16; data 4 1; } | wav >"$h/odd-padded.wav"
{ printf 'bext'; u32 3; printf 'abc'; fmt 1 1 8000 16; data 4 1; } | wav >"$h/odd-unpadded.wav"
{ for i in 1 2 3 4; do text JUNK ab; done; fmt 1 1 8000 16
  for i in 1 2 3 4 5; do text JUNK ab; done; data 4 1; } | wav >"$h/nine-skipped.wav"
{ data 4 1; fmt 1 1 8000 16; data 4 1; } | wav >"$h/data-before-fmt.wav"
{ fmt 1 1 0 16; data 4 1; } | wav >"$h/rate-0.wav"
{ fmt 1 1 2147483648 16; data 4 1; } | wav >"$h/rate-2-31.wav"
{ printf 'JUNK'; u32 4294967295; printf 'abc'; } | wav >"$h/huge-chunk.wav"
{ fmt 1 1 8000 16; } | wav | head -c 30 >"$h/cut-in-fmt.wav"

c=$out/conversion
{ fmt 1 1 8000 16; data 320 97; } | wav >"$c/sawtooth.wav"
{ fmt 1 1 44100 16; text LIST 'INFOIART.x.'; data 300 4099; } | wav >"$c/list-odd-tail.wav"
{ fmt 1 1 1 16; data 256 32767; } | wav >"$c/rate-1.wav"
{ fmt 1 1 2147483647 16; data 256 12345; } | wav >"$c/rate-max.wav"
{ fmt 1 1 48000 16; printf 'data'; u32 4294967295; samples 300 513; } | wav >"$c/placeholder-size.wav"
{ fmt 1 1 22050 16; printf 'data'; u32 6464; samples 250 -777; } | wav >"$c/cut-off.wav"
{ fmt 1 1 16000 16; printf 'data'; u32 65; samples 32 32767; printf '\177'; } | wav >"$c/odd-last-byte.wav"
{ fmt 1 1 11025 16; data 31 5; } | wav >"$c/no-whole-block.wav"
# Other sample types and channel counts (the sawtooth's bytes read as such).
{ fmt 1 2 22050 16; data 320 211; } | wav >"$c/stereo.wav"
{ fmt 1 1 8000 24; data 192 1031; } | wav >"$c/24-bit.wav"
{ fmt 3 1 11025 32; data 256 4097; } | wav >"$c/float.wav"
