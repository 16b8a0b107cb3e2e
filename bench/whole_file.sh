#!/usr/bin/env bash
# Whole-file speed: builds the program, converts the same long input at its
# best kernel level and at the reference level (PCMTAPER_KERNELS=reference,
# the literal formulas), in alternating runs on one core, and prints CPU
# seconds (user + system), real-time factors, their ratio and peak memory.
#
# By default the reference is this program's, with its correctly rounded
# math: both must give the same bytes and standard output. With --libc-math
# the reference is built a second time with the C library's sin, cos, atan,
# pow and log10 (CMake option PCMTAPER_LIBC_MATH_YARDSTICK): the literal
# formulas as a plain transcription would run them, the yardstick of the
# speed; its bytes follow the C library's last bits, so they are compared
# and reported, not required to match.
#
# Usage: bench/whole_file.sh [--libc-math] [seconds_of_audio=60] [rounds=3] [kind=music] [rate_hz=44100]
# Needs: cmake, g++, GNU time (/usr/bin/time, Debian package "time").
set -euo pipefail
cd "$(dirname "$0")/.."

libc_math=false
if [ "${1:-}" = --libc-math ]; then
    libc_math=true
    shift
fi
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
reference_program=$(pwd)/build-bench/pcmtaper
reference_name="reference"
if $libc_math; then
    build build-bench-libc-math -DPCMTAPER_LIBC_MATH_YARDSTICK=ON
    reference_program=$(pwd)/build-bench-libc-math/pcmtaper
    reference_name="reference, C library math"
fi

input="$work/input.wav"
build-bench/make_example "$kind" "$rate" "$seconds" "$input"

pin=()
if command -v taskset >/dev/null; then pin=(taskset -c 0); fi

# run NAME PROGRAM LEVEL: one conversion; appends "cpu_seconds peak_kib" to $work/NAME.times
# (each in a folder of its own, so that both print the same output name). The
# CPU time is the shell's, to the millisecond (GNU time's is to 10 ms, 1.5 %
# of the fast run); GNU time gives the peak memory.
run() {
    local name=$1 program=$2 level=$3
    local chosen=(-u PCMTAPER_KERNELS)
    if [ -n "$level" ]; then chosen=("PCMTAPER_KERNELS=$level"); fi
    mkdir -p "$work/$name"
    local TIMEFORMAT="%3U %3S"
    { time (cd "$work/$name" && env "${chosen[@]}" /usr/bin/time -f "%M" -o "$work/memory.txt" \
        "${pin[@]}" "$program" "$input" out.wav >stdout.txt); } 2>"$work/cpu.txt"
    awk -v kib="$(cat "$work/memory.txt")" '{ printf "%.3f %d\n", $1 + $2, kib }' "$work/cpu.txt" >>"$work/$name.times"
}

for ((r = 1; r <= rounds; ++r)); do
    run fast "$(pwd)/build-bench/pcmtaper" ""
    run reference "$reference_program" reference
done

same="output bytes and standard output identical"
if ! cmp -s "$work/fast/out.wav" "$work/reference/out.wav" ||
    ! cmp -s "$work/fast/stdout.txt" "$work/reference/stdout.txt"; then
    if ! $libc_math; then
        echo "OUTPUT OR STANDARD OUTPUT DIFFERS between the best level and the reference" >&2
        exit 1
    fi
    same="output differs (the C library's last bits)"
fi

best() { sort -n "$work/$1.times" | head -1 | cut -d' ' -f1; }
peak() { sort -n -k2 "$work/$1.times" | tail -1 | cut -d' ' -f2; }
fast=$(best fast)
reference=$(best reference)
echo "input: $seconds s of $kind at $rate Hz, $rounds alternating rounds, best CPU time of each"
echo "fast:  CPU runs $(cut -d' ' -f1 "$work/fast.times" | tr '\n' ' ')s"
echo "$reference_name: CPU runs $(cut -d' ' -f1 "$work/reference.times" | tr '\n' ' ')s"
awk -v f="$fast" -v p="$reference" -v s="$seconds" -v mf="$(peak fast)" -v mp="$(peak reference)" \
    -v name="$reference_name" -v same="$same" 'BEGIN {
    printf "fast:  %.3f s CPU, %.0fx real time, peak memory %.1f MiB\n", f, s / f, mf / 1024
    printf "%s: %.3f s CPU, %.1fx real time, peak memory %.1f MiB\n", name, p, s / p, mp / 1024
    printf "fast is %.2f times the reference speed; %s\n", p / f, same
}'
