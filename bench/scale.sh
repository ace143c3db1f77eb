#!/usr/bin/env bash
# Scaling benchmark: what packing and extraction cost per file as the number
# of files grows, and per GiB as one file grows, for zqsfx beside zip/unzip
# (which switch to zip64 past their limits by themselves) and tar.
#
#   bench/scale.sh                 10k, 100k and 1M small files; 1, 4, 8 GiB
#   FILES="10000 100000" SIZES="1" bench/scale.sh     a shorter sitting
#
# Environment:
#   BUILD_DIR  build folder holding zqpack and zqsfx (default: <repo>/build)
#   FILES      numbers of small files (default: "10000 100000 1000000")
#   SIZES      sizes in GiB of the single file, fractions allowed (default:
#              "1 4 8"; 0.0846 is the 90 MB of `bench/extract.sh --large`)
#   WORK       where trees, archives and extractions go (default: a fresh
#              folder under /tmp; the 8 GiB case needs about 25 GB there)
#   OUT        where the extractions go instead (default: WORK/out), such as
#              a folder in tmpfs, where the disk's write-back hides nothing
#   PLOT       write the plots here (gnuplot): text when it ends in .txt,
#              else PNG
#
# Small files are 1 to 200 bytes of text, 1000 to a folder. The big file is
# the corpus repeated, so that it codes as real data does. Every tool packs
# once and extracts once into an empty folder (a `sync` before each clock
# starts); the lines give seconds, microseconds per file or seconds per GiB,
# and zqsfx's peak resident memory and processor time, user and system
# (GNU time), per file or per GiB. Prints figures only.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
build=$(cd "${BUILD_DIR:-$repo/build}" && pwd)  # the runs change folder
corpus=${CORPUS:-$repo/../shared/corpus}
zqpack=$build/zqpack
[[ -x $zqpack ]] || { echo "no zqpack in $build (set BUILD_DIR)" >&2; exit 2; }
for tool in zip unzip tar /usr/bin/time; do
    command -v "$tool" >/dev/null || { echo "missing $tool" >&2; exit 2; }
done
if [[ -n ${WORK:-} ]]; then
    work=$WORK
    mkdir -p "$work"
else
    work=$(mktemp -d /tmp/zq_scale_XXXXXX)
fi
out=${OUT:-$work/out}
trap 'rm -rf "$work"/tree "$out" "$work"/t.* "$work"/seed.bin "$work"/*.dat; rmdir "$work" 2>/dev/null || true' EXIT

now() { date +%s.%N; }
calc() { awk "BEGIN { printf \"%.3f\", $1 }"; }

# Wall seconds of command $1 run in folder $2 (made empty first when it is
# the extraction folder).
timed() {
    local start end
    sync
    start=$(now)
    (cd "$2" && eval "$1" </dev/null >/dev/null 2>&1)
    end=$(now)
    calc "$end - $start"
}
fresh_out() { rm -rf "$out"; mkdir -p "$out"; }

make_small_tree() {
    rm -rf "$work/tree"
    mkdir -p "$work/tree"
    (cd "$work/tree" && awk -v n="$1" 'BEGIN {
        for (i = 0; i < n; i++) {
            if (i % 1000 == 0) { d = sprintf("d%04d", i / 1000); system("mkdir " d) }
            f = sprintf("%s/f%06d.txt", d, i)
            printf "%s %d\n", substr("the quick brown fox jumps over the lazy dog again and again ", 1, 1 + i % 60), i > f
            close(f)
        }
    }')
}

make_big_file() {
    rm -rf "$work/tree"
    mkdir -p "$work/tree"
    local want
    want=$(awk -v g="$1" 'BEGIN { printf "%.0f", g * 1024 * 1024 * 1024 }')
    local seed=$work/seed.bin
    [[ -f $seed ]] || find "$corpus" -type f -print0 | sort -z | xargs -0 cat >"$seed"
    local copies=$((want / $(stat -c %s "$seed") + 1)) i
    for ((i = 0; i < copies; i++)); do cat "$seed"; done 2>/dev/null | head -c "$want" >"$work/tree/big.bin" || true
}

# Packs and extracts $work/tree with every tool; $1 is the unit count and $2
# its name ("file" or "GiB").
measure() {
    local units=$1 unit=$2 label=$3
    local zp zx up ux tp tx peak cpu
    rm -f "$work"/*.sfx "$work"/*.zip "$work"/*.tar
    zp=$(timed "'$zqpack' create -o '$work/t.sfx' tree" "$work")
    up=$(timed "zip -qr '$work/t.zip' tree" "$work")
    tp=$(timed "tar cf '$work/t.tar' tree" "$work")
    if [[ ! -s $work/t.sfx ]]; then
        echo "  $label: zqpack refused the tree"
        return
    fi
    fresh_out; zx=$(timed "'$work/t.sfx' -q" "$out")
    fresh_out; ux=$(timed "unzip -q '$work/t.zip'" "$out")
    fresh_out; tx=$(timed "tar xf '$work/t.tar'" "$out")
    fresh_out
    read -r peak cpu < <(cd "$out" && /usr/bin/time -f '%M %U %S' "$work/t.sfx" -q </dev/null 2>&1 >/dev/null |
        tail -1 | awk '{ print $1, $2 + $3 }')
    local per="1000000 / $units" what="us/$unit"
    [[ $unit == GiB ]] && per="1 / $units" what="s/GiB"
    printf '  %-12s %s, pack: zqpack %s  zip %s  tar %s | extract: zqsfx %s  unzip %s  tar %s | zqsfx peak %s KiB, cpu %s\n' \
        "$label" "$what" "$(calc "$zp * $per")" "$(calc "$up * $per")" "$(calc "$tp * $per")" \
        "$(calc "$zx * $per")" "$(calc "$ux * $per")" "$(calc "$tx * $per")" "$peak" "$(calc "$cpu * $per")"
    echo "$units $(calc "$zx * $per") $(calc "$ux * $per") $(calc "$tx * $per")" >>"$work/$unit.dat"
}

echo "scaling, one run per tool and case, $(nproc) cores; work folder $work, extractions into $out"
: >"$work/file.dat"
: >"$work/GiB.dat"
for n in ${FILES-10000 100000 1000000}; do
    make_small_tree "$n"
    measure "$n" file "$n files"
done
for g in ${SIZES-1 4 8}; do
    make_big_file "$g"
    measure "$g" GiB "$g GiB file"
done
# The plots: extraction per file against the number of files, and per GiB
# against the file's size, each tool a line; as text for a PLOT ending in
# .txt (gnuplot's dumb terminal), else as a PNG.
plot_one() {  # data file, x label, y label
    local terminal="pngcairo size 800,480"
    [[ $PLOT == *.txt ]] && terminal="dumb size 79,22"
    gnuplot <<EOF
set terminal $terminal
set logscale x
set xlabel '$2'
set ylabel '$3'
set key top left
plot '$1' using 1:2 with linespoints title 'zqsfx', \
     '' using 1:3 with linespoints title 'unzip -q', \
     '' using 1:4 with linespoints title 'tar xf'
EOF
}
if [[ -n ${PLOT:-} ]] && command -v gnuplot >/dev/null; then
    : >"$PLOT"
    if [[ -s $work/file.dat ]]; then
        plot_one "$work/file.dat" 'files in the tree' 'extraction, microseconds per file' >>"$PLOT"
    fi
    if [[ -s $work/GiB.dat ]]; then
        plot_one "$work/GiB.dat" 'size of the one file, GiB' 'extraction, seconds per GiB' >>"$PLOT"
    fi
    echo "plot: $PLOT"
fi
