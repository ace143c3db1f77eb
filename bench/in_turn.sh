#!/usr/bin/env bash
# Self-extractors and unzip timed in turn: each round extracts with every one
# once, into an empty folder in tmpfs, so that a machine whose speed drifts
# slows them alike; prints each one's median wall time and its ratio to
# unzip's. Figures only, never a verdict.
#
#   bench/in_turn.sh ROUNDS ARCHIVE.zip STUB.sfx[:WORKERS]...
#
# WORKERS sets ZQSFX_WORKERS for that self-extractor (default: its own
# choice). SHM: the tmpfs folder to extract under (default: /dev/shm).
set -euo pipefail
(($# >= 3)) || { sed -n '7p' "$0" >&2; exit 2; }
rounds=$1 zip=$2
shift 2
out=${SHM:-/dev/shm}/zq_in_turn.$$
trap 'rm -rf "$out"' EXIT
declare -A times
now_ms() { echo $(($(date +%s%N) / 1000000)); }
for ((round = 0; round < rounds; round++)); do
    for entry in "$@" unzip; do
        rm -rf "$out" && mkdir -p "$out"
        start=$(now_ms)
        if [[ $entry == unzip ]]; then
            unzip -q "$zip" -d "$out"
        else
            sfx=${entry%%:*} workers=
            [[ $entry == *:* ]] && workers=${entry#*:}
            ZQSFX_WORKERS=$workers "$sfx" -q -d "$out" </dev/null >/dev/null
        fi
        times[$entry]+="$(($(now_ms) - start)) "
    done
done
median() { tr ' ' '\n' | grep . | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
unzip_ms=$(median <<<"${times[unzip]}")
for entry in "$@" unzip; do
    ms=$(median <<<"${times[$entry]}")
    printf '%-40s median %6d ms   / unzip %.3f   (%s)\n' "$entry" "$ms" \
        "$(awk -v a="$ms" -v b="$unzip_ms" 'BEGIN { print a / b }')" "${times[$entry]% }"
done
