#!/usr/bin/env bash
# Whole-file speed: builds the program, converts the same long input at its
# best kernel level and at the reference level (PCMTAPER_KERNELS=reference,
# the literal formulas), in alternating runs on one core, checks that both
# give the same bytes, and prints CPU seconds, real-time factors, their ratio
# and peak memory.
#
# Usage: bench/whole_file.sh [seconds_of_audio=60] [rounds=3] [kind=music] [rate_hz=44100]
# Needs: cmake, g++, GNU time (/usr/bin/time, Debian package "time").
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
rounds=${2:-3}
kind=${3:-music}
rate=${4:-44100}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

build() {  # build DIR EXTRA_CMAKE_ARGS...
    local dir=$1
    shift
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DPCMTAPER_BUILD_TESTS=OFF \
        -DPCMTAPER_BUILD_BENCH=OFF "$@" >/dev/null
    cmake --build "$dir" -j2 --target pcmtaper make_example >/dev/null
}
build build-bench

input="$work/input.wav"
build-bench/make_example "$kind" "$rate" "$seconds" "$input"

pin=()
if command -v taskset >/dev/null; then pin=(taskset -c 0); fi

# run NAME LEVEL: one conversion; appends "cpu_seconds peak_kib" to $work/NAME.times
# (each in a folder of its own, so that both print the same output name)
program=$(pwd)/build-bench/pcmtaper
run() {
    local name=$1 level=$2
    local chosen=(-u PCMTAPER_KERNELS)
    if [ -n "$level" ]; then chosen=("PCMTAPER_KERNELS=$level"); fi
    mkdir -p "$work/$name"
    (cd "$work/$name" && env "${chosen[@]}" /usr/bin/time -f "%U %S %M" -o "$work/time.txt" \
        "${pin[@]}" "$program" "$input" out.wav >stdout.txt)
    awk '{ printf "%.3f %d\n", $1 + $2, $3 }' "$work/time.txt" >>"$work/$name.times"
}

for ((r = 1; r <= rounds; ++r)); do
    run fast ""
    run reference reference
done

cmp -s "$work/fast/out.wav" "$work/reference/out.wav" || { echo "OUTPUT DIFFERS between the best level and the reference" >&2; exit 1; }
cmp -s "$work/fast/stdout.txt" "$work/reference/stdout.txt" || { echo "STANDARD OUTPUT DIFFERS between the best level and the reference" >&2; exit 1; }

best() { sort -n "$work/$1.times" | head -1 | cut -d' ' -f1; }
peak() { sort -n -k2 "$work/$1.times" | tail -1 | cut -d' ' -f2; }
fast=$(best fast)
reference=$(best reference)
echo "input: $seconds s of $kind at $rate Hz, $rounds alternating rounds, best CPU time of each"
echo "fast:  CPU runs $(cut -d' ' -f1 "$work/fast.times" | tr '\n' ' ')s"
echo "reference: CPU runs $(cut -d' ' -f1 "$work/reference.times" | tr '\n' ' ')s"
awk -v f="$fast" -v p="$reference" -v s="$seconds" -v mf="$(peak fast)" -v mp="$(peak reference)" 'BEGIN {
    printf "fast:  %.3f s CPU, %.0fx real time, peak memory %.1f MiB\n", f, s / f, mf / 1024
    printf "reference: %.3f s CPU, %.1fx real time, peak memory %.1f MiB\n", p, s / p, mp / 1024
    printf "fast is %.1f times the reference speed; output bytes and standard output identical\n", p / f
}'
