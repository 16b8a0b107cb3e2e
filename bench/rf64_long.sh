#!/usr/bin/env bash
# The long RF64 case, too slow for the test suite: an RF64 input whose data
# passes 8 GiB (its 64-bit size in ds64), streamed through a pipe, gives an
# output whose data passes 4 GiB, which is written as RF64 with a ds64 chunk.
# Takes about ten minutes of one core and 4 GiB of disk in the output folder.
#
#   bench/rf64_long.sh [BUILD_DIR] [OUT_DIR]
set -euo pipefail
build=${1:-build}
out_dir=${2:-$(mktemp -d)}
program=$(cd "$build" && pwd)/pcmtaper
[ -x "$program" ] || { echo "no $program: build first" >&2; exit 1; }

# 2^33 + 2^20 bytes of 16-bit samples: 2^32 + 2^19 samples, so the output's
# data (one byte per sample) needs more than the 32-bit RIFF sizes can state.
data_bytes=$(( (1 << 33) + (1 << 20) ))
header() {
    python3 - "$data_bytes" <<'PY'
import struct, sys
data = int(sys.argv[1])
ds64 = struct.pack('<QQQI', data + 72, data, data // 2, 0)
fmt = struct.pack('<HHIIHH', 1, 1, 44100, 88200, 2, 16)
sys.stdout.buffer.write(b'RF64' + struct.pack('<I', 0xFFFFFFFF) + b'WAVE' +
                        b'ds64' + struct.pack('<I', len(ds64)) + ds64 +
                        b'fmt ' + struct.pack('<I', len(fmt)) + fmt +
                        b'data' + struct.pack('<I', 0xFFFFFFFF))
PY
}

output="$out_dir/long.8b.wav"
echo "converting $data_bytes bytes of noise through a pipe into $output"
start=$(date +%s)
{ header; head -c "$data_bytes" /dev/urandom; } | "$program" - "$output" | grep -E 'SAMPLE|FRAMES|claims|ended'
echo "took $(( $(date +%s) - start )) s"

python3 - "$output" "$data_bytes" <<'PY'
import os, struct, sys
path, data = sys.argv[1], int(sys.argv[2])
samples = data // 2
with open(path, 'rb') as f:
    head = f.read(80)
size = os.path.getsize(path)
assert head[0:4] == b'RF64' and struct.unpack('<I', head[4:8])[0] == 0xFFFFFFFF, head[:8]
assert head[8:16] == b'WAVEds64' and struct.unpack('<I', head[16:20])[0] == 28
riff, data_size, count = struct.unpack('<QQQ', head[20:44])
assert data_size == samples and count == samples and riff == samples + 72, (riff, data_size, count)
assert head[48:52] == b'fmt ' and head[72:76] == b'data'
assert struct.unpack('<I', head[76:80])[0] == 0xFFFFFFFF
assert size == 80 + samples, size
print(f'RF64 output: {samples} samples, ds64 sizes right, {size} bytes on disk')
PY
rm -f "$output"
