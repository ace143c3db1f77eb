#!/usr/bin/env bash
# Extraction benchmark: zqsfx against unzip and tar on the same trees, in the
# same run.
#
#   bench/extract.sh [TREE]        (default TREE: /usr/include)
#   bench/extract.sh --large       one large file: scaling with decoding threads
#   bench/extract.sh --check [TREE]  the cost of the test before writing
#
# Environment:
#   BUILD_DIR  build folder holding zqpack and zqsfx (default: <repo>/build)
#   CORPUS     second data set (default: <repo>/../shared/corpus)
#   RUNS       timed runs per tool, the median is reported (default: 5)
#   WIN_STUB   the cross-built zqsfx.exe, timed under Wine in --large mode
#              and on the tree into tmpfs (default:
#              <repo>/build-win32/zqsfx.exe, skipped when missing)
#   BASE_WIN_STUB  another build's zqsfx.exe: timed under Wine beside
#              WIN_STUB on the tree into tmpfs, the same data behind it
#   PLOT       --large mode: write the scaling plot (PNG, gnuplot) here
#   SHM        a tmpfs folder for the runs into memory (default: /dev/shm;
#              skipped when missing)
#   BASE_STUB  another build's Linux stub (an earlier zqsfx): timed beside
#              this one on the tree into tmpfs, the same data behind it
#   EMPTY      files in the tree of empty files (default: 65535, the most an
#              archive holds; 0 skips it)
#
# For each data set it packs a self-extractor with `zqpack create`, a zip with
# `zip -qry` and a tar.gz with `tar czf`, then extracts each several times
# into an empty folder, the tools taking turns round by round (these machines
# drift in speed from minute to minute, and a tool timed in a block of its own
# runs would carry the drift into the ratios), and prints the median wall
# times and the ratios to unzip. zqsfx runs with -q, as unzip does, so that
# neither lists its files. The tree is extracted twice over: onto the disk (with `sync` before
# each run) and into tmpfs, where the disk's write-back hides nothing of the
# programs' own cost; there it also counts each program's system calls per
# file (strace -c -f, when strace is there and may trace), and the Windows
# stub extracts the tree there under Wine (when both are there). A tree of EMPTY
# empty files in 256 folders follows, into tmpfs: the time per file beside
# the tree's, which must not grow with the count. Then it measures zqsfx's
# peak memory (GNU time) on the tree and on two single-file archives of
# different sizes: the peak must not follow the file size. Prints figures
# only; it never fails on a timing.
#
# --large concatenates the corpus into one file of at least 88 MB (text and
# binary mixed) and prints, side by side: zqsfx with 1, 2, ... up to all
# decoding threads and one more, the stub's default (ZQSFX_WORKERS), unzip -q, tar xzf, the Windows stub under
# Wine with 1 thread and all threads, and Wine's start-up alone (the Windows
# stub on an archive of one empty file), then the peak memory per thread count.
#
# --check packs TREE and the corpus twice, without and with --check-first, and
# prints the median extraction of each (into tmpfs when there is one, so the
# disk hides nothing), the test (-t) alone, and what the check adds.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
mode=tree
if [[ ${1:-} == --large || ${1:-} == --check ]]; then
    mode=${1#--}
    shift
fi
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
shm=${SHM:-/dev/shm}
memory=
[[ -d $shm && -w $shm ]] && memory=$(mktemp -d "$shm/zq_bench_XXXXXX")
trap 'chmod -R u+w "$scratch" $memory 2>/dev/null; rm -rf "$scratch" $memory' EXIT
# Where the timed runs extract to: the disk, or tmpfs (bench_set's fourth word).
out_base=$scratch

now() { date +%s.%N; }
calc() { awk "BEGIN { print $1 }"; }
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# Wall seconds of one extraction: $1 is the command, run in a fresh folder.
time_once() {
    local out=$out_base/out
    chmod -R u+w "$out" 2>/dev/null || true
    rm -rf "$out"
    mkdir "$out"
    # The last run's files are written back before the clock starts, so that
    # no tool pays for the one before it.
    sync
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

# The median wall seconds of each command given, one per line in their
# order: the commands take turns, round by round, so that a machine whose
# speed drifts from minute to minute slows them alike.
time_in_turn() {
    local i k=0 command
    local -a samples=()
    for ((i = 0; i < runs; i++)); do
        k=0
        for command in "$@"; do
            samples[k]+="$(time_once "$command") "
            k=$((k + 1))
        done
    done
    for ((k = 0; k < $#; k++)); do tr ' ' '\n' <<<"${samples[k]}" | grep . | median; done
}

# System calls per file of one extraction of command $1 into tmpfs ($2 files);
# empty when strace is missing or may not trace.
calls_per_file() {
    [[ -n $memory ]] && command -v strace >/dev/null || return 0
    local out=$memory/out
    chmod -R u+w "$out" 2>/dev/null || true
    rm -rf "$out"
    mkdir "$out"
    (cd "$out" && eval "strace -f -c -o '$scratch/calls.txt' $1" </dev/null >/dev/null 2>&1) || return 0
    awk -v files="$2" '$NF == "total" { printf "%.1f", $4 / files }' "$scratch/calls.txt"
}

bench_set() {
    local label=$1 source=$2 where=${3:-disk}
    local parent base
    parent=$(cd "$(dirname "$source")" && pwd)
    base=$(basename "$source")
    local files bytes
    files=$(find "$source" -type f | wc -l)
    bytes=$(du -sb "$source" | cut -f1)

    local t0 t1
    t0=$(now)
    [[ -f $scratch/$label.sfx ]] || "$zqpack" create -o "$scratch/$label.sfx" "$source" >/dev/null
    t1=$(now)
    [[ -f $scratch/$label.zip ]] || (cd "$parent" && zip -qry "$scratch/$label.zip" "$base")
    [[ -f $scratch/$label.tgz ]] || (cd "$parent" && tar czf "$scratch/$label.tgz" "$base")
    out_base=$scratch
    [[ $where == tmpfs ]] && out_base=$memory

    local commands=("'$scratch/$label.sfx' -q" "unzip -q '$scratch/$label.zip'"
        "tar xzf '$scratch/$label.tgz'")
    local with_base=
    if [[ $where == tmpfs && -n ${BASE_STUB:-} && $label == tree ]]; then
        # The same archive behind the other stub: only the stub differs.
        "$zqpack" create --stub "$BASE_STUB" -o "$scratch/base.sfx" "$source" >/dev/null 2>&1
        commands+=("'$scratch/base.sfx' -q")
        with_base=1
    fi
    local medians zq un ta ba
    mapfile -t medians < <(time_in_turn "${commands[@]}")
    zq=${medians[0]} un=${medians[1]} ta=${medians[2]} ba=${medians[3]:-}

    local packed="packed in $(calc "$t1 - $t0") s"
    [[ $where == tmpfs ]] && packed="the archives above"
    printf '\n%s onto %s: %s files, %s bytes (%s)\n' "$label" "$where" "$files" "$bytes" "$packed"
    printf '  %-10s %12s %12s\n' tool "size" "median s"
    printf '  %-10s %12s %12.3f\n' zqsfx "$(stat -c %s "$scratch/$label.sfx")" "$zq"
    printf '  %-10s %12s %12.3f\n' unzip "$(stat -c %s "$scratch/$label.zip")" "$un"
    printf '  %-10s %12s %12.3f\n' tar.gz "$(stat -c %s "$scratch/$label.tgz")" "$ta"
    printf '  zqsfx / unzip = %.2f   zqsfx / tar xzf = %.2f   (target: zqsfx / unzip <= %s)\n' \
        "$(calc "$zq / $un")" "$(calc "$zq / $ta")" "$([[ $where == tmpfs ]] && echo 0.8 || echo 2.0)"
    printf '  per file: zqsfx %.1f us, unzip %.1f us\n' "$(calc "$zq * 1e6 / $files")" \
        "$(calc "$un * 1e6 / $files")"
    eval "${label}_per_file=$(calc "$zq * 1e6 / $files")"
    if [[ -n $with_base ]]; then
        printf '  %-10s %12s %12.3f   this zqsfx / it = %.2f\n' "BASE_STUB" \
            "$(stat -c %s "$scratch/base.sfx")" "$ba" "$(calc "$zq / $ba")"
        printf '  BASE_STUB system calls per file: %s\n' \
            "$(calls_per_file "'$scratch/base.sfx' -q" "$files")"
    fi
    if [[ $where == tmpfs && $label == tree ]]; then wine_tree_rows "$source" "$un"; fi
    if [[ $where == tmpfs ]]; then
        local zc uc
        zc=$(calls_per_file "'$scratch/$label.sfx' -q" "$files")
        uc=$(calls_per_file "unzip -q '$scratch/$label.zip'" "$files")
        if [[ -n $zc && -n $uc ]]; then
            printf '  system calls per file (strace -c -f): zqsfx %s, unzip %s   (target: zqsfx <= 10)\n' "$zc" "$uc"
        else
            echo "  (system calls not counted: no strace, or it may not trace here)"
        fi
    fi
    out_base=$scratch
}

# A Wine prefix of its own for the runs under Wine; false without wine or
# without the Windows stub $1.
wine_ready() {
    [[ -f $1 ]] && command -v wine >/dev/null || return 1
    export WINEPREFIX=$scratch/wineprefix WINEDEBUG=-all DISPLAY=
    [[ -d $WINEPREFIX ]] || wineboot -i >/dev/null 2>&1 || true
}

# The tree $1 under Wine, into tmpfs: the Windows stub against unzip ($2
# seconds), and against BASE_WIN_STUB when given, the same archive behind
# each stub. Names that differ from another only in letter case (/usr/include
# has a few) are one file to Windows, and zqpack refuses to pack them for it:
# the later of each such pair is left out.
wine_tree_rows() {
    local win_stub=${WIN_STUB:-$repo/build-win32/zqsfx.exe}
    if ! wine_ready "$win_stub"; then
        echo "  (no Windows stub at $win_stub or no wine: Wine rows skipped)"
        return 0
    fi
    local excluded=() name
    while IFS= read -r name; do excluded+=(--exclude "$name"); done < <(
        find "$1" | LC_ALL=C sort | awk '{ low = tolower($0); if (low in seen) print; seen[low] = 1 }' |
            xargs -r -n1 basename)
    "$zqpack" create --stub "$win_stub" "${excluded[@]}" -o "$scratch/tree_w.exe" "$1" >/dev/null
    local wt bt
    wt=$(time_median "wine '$scratch/tree_w.exe' -q")
    printf '  %-10s %12s %12.3f   zqsfx.exe / unzip = %.2f   (%d names left out)\n' "Wine" \
        "$(stat -c %s "$scratch/tree_w.exe")" "$wt" "$(calc "$wt / $2")" $((${#excluded[@]} / 2))
    [[ -n ${BASE_WIN_STUB:-} ]] || return 0
    "$zqpack" create --stub "$BASE_WIN_STUB" "${excluded[@]}" -o "$scratch/base_w.exe" "$1" >/dev/null
    bt=$(time_median "wine '$scratch/base_w.exe' -q")
    printf '  %-10s %12s %12.3f   zqsfx.exe / it = %.2f\n' "BASE_WIN" \
        "$(stat -c %s "$scratch/base_w.exe")" "$bt" "$(calc "$wt / $bt")"
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

large_file() {
    [[ -d $corpus ]] || { echo "no corpus at $corpus (set CORPUS)" >&2; exit 2; }
    local win_stub=${WIN_STUB:-$repo/build-win32/zqsfx.exe}
    local all
    all=$(nproc)
    mkdir -p "$scratch/large" "$scratch/empty"
    local big=$scratch/large/big.bin
    while [[ ! -f $big ]] || (($(stat -c %s "$big") < 88000000)); do
        find "$corpus" -type f -print0 | sort -z | xargs -0 cat >>"$big"
    done
    : >"$scratch/empty/empty.txt"
    "$zqpack" create -o "$scratch/large.sfx" "$big" >/dev/null
    (cd "$scratch/large" && zip -q "$scratch/large.zip" big.bin && tar czf "$scratch/large.tgz" big.bin)

    echo "one file of $(stat -c %s "$big") bytes (the corpus repeated); $runs runs each, in turn, medians; $all cores"
    printf '  %-28s %10s %10s\n' tool "median s" "/ unzip"
    local un ta t1=0 t w
    # One more than the cores is the stub's own choice (a spare worker).
    local counts=$((all + (all > 1)))
    local commands=("unzip -q '$scratch/large.zip'" "tar xzf '$scratch/large.tgz'") medians
    for ((w = 1; w <= counts; w++)); do commands+=("ZQSFX_WORKERS=$w '$scratch/large.sfx'"); done
    mapfile -t medians < <(time_in_turn "${commands[@]}")
    un=${medians[0]} ta=${medians[1]}
    : >"$scratch/scaling.dat"
    local label
    for ((w = 1; w <= counts; w++)); do
        t=${medians[w + 1]}
        ((w == 1)) && t1=$t
        label="zqsfx, $w thread(s)"
        ((w > all)) && label="$label, default"
        printf '  %-28s %10.3f %10.2f   speed-up %.2f\n' "$label" "$t" "$(calc "$t / $un")" \
            "$(calc "$t1 / $t")"
        echo "$w $(calc "$t1 / $t")" >>"$scratch/scaling.dat"
    done
    printf '  %-28s %10.3f %10.2f\n' "unzip -q" "$un" 1
    printf '  %-28s %10.3f %10.2f\n' "tar xzf" "$ta" "$(calc "$ta / $un")"
    if wine_ready "$win_stub"; then
        "$zqpack" create --stub "$win_stub" -o "$scratch/large_w.exe" "$big" >/dev/null
        "$zqpack" create --stub "$win_stub" -o "$scratch/empty_w.exe" "$scratch/empty" >/dev/null
        local ws w1 wa
        ws=$(time_median "wine '$scratch/empty_w.exe'")
        w1=$(time_median "ZQSFX_WORKERS=1 wine '$scratch/large_w.exe'")
        wa=$(time_median "ZQSFX_WORKERS=$all wine '$scratch/large_w.exe'")
        printf '  %-28s %10.3f\n' "Wine start-up alone" "$ws"
        printf '  %-28s %10.3f %10.2f\n' "zqsfx.exe (Wine), 1 thread" "$w1" "$(calc "$w1 / $un")"
        printf '  %-28s %10.3f %10.2f   without start-up %.2f\n' "zqsfx.exe (Wine), $all" "$wa" \
            "$(calc "$wa / $un")" "$(calc "($wa - $ws) / $un")"
    else
        echo "  (no Windows stub at $win_stub or no wine: Wine rows skipped)"
    fi
    echo "targets: zqsfx at 2 threads <= 1.5 x unzip, speed-up 1 -> 2 >= 1.8, Wine <= 2.5 x unzip"
    echo
    echo "zqsfx peak memory (maximum resident set, KiB):"
    for ((w = 1; w <= all + (all > 1); w++)); do
        printf '  %s thread(s): %s\n' "$w" "$(ZQSFX_WORKERS=$w peak_kib "$scratch/large.sfx")"
    done
    if [[ -n ${PLOT:-} ]] && command -v gnuplot >/dev/null; then
        gnuplot <<PLOT_END
set terminal pngcairo size 640,400 noenhanced
set output "$PLOT"
set title "zqsfx, one $(($(stat -c %s "$big") / 1000000)) MB file: speed-up by decoding threads"
set xlabel "threads (ZQSFX_WORKERS)"
set ylabel "speed-up over 1 thread"
set xtics 1
set yrange [0:*]
set key left top
plot "$scratch/scaling.dat" using 1:2 with linespoints title "measured", x title "ideal"
PLOT_END
        echo "plot written to $PLOT"
    fi
}

# The same data packed with and without the test before writing.
check_cost() {
    local label=$1 source=$2
    "$zqpack" create -o "$scratch/$label.sfx" "$source" >/dev/null
    "$zqpack" create --check-first -o "$scratch/$label-checked.sfx" "$source" >/dev/null
    [[ -n $memory ]] && out_base=$memory
    local plain checked tested
    plain=$(time_median "'$scratch/$label.sfx'")
    checked=$(time_median "'$scratch/$label-checked.sfx'")
    tested=$(time_median "'$scratch/$label.sfx' -t -q")
    printf '\n%s: %s files, %s bytes, into %s\n' "$label" "$(find "$source" -type f | wc -l)" \
        "$(du -sb "$source" | cut -f1)" "$([[ -n $memory ]] && echo tmpfs || echo the disk)"
    printf '  %-26s %10.3f\n' "extract" "$plain" "extract, checked first" "$checked" "-t alone" "$tested"
    printf '  the check adds %.0f %% (the test alone is %.0f %% of an extraction)\n' \
        "$(calc "($checked - $plain) * 100 / $plain")" "$(calc "$tested * 100 / $plain")"
    out_base=$scratch
}

if [[ $mode == large ]]; then
    large_file
    exit 0
fi
if [[ $mode == check ]]; then
    echo "zqsfx, the test before writing: $runs runs each, medians; $(nproc) cores"
    check_cost tree "$tree"
    [[ -d $corpus ]] && check_cost corpus "$corpus"
    exit 0
fi

echo "zqsfx extraction benchmark: $runs runs each, the tools in turn, medians; $(nproc) cores"
bench_set tree "$tree"
if [[ -n $memory ]]; then
    bench_set tree "$tree" tmpfs
else
    echo "(no tmpfs at $shm: the runs into memory are skipped)"
fi
[[ -d $corpus ]] && bench_set corpus "$corpus"

# Many empty files: what a file costs apart from its data.
empty_count=${EMPTY:-65535}
if [[ -n $memory && $empty_count -gt 0 ]]; then
    mkdir -p "$scratch/empty_tree/empty"
    (cd "$scratch/empty_tree/empty" && for ((d = 0; d < 256; d++)); do mkdir "d$d"; done &&
        for ((i = 0; i < empty_count; i++)); do echo "d$((i % 256))/f$i"; done | xargs touch)
    bench_set empty "$scratch/empty_tree/empty" tmpfs
    [[ -n $tree_per_file ]] &&
        printf '  per file against the tree into tmpfs: %.2f   (target: <= 1)\n' \
            "$(calc "$empty_per_file / $tree_per_file")"
fi

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
