#!/usr/bin/env bash
# The whole job, side by side: a stereo 24-bit 48000 Hz file to 8-bit mono at
# 11025 Hz, three ways, on one core, in alternating rounds; prints the best
# CPU time (user + system) of each and the ratios.
#   pcmtaper:  pcmtaper -c mix -r 11025 in.wav out.wav (mix, resample, shape: one pass)
#   sox:       sox in.wav -b 8 out.wav remix 1,2 rate -h 11025 dither
#              (SoX's plain dither)
#   chain:     sox to a 16-bit mono file at 11025 Hz, then pcmtaper on it
# The input is the example generator's music made stereo and 24-bit by SoX
# (the two channels at different levels, so the mix is not a copy).
#
# Usage: bench/whole_job.sh [seconds_of_audio=60] [rounds=3]
# Needs: cmake, g++, sox (Debian's; for the benchmark only).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
rounds=${2:-3}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DPCMTAPER_BUILD_TESTS=OFF -DPCMTAPER_BUILD_BENCH=OFF >/dev/null
cmake --build build-bench -j2 --target pcmtaper make_example >/dev/null
program=$(pwd)/build-bench/pcmtaper

build-bench/make_example music 48000 "$seconds" "$work/mono.wav"
sox "$work/mono.wav" -b 24 -c 2 "$work/in.wav" remix 1v0.9 1v0.6

pin=()
if command -v taskset >/dev/null; then pin=(taskset -c 0); fi

# run NAME COMMAND...: one run in $work/NAME; appends its CPU seconds to $work/NAME.times
run() {
    local name=$1
    shift
    mkdir -p "$work/$name"
    rm -f "$work/$name"/*.wav
    local TIMEFORMAT="%3U %3S"
    { time (cd "$work/$name" && "$@" >/dev/null 2>&1); } 2>"$work/cpu.txt"
    awk '{ printf "%.3f\n", $1 + $2 }' "$work/cpu.txt" >>"$work/$name.times"
}

for ((r = 1; r <= rounds; ++r)); do
    run pcmtaper "${pin[@]}" "$program" -q -c mix -r 11025 ../in.wav out.wav
    run sox "${pin[@]}" sox ../in.wav -b 8 out.wav remix 1,2 rate -h 11025 dither
    run chain sh -c "${pin[*]} sox ../in.wav -b 16 mid.wav remix 1,2 rate -h 11025 dither &&
                     ${pin[*]} '$program' -q mid.wav out.wav"
done

best() { sort -n "$work/$1.times" | head -1; }
echo "input: $seconds s of music, stereo 24-bit 48000 Hz; output 8-bit mono 11025 Hz; best of $rounds rounds"
for name in pcmtaper sox chain; do
    printf "%-9s CPU runs %s s\n" "$name" "$(tr '\n' ' ' <"$work/$name.times")"
done
awk -v p="$(best pcmtaper)" -v s="$(best sox)" -v c="$(best chain)" 'BEGIN {
    printf "pcmtaper %.3f s, sox %.3f s, chain %.3f s\n", p, s, c
    printf "pcmtaper / sox = %.2f (the aim: at most 2.5); chain / pcmtaper = %.2f (the aim: above 1)\n", p / s, c / p
}'
