#!/bin/sh
# Replays a fuzz target's seed corpus and regression inputs, then fuzzes it for
# the given number of seconds. New inputs and any crash file go to a scratch
# folder, which is kept (and named) when the target fails. The mutations
# follow a fixed seed (FUZZ_SEED, default 1), so that every run walks the
# same inputs in the same order and a failure shows again on the next run;
# the long runs of long_run.sh are the ones that explore.
#   run_fuzz.sh TARGET CORPUS_DIR REGRESSION_DIR SECONDS [extra libFuzzer flags]
set -u
target=$1 corpus=$2 regressions=$3 seconds=$4
shift 4
# A small quarantine, as in long_run.sh: fresh pages for every input's
# allocations would cost more than the code under test.
ASAN_OPTIONS=${ASAN_OPTIONS:-quarantine_size_mb=16}
export ASAN_OPTIONS
work=$(mktemp -d "${TMPDIR:-/tmp}/zq_fuzz.XXXXXX")
mkdir -p "$work/new"
"$target" "$work/new" "$corpus" "$regressions" \
    -seed="${FUZZ_SEED:-1}" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
    -artifact_prefix="$work/" -print_final_stats=1 "$@" 2>"$work/log"
status=$?
tail -n 30 "$work/log"
if [ $status -ne 0 ]; then
    echo "fuzz target failed ($status); inputs and log kept in $work" >&2
    exit $status
fi
rm -rf "$work"
