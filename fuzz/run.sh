#!/usr/bin/env bash
# Builds one libFuzzer target (clang, ASan + UBSan, in build-fuzz) and runs it
# for a given time on a copy of its seed corpus, at low priority.
#
#   fuzz/run.sh header|conversion SECONDS [libFuzzer options...]
#
# The target binary and the corpus are copied into a fresh work directory
# (printed at the start), so a rebuild during a long run does not disturb it;
# crash, leak and timeout inputs are written there too. Exit status: the
# fuzzer's (0 when it found nothing). Environment: PCMTAPER_FUZZ_BUILD (build
# directory), PCMTAPER_FUZZ_WORK (where the work directory goes, default /tmp),
# PCMTAPER_FUZZ_NICE (default 19).
set -euo pipefail

usage() { echo "usage: $0 header|conversion SECONDS [libFuzzer options...]" >&2; exit 2; }
[ $# -ge 2 ] || usage
target=$1
seconds=$2
shift 2
case $target in
    header) max_len=4096; timeout=10 ;;
    conversion) max_len=16384; timeout=60 ;;
    *) usage ;;
esac
[[ $seconds =~ ^[0-9]+$ ]] || usage

root=$(cd "$(dirname "$0")/.." && pwd)
build=${PCMTAPER_FUZZ_BUILD:-$root/build-fuzz}
cmake -S "$root" -B "$build" -DPCMTAPER_FUZZ=ON -DPCMTAPER_BUILD_TESTS=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" --target "fuzz_$target" -j2 >/dev/null

work=$(mktemp -d "${PCMTAPER_FUZZ_WORK:-${TMPDIR:-/tmp}}/pcmtaper-fuzz-$target.XXXXXX")
cp "$build/fuzz/fuzz_$target" "$work/"
mkdir "$work/corpus"
cp "$root/fuzz/corpus/$target/"* "$work/corpus/"
echo "fuzz/run.sh: fuzz_$target for ${seconds} s in $work, started $(date -u +%FT%TZ)"

status=0
(cd "$work" && nice -n "${PCMTAPER_FUZZ_NICE:-19}" "./fuzz_$target" \
    -max_total_time="$seconds" -max_len="$max_len" -timeout="$timeout" \
    -print_final_stats=1 -artifact_prefix="$work/" "$@" corpus) || status=$?

artifacts=$(find "$work" -maxdepth 1 -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' -o -name 'oom-*' \))
if [ -n "$artifacts" ]; then
    echo "fuzz/run.sh: fuzz_$target found inputs that fail, kept in $work:"
    echo "$artifacts"
elif [ "$status" = 0 ]; then
    echo "fuzz/run.sh: fuzz_$target found nothing in ${seconds} s; corpus grew to $(ls "$work/corpus" | wc -l) files"
    rm -rf "$work"
fi
exit "$status"
