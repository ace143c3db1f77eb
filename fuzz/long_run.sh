#!/bin/sh
# The long fuzzing campaign, at the lowest priority, each target from a copy
# of its seed corpus and regression inputs in OUT/<target>/corpus. Logs go to
# OUT/<target>.log; the figures quoted in docs/RELIABILITY.md are the final
# lines of those logs.
#   long_run.sh BUILD_DIR OUT_DIR [SECONDS] [LANE LANE]
# Two lanes run side by side (two targets at a time), each its targets one
# after the other; a lane is a list of targets, each TARGET or TARGET=SECONDS.
# Without lanes: every target, two at a time. A target stops after SECONDS
# (default 1800) or RUNS executions (default: no limit), whichever comes first.
set -u
build=$1 out=$2 seconds=${3:-1800}
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$out"
# A small quarantine: most targets allocate and free a few hundred KiB per
# input, and fresh pages for every one cost more than the code under test.
ASAN_OPTIONS=${ASAN_OPTIONS:-quarantine_size_mb=16}
export ASAN_OPTIONS
one() {
    t=${1%%=*} limit=$seconds
    [ "$t" != "$1" ] && limit=${1#*=}
    mkdir -p "$out/$t/corpus" "$out/$t/crashes"
    cp "$here/corpus/$t/"* "$out/$t/corpus/" 2>/dev/null
    nice -n 19 "$build/fuzz/${t}_fuzz" "$out/$t/corpus" "$here/regressions/$t" \
        -max_total_time="$limit" -runs="${RUNS:--1}" -timeout=20 -rss_limit_mb=2048 \
        -artifact_prefix="$out/$t/crashes/" -print_final_stats=1 >"$out/$t.log" 2>&1
    echo "$t: exit $?" >>"$out/summary"
}
lane() {
    for t in $1; do one "$t"; done
}
if [ $# -ge 5 ]; then
    lane "$4" & lane "$5" & wait
else
    lane "decode_block stream options links dir_index" &
    lane "catalogue roundtrip host_names json_listing pipeline" &
    wait
fi
