#!/usr/bin/env bash
# Extraction benchmark: zqsfx against unzip and tar on the same trees, in the
# same run.
#
#   bench/extract.sh [TREE]        (default TREE: /usr/include)
#
# Environment:
#   BUILD_DIR  build folder holding zqpack and zqsfx (default: <repo>/build)
#   CORPUS     second data set (default: <repo>/../shared/corpus)
#   RUNS       timed runs per tool, the median is reported (default: 5)
#
# For each data set it packs a self-extractor with `zqpack create`, a zip with
# `zip -qry` and a tar.gz with `tar czf`, then extracts each several times
# into an empty folder and prints the median wall times and the ratios to
# unzip. Then it measures zqsfx's peak memory (GNU time) on the tree and on
# two single-file archives of different sizes: the peak must not follow the
# file size. Prints figures only; it never fails on a timing.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
tree=${1:-/usr/include}
build=${BUILD_DIR:-$repo/build}
corpus=${CORPUS:-$repo/../shared/corpus}
runs=${RUNS:-5}

zqpack=$build/zqpack
[[ -x $zqpack && -x $build/zqsfx ]] || { echo "no zqpack/zqsfx in $build (set BUILD_DIR)" >&2; exit 2; }
for tool in zip unzip tar /usr/bin/time; do
    command -v "$tool" >/dev/null || { echo "missing $tool" >&2; exit 2; }
done

scratch=$(mktemp -d /tmp/zq_bench_XXXXXX)
trap 'chmod -R u+w "$scratch" 2>/dev/null; rm -rf "$scratch"' EXIT

now() { date +%s.%N; }
calc() { awk "BEGIN { print $1 }"; }
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# Wall seconds of one extraction: $1 is the command, run in a fresh folder.
time_once() {
    local out=$scratch/out
    chmod -R u+w "$out" 2>/dev/null || true
    rm -rf "$out"
    mkdir "$out"
    local start end
    start=$(now)
    (cd "$out" && eval "$1" </dev/null >/dev/null)
    end=$(now)
    calc "$end - $start"
}

time_median() {
    local i
    for ((i = 0; i < runs; i++)); do time_once "$1"; done | median
}

bench_set() {
    local label=$1 source=$2
    local parent base
    parent=$(cd "$(dirname "$source")" && pwd)
    base=$(basename "$source")
    local files bytes
    files=$(find "$source" -type f | wc -l)
    bytes=$(du -sb "$source" | cut -f1)

    local t0 t1
    t0=$(now)
    "$zqpack" create -o "$scratch/$label.sfx" "$source" >/dev/null
    t1=$(now)
    (cd "$parent" && zip -qry "$scratch/$label.zip" "$base")
    (cd "$parent" && tar czf "$scratch/$label.tgz" "$base")

    local zq un ta
    zq=$(time_median "'$scratch/$label.sfx'")
    un=$(time_median "unzip -q '$scratch/$label.zip'")
    ta=$(time_median "tar xzf '$scratch/$label.tgz'")

    printf '\n%s: %s files, %s bytes (packed in %.2f s)\n' "$label" "$files" "$bytes" "$(calc "$t1 - $t0")"
    printf '  %-10s %12s %12s\n' tool "size" "median s"
    printf '  %-10s %12s %12.3f\n' zqsfx "$(stat -c %s "$scratch/$label.sfx")" "$zq"
    printf '  %-10s %12s %12.3f\n' unzip "$(stat -c %s "$scratch/$label.zip")" "$un"
    printf '  %-10s %12s %12.3f\n' tar.gz "$(stat -c %s "$scratch/$label.tgz")" "$ta"
    printf '  zqsfx / unzip = %.2f   zqsfx / tar xzf = %.2f   (target: zqsfx / unzip <= 2.0)\n' \
        "$(calc "$zq / $un")" "$(calc "$zq / $ta")"
}

# Peak resident memory in KiB of one zqsfx run of $1.
peak_kib() {
    local out=$scratch/out
    chmod -R u+w "$out" 2>/dev/null || true
    rm -rf "$out"
    mkdir "$out"
    (cd "$out" && /usr/bin/time -v "$1" </dev/null 2>"$scratch/time.txt" >/dev/null)
    awk -F': ' '/Maximum resident set size/ { print $2 }' "$scratch/time.txt"
}

echo "zqsfx extraction benchmark: $runs runs each, medians; $(nproc) cores"
bench_set tree "$tree"
[[ -d $corpus ]] && bench_set corpus "$corpus"

# One large file, twice the size: the peak must stay where it is.
mkdir -p "$scratch/one"
(set +o pipefail; find "$tree" -type f -print0 | xargs -0 cat 2>/dev/null | head -c 16000000 >"$scratch/one/big16")
cat "$scratch/one/big16" "$scratch/one/big16" "$scratch/one/big16" "$scratch/one/big16" >"$scratch/one/big64"
"$zqpack" create -o "$scratch/big16.sfx" "$scratch/one/big16" >/dev/null
"$zqpack" create -o "$scratch/big64.sfx" "$scratch/one/big64" >/dev/null
echo
echo "zqsfx peak memory (maximum resident set, KiB):"
printf '  tree: %s   one 16 MB file: %s   one 64 MB file: %s\n' \
    "$(peak_kib "$scratch/tree.sfx")" "$(peak_kib "$scratch/big16.sfx")" "$(peak_kib "$scratch/big64.sfx")"
