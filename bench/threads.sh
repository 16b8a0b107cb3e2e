#!/usr/bin/env bash
# Threads: builds the program and measures, in alternating rounds,
#  1. one long file (default 60 s of music at 44.1 kHz) at -j 1 and -j 2: wall
#     and CPU seconds, their ratios, peak memory; and two -j 1 conversions of
#     it at once against two in turn: how the two processors scale at the
#     time for work that shares nothing (a virtual machine's two processors
#     may share one core, or slow down when both run);
#  2. a one-block file at -j 1, -j 2 and -j 8 (no thread is started for it):
#     wall seconds of many runs;
#  3. many short files (default 200 files of 1 s at 22.05 kHz) converted by
#     -b -j 1, -b -j 2 and a shell loop of one run per file: wall seconds.
# Every run's output is checked against the -j 1 run's. The machine may be
# shared: each figure is the median of the rounds, and all rounds are printed.
#
# Usage: bench/threads.sh [rounds=5] [seconds_of_audio=60] [files=200]
# BENCH_PARTS="long one many" (the default) chooses the measurements.
# Needs: cmake, g++, GNU time (/usr/bin/time, Debian package "time").
# On a machine that other work loads, the runs can be given the processors
# for their short time by a command put in front of each, as root:
#   BENCH_PREFIX="chrt -f 1" bench/threads.sh
# For the many files that prefix costs -b -j 2 more than -b -j 1: every sync
# needs the kernel's journal thread, which two real-time threads that never
# wait leave no processor; measure those without it.
set -euo pipefail
cd "$(dirname "$0")/.."

rounds=${1:-5}
seconds=${2:-60}
files=${3:-200}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DPCMTAPER_BUILD_TESTS=OFF -DPCMTAPER_BUILD_BENCH=OFF >/dev/null
cmake --build build-bench -j2 --target pcmtaper make_example >/dev/null
program=$(pwd)/build-bench/pcmtaper
read -r -a prefix <<<"${BENCH_PREFIX:-}"

build-bench/make_example music 44100 "$seconds" "$work/long.wav"
head -c $((44 + 64)) "$work/long.wav" >"$work/one.wav"
printf '\x40\x00\x00\x00' | dd of="$work/one.wav" bs=1 seek=40 conv=notrunc status=none  # data: 64 bytes
mkdir "$work/many"
for ((i = 0; i < files; ++i)); do
    kinds=(music chirp noise bursts tone)
    build-bench/make_example "${kinds[i % 5]}" 22050 1 "$work/many/f$i.wav"
done

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
now() { date +%s.%N; }

# long JOBS: one conversion of the long file; appends "wall cpu peak_kib" to
# $work/long-JOBS.times. Wall and CPU seconds come from the shell's own timer
# (to the millisecond; GNU time's are to 10 ms), the peak from GNU time.
# The disk's work left by the parts before (the many files' blocks and
# journal) is done first: the kernel threads that do it would otherwise take
# a processor from a two-thread run, and not from a one-thread run.
long() {
    local jobs=$1 TIMEFORMAT='%3R %3U %3S'
    mkdir -p "$work/long-$jobs"
    sync
    { time (cd "$work/long-$jobs" && "${prefix[@]}" /usr/bin/time -f "%M" -o "$work/peak.txt" \
        "$program" -q -j "$jobs" ../long.wav out.wav); } 2>"$work/time.txt"
    echo "$(cat "$work/time.txt") $(cat "$work/peak.txt")" |
        awk '{ printf "%.3f %.3f %d\n", $1, $2 + $3, $4 }' >>"$work/long-$jobs.times"
    cmp -s "$work/long-$jobs/out.wav" "$work/long-1/out.wav" || { echo "-j $jobs: other bytes" >&2; exit 1; }
}

# pair: two -j 1 conversions of the long file at once; appends "wall cpu"
pair() {
    local TIMEFORMAT='%3R %3U %3S'
    mkdir -p "$work/pair"
    sync
    { time (cd "$work/pair" && { "${prefix[@]}" "$program" -q -j 1 ../long.wav a.wav &
                                 "${prefix[@]}" "$program" -q -j 1 ../long.wav b.wav; wait; }); } 2>"$work/time.txt"
    awk '{ printf "%.3f %.3f\n", $1, $2 + $3 }' "$work/time.txt" >>"$work/pair.times"
    for f in a b; do cmp -s "$work/pair/$f.wav" "$work/long-1/out.wav" || { echo "pair: other bytes" >&2; exit 1; }; done
}

