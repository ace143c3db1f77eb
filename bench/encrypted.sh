#!/usr/bin/env bash
# Extraction with and without encryption: the same large file packed twice,
# plain and with --encrypt (default key derivation), each extracted by the
# Linux stub with one and with all decoding threads; the median of RUNS wall
# times is printed, and the key derivation alone (a one-byte archive). Prints
# figures only; it never fails on a timing.
#
#   bench/encrypted.sh
#
# Environment: BUILD_DIR (default <repo>/build), CORPUS (default
# <repo>/../shared/corpus), RUNS (default 5), SIZE_MB (default 48).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
build=${BUILD_DIR:-$repo/build}
corpus=${CORPUS:-$repo/../shared/corpus}
runs=${RUNS:-5}
size_mb=${SIZE_MB:-48}
work=$(mktemp -d /tmp/zq_encbench_XXXXXX)
trap 'rm -rf "$work"' EXIT

mkdir -p "$work/in" "$work/tiny"
while [ "$(stat -c %s "$work/in/large.bin" 2>/dev/null || echo 0)" -lt $((size_mb << 20)) ]; do
    find "$corpus" -type f -print0 | sort -z | xargs -0 cat >>"$work/in/large.bin"
done
printf x >"$work/tiny/x"
echo secret >"$work/pw"

pack() {  # pack OUT DIR [options]
    local out=$1 dir=$2
    shift 2
    "$build/zqpack" create -o "$out" -C "$dir" "$@" >/dev/null
}
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
# timed SFX WORKERS: the median wall time of extracting SFX into an empty folder.
timed() {
    local sfx=$1 workers=$2
    for _ in $(seq "$runs"); do
        rm -rf "$work/out" && mkdir "$work/out"
        local start end
        start=$(date +%s.%N)
        (cd "$work/out" && ZQSFX_WORKERS=$workers "$sfx" <"$work/pw" >/dev/null)
        end=$(date +%s.%N)
        echo "$end - $start" | bc
    done | median
}

pack "$work/plain.sfx" "$work/in"
pack "$work/sealed.sfx" "$work/in" --encrypt --password-file "$work/pw"
pack "$work/tiny.sfx" "$work/tiny" --encrypt --password-file "$work/pw"
bytes=$(stat -c %s "$work/in/large.bin")
threads=$(nproc)
printf 'one file of %d bytes; plain self-extractor %d bytes, encrypted %d bytes\n' "$bytes" \
    "$(stat -c %s "$work/plain.sfx")" "$(stat -c %s "$work/sealed.sfx")"
for workers in 1 "$threads"; do
    p=$(timed "$work/plain.sfx" "$workers")
    s=$(timed "$work/sealed.sfx" "$workers")
    printf '%d thread(s): plain %.3f s (%.0f MB/s), encrypted %.3f s (%.0f MB/s)\n' "$workers" \
        "$p" "$(echo "$bytes / $p / 1000000" | bc -l)" "$s" "$(echo "$bytes / $s / 1000000" | bc -l)"
done
printf 'key derivation alone (one-byte encrypted archive): %.3f s\n' "$(timed "$work/tiny.sfx" 1)"
if command -v /usr/bin/time >/dev/null; then
    rm -rf "$work/out" && mkdir "$work/out"
    peak=$(cd "$work/out" && /usr/bin/time -f %M "$work/tiny.sfx" <"$work/pw" 2>&1 >/dev/null | tail -1)
    printf 'peak memory of that run: %s KiB\n' "$peak"
fi
