#!/usr/bin/env bash
# One file at several sizes, extracted in turn: whether the stub's speed per
# GiB depends on the file's size. Every round extracts each size once, so a
# change of load meets every size alike; the medians per size follow.
#
#   OUT=/dev/shm/out bench/file_size.sh            90 MB and 8 GiB, 5 rounds
#   SIZES="0.0846 1 8" ROUNDS=3 bench/file_size.sh
#
# Environment:
#   BUILD_DIR  build folder holding zqpack and zqsfx (default: <repo>/build)
#   CORPUS     the data, repeated to each size (default: <repo>/../shared/corpus)
#   SIZES      sizes in GiB, fractions allowed (default: "0.0846 8"; 0.0846 is
#              the 90 MB of `bench/extract.sh --large`)
#   ROUNDS     rounds (default: 5)
#   WORK       where the archives go (default: a fresh folder under /tmp);
#              archives already there (f<size>.sfx) are used as they are
#   OUT        where the extractions go (default: WORK/out), such as a folder
#              in tmpfs, where the disk's write-back hides nothing
#
# Prints, per size: the median wall seconds per GiB and MB/s, the median
# processor seconds (user + system) per GiB, and the peak resident memory
# (GNU time). Prints figures only.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
build=$(cd "${BUILD_DIR:-$repo/build}" && pwd)
corpus=${CORPUS:-$repo/../shared/corpus}
sizes=${SIZES:-0.0846 8}
rounds=${ROUNDS:-5}
zqpack=$build/zqpack
[[ -x $zqpack ]] || { echo "no zqpack in $build (set BUILD_DIR)" >&2; exit 2; }
command -v /usr/bin/time >/dev/null || { echo "missing /usr/bin/time" >&2; exit 2; }
work=${WORK:-$(mktemp -d /tmp/zq_size_XXXXXX)}
mkdir -p "$work"
out=${OUT:-$work/out}
trap 'rm -rf "$out" "$work/data" "$work/runs.txt"' EXIT

bytes_of() { awk -v g="$1" 'BEGIN { printf "%.0f", g * 1024 * 1024 * 1024 }'; }

# The archive of one file of $1 GiB: the corpus repeated and cut to size.
pack_size() {
    local archive=$work/f$1.sfx
    [[ -s $archive ]] && return 0
    rm -rf "$work/data"
    mkdir -p "$work/data"
    local seed=$work/data/seed.bin want i
    find "$corpus" -type f -print0 | sort -z | xargs -0 cat >"$seed"
    want=$(bytes_of "$1")
    for ((i = 0; i <= want / $(stat -c %s "$seed"); i++)); do cat "$seed"; done 2>/dev/null |
        head -c "$want" >"$work/data/big.bin" || true
    (cd "$work/data" && "$zqpack" create -o "$archive" big.bin >/dev/null)
    rm -rf "$work/data"
}

for g in $sizes; do pack_size "$g"; done
: >"$work/runs.txt"
for ((r = 0; r < rounds; r++)); do
    for g in $sizes; do
        rm -rf "$out"
        mkdir -p "$out"
        sync
        (cd "$out" && /usr/bin/time -f "$g %e %U %S %M" "$work/f$g.sfx" -q </dev/null 2>&1 >/dev/null |
            tail -1) >>"$work/runs.txt"
    done
done

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
# For each run of size $1, the awk expression $2 of its line (size, wall,
# user, system, peak): $2 the wall time, $3 + $4 the processor time, $5 the peak.
runs_of() { awk -v g="$1" '$1 == g { print '"$2"' }' "$work/runs.txt"; }

echo "one file, $rounds rounds in turn, $(nproc) cores; extractions into $out; medians"
printf '  %-10s %10s %8s %14s %10s\n' GiB "s/GiB" "MB/s" "processor s/GiB" "peak KiB"
for g in $sizes; do
    wall=$(runs_of "$g" '$2' | median)
    cpu=$(runs_of "$g" '$3 + $4' | median)
    peak=$(runs_of "$g" '$5' | sort -g | tail -1)
    awk -v g="$g" -v w="$wall" -v c="$cpu" -v p="$peak" -v bytes="$(bytes_of "$g")" 'BEGIN {
        printf "  %-10s %10.2f %8.1f %14.2f %10d\n", g, w / g, bytes / w / 1e6, c / g, p }'
done
