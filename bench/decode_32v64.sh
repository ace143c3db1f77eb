#!/bin/sh
# The block decoder's speed in the host (64-bit) build and in the 32-bit
# Windows stub's codec under Wine, taken alternately in one sitting so that
# the load of a shared machine falls on both alike.
#   bench/decode_32v64.sh [FILE ...]          (default: the shared corpus)
# Environment: BUILD_DIR (host build, default build), WIN32_BUILD_DIR (the
# stub's cross build, default build-win32), ROUNDS (default 5), REPS
# (repetitions inside each run, default 5). Builds codec_decode_bench in
# both. Prints each round and the medians of the rounds and their ratio.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
host=${BUILD_DIR:-$here/build}
win=${WIN32_BUILD_DIR:-$here/build-win32}
rounds=${ROUNDS:-5}
reps=${REPS:-5}

if [ "$#" -eq 0 ]; then
    corpus=$here/../shared/corpus
    [ -d "$corpus" ] || corpus=$here/examples/sample
    set -- $(find "$corpus" -type f | sort)
fi

cmake --build "$host" -j2 --target codec_decode_bench >/dev/null
cmake --build "$win" -j2 --target codec_decode_bench >/dev/null

rate() { sed -n 's/.*, \([0-9.]*\) MB\/s.*/\1/p'; }
median() { sort -n | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
i=0
while [ "$i" -lt "$rounds" ]; do
    r64=$("$host/bench/codec_decode_bench" -r "$reps" "$@" | rate)
    r32=$(WINEDEBUG=-all wine "$win/bench/codec_decode_bench.exe" -r "$reps" "$@" | rate)
    echo "round $((i + 1)): 64-bit $r64 MB/s, 32-bit (Wine) $r32 MB/s"
    echo "$r64" >>"$tmp/64"
    echo "$r32" >>"$tmp/32"
    i=$((i + 1))
done
m64=$(median <"$tmp/64")
m32=$(median <"$tmp/32")
echo "median: 64-bit $m64 MB/s, 32-bit (Wine) $m32 MB/s, 32/64 = $(awk "BEGIN {printf \"%.3f\", $m32 / $m64}")"
