#!/usr/bin/env bash
# The resampler's speed beside SoX's `rate -h` and `rate -v` (one thread),
# libsoxr (HQ, VHQ; one thread) and libsamplerate (best sinc): 60 s of the
# example music at 48000 Hz to 11025 Hz, mono, 64-bit float samples.
#
# The resampler, libsoxr and libsamplerate run in resample_tool, which times
# the conversion alone (filters made, every sample through, flushed; CPU
# seconds of its thread, the best of `rounds`). SoX is a whole process: its CPU
# time (user + system, the best of `rounds`) is printed as it is and less that
# of the same SoX command without `rate` (reading and writing the same raw
# files), which leaves its resampling alone.
#
# Usage: bench/resample/resample_speed.sh [build_dir=build-bench] [rounds=5] [in_hz=48000] [out_hz=11025] [seconds=60]
# Needs: cmake, g++, sox, libbenchmark-dev; libsoxr-dev and libsamplerate0-dev
# for their rows.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build-bench}
rounds=${2:-5}
in_hz=${3:-48000}
out_hz=${4:-11025}
seconds=${5:-60}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DPCMTAPER_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target resample_tool make_example >/dev/null
tool=$build/bench/resample_tool

"$build/make_example" music "$in_hz" "$seconds" "$work/in.wav"
sox "$work/in.wav" -t raw -e floating-point -b 64 "$work/in.f64"
raw=(-t raw -e floating-point -b 64 -c 1)

pin=()
if command -v taskset >/dev/null; then pin=(taskset -c 0); fi

# best_cpu COMMAND...: the least user + system CPU seconds of `rounds` runs.
best_cpu() {
    local best="" t
    TIMEFORMAT='%U %S'
    for ((r = 0; r < rounds; r++)); do
        t=$( { time "$@" >/dev/null 2>&1; } 2>&1 | awk '{ printf "%.3f", $1 + $2 }')
        if [ -z "$best" ] || awk -v a="$t" -v b="$best" 'BEGIN { exit !(a < b) }'; then best=$t; fi
    done
    echo "$best"
}

echo "$seconds s, $in_hz Hz -> $out_hz Hz, one thread, CPU seconds (best of $rounds)"
for level in reference best; do
    args=()
    if [ "$level" = reference ]; then args=(--level reference); fi
    "${pin[@]}" "$tool" "${args[@]}" --repeat "$rounds" pcmtaper "$in_hz" "$out_hz" <"$work/in.f64" 2>&1 >/dev/null
done
for method in soxr-hq soxr-vhq src-best; do
    "${pin[@]}" "$tool" --repeat "$rounds" "$method" "$in_hz" "$out_hz" <"$work/in.f64" 2>&1 >/dev/null || true
done
copy=$(best_cpu "${pin[@]}" sox --single-threaded -r "$in_hz" "${raw[@]}" "$work/in.f64" "${raw[@]}" "$work/out.f64")
for quality in -h -v; do
    whole=$(best_cpu "${pin[@]}" sox --single-threaded -r "$in_hz" "${raw[@]}" "$work/in.f64" "${raw[@]}" "$work/out.f64" \
        rate "$quality" "$out_hz")
    echo "sox rate $quality: $whole cpu seconds for the whole process, $(awk -v a="$whole" -v b="$copy" \
        'BEGIN { printf "%.3f", a - b }') without reading and writing ($copy)"
done
