#!/bin/sh
# The long fuzzing campaign: each target for SECONDS (default 1800), two at a
# time at the lowest priority, each from a copy of its seed corpus and
# regression inputs in OUT/<target>/corpus. Logs go to OUT/<target>.log; the
# figures quoted in docs/RELIABILITY.md are the final lines of those logs.
#   long_run.sh BUILD_DIR OUT_DIR [SECONDS]
set -u
build=$1 out=$2 seconds=${3:-1800}
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$out"
one() {
    t=$1
    mkdir -p "$out/$t/corpus" "$out/$t/crashes"
    cp "$here/corpus/$t/"* "$out/$t/corpus/" 2>/dev/null
    nice -n 19 "$build/fuzz/${t}_fuzz" "$out/$t/corpus" "$here/regressions/$t" \
        -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
        -artifact_prefix="$out/$t/crashes/" -print_final_stats=1 >"$out/$t.log" 2>&1
    echo "$t: exit $?" >>"$out/summary"
}
one decode_block & one catalogue & wait
one stream & one roundtrip & wait
