#!/usr/bin/env bash
# Extraction with and without encryption: the same large file packed twice,
# plain and with --encrypt (default key derivation), each extracted by the
# Linux stub with one and with all decoding threads; the medians of RUNS wall
# and user CPU times are printed (on a shared machine the CPU time is the
# steadier figure), and the key derivation alone (a one-byte archive), with
# its peak memory. Needs GNU time. Prints figures only; it never fails on a
# timing.
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
# timed SFX WORKERS: "WALL USER", the medians of extracting SFX into an
# empty folder.
timed() {
    local sfx=$1 workers=$2
    : >"$work/times"
    for _ in $(seq "$runs"); do
        rm -rf "$work/out" && mkdir "$work/out"
        (cd "$work/out" && ZQSFX_WORKERS=$workers /usr/bin/time -a -o "$work/times" -f '%e %U %M' \
            "$sfx" <"$work/pw" >/dev/null)
    done
    echo "$(cut -d' ' -f1 "$work/times" | median) $(cut -d' ' -f2 "$work/times" | median)" \
        "$(cut -d' ' -f3 "$work/times" | median)"
}

pack "$work/plain.sfx" "$work/in"
pack "$work/sealed.sfx" "$work/in" --encrypt --password-file "$work/pw"
pack "$work/tiny.sfx" "$work/tiny" --encrypt --password-file "$work/pw"
bytes=$(stat -c %s "$work/in/large.bin")
threads=$(nproc)
printf 'one file of %d bytes; plain self-extractor %d bytes, encrypted %d bytes\n' "$bytes" \
    "$(stat -c %s "$work/plain.sfx")" "$(stat -c %s "$work/sealed.sfx")"
for workers in 1 "$threads"; do
    read -r pw pu _ <<<"$(timed "$work/plain.sfx" "$workers")"
    read -r sw su _ <<<"$(timed "$work/sealed.sfx" "$workers")"
    printf '%d thread(s): plain %.2f s wall, %.2f s user; encrypted %.2f s wall, %.2f s user\n' \
        "$workers" "$pw" "$pu" "$sw" "$su"
done
read -r kw ku km <<<"$(timed "$work/tiny.sfx" 1)"
printf 'key derivation alone (one-byte encrypted archive): %.2f s wall, %.2f s user, peak %s KiB\n' \
    "$kw" "$ku" "$km"