# one JOBS: 200 conversions of the one-block file; appends the wall seconds
one() {
    local jobs=$1 start
    mkdir -p "$work/one-$jobs"
    start=$(now)
    for ((k = 0; k < 200; ++k)); do "${prefix[@]}" "$program" -q -j "$jobs" "$work/one.wav" "$work/one-$jobs/out.wav"; done
    echo "$(now) $start" | awk '{ printf "%.3f\n", $1 - $2 }' >>"$work/one-$jobs.times"
}

# many NAME: the short files by batch (-b -j 1, -b -j 2) or by a shell loop; appends the wall seconds
many() {
    local name=$1 start
    rm -rf "$work/out-$name" && mkdir "$work/out-$name"
    start=$(now)
    case $name in
        b1) "${prefix[@]}" "$program" -q -b -j 1 -t "$work/out-$name" "$work"/many/*.wav ;;
        b2) "${prefix[@]}" "$program" -q -b -j 2 -t "$work/out-$name" "$work"/many/*.wav ;;
        loop) for f in "$work"/many/*.wav; do
                  b=${f##*/}
                  "${prefix[@]}" "$program" -q -j 1 "$f" "$work/out-$name/${b%.wav}.8b.wav"
              done ;;
    esac
    echo "$(now) $start" | awk '{ printf "%.3f\n", $1 - $2 }' >>"$work/many-$name.times"
    [ "$name" = loop ] || diff -rq "$work/out-$name" "$work/out-loop" >/dev/null 2>&1 ||
        [ ! -d "$work/out-loop" ] || { echo "many $name: other bytes" >&2; exit 1; }
}

parts=" ${BENCH_PARTS:-long one many} "
has() { [[ $parts == *" $1 "* ]]; }
for ((r = 1; r <= rounds; ++r)); do
    if has long; then long 1; long 2; pair; fi
    if has one; then one 1; one 2; one 8; fi
    if has many; then many loop; many b1; many b2; fi
done

if has long; then
echo "long file: ${seconds} s of music at 44100 Hz, $rounds rounds (wall s, cpu s, peak KiB):"
for jobs in 1 2; do
    echo "  -j $jobs: $(awk '{ printf "%s/%s/%s  ", $1, $2, $3 }' "$work/long-$jobs.times")"
done
w1=$(cut -d' ' -f1 "$work/long-1.times" | median); w2=$(cut -d' ' -f1 "$work/long-2.times" | median)
c1=$(cut -d' ' -f2 "$work/long-1.times" | median); c2=$(cut -d' ' -f2 "$work/long-2.times" | median)
p2=$(cut -d' ' -f3 "$work/long-2.times" | sort -n | tail -1)
echo "  median: -j 1 ${w1} s wall ${c1} s cpu; -j 2 ${w2} s wall ${c2} s cpu"
echo "  -j 2 / -j 1: wall $(echo "$w2 $w1" | awk '{ printf "%.2f", $1 / $2 }'), cpu $(echo "$c2 $c1" | awk '{ printf "%.2f", $1 / $2 }'); peak memory at -j 2: ${p2} KiB"
echo "  two -j 1 at once: $(awk '{ printf "%s/%s  ", $1, $2 }' "$work/pair.times")"
wp=$(cut -d' ' -f1 "$work/pair.times" | median); cp=$(cut -d' ' -f2 "$work/pair.times" | median)
echo "  two at once / two in turn: wall $(echo "$wp $w1" | awk '{ printf "%.2f", $1 / (2 * $2) }'), cpu $(echo "$cp $c1" | awk '{ printf "%.2f", $1 / (2 * $2) }')"
fi
if has one; then
echo "one-block file, 200 runs (wall s per round):"
for jobs in 1 2 8; do echo "  -j $jobs: $(tr '\n' ' ' <"$work/one-$jobs.times") median $(median <"$work/one-$jobs.times")"; done
fi
if has many; then
echo "$files files of 1 s at 22050 Hz (wall s per round):"
for name in loop b1 b2; do echo "  $name: $(tr '\n' ' ' <"$work/many-$name.times") median $(median <"$work/many-$name.times")"; done
l=$(median <"$work/many-loop.times"); b1=$(median <"$work/many-b1.times"); b2=$(median <"$work/many-b2.times")
echo "  -b -j 2 / -b -j 1: $(echo "$b2 $b1" | awk '{ printf "%.2f", $1 / $2 }'); -b -j 1 / loop: $(echo "$b1 $l" | awk '{ printf "%.2f", $1 / $2 }')"
fi
