#!/usr/bin/env bash
# Packs the same trees with zqpack, zip -6 and tar+gzip, side by side, and
# prints sizes, ratios and median wall times. Timings are figures to read,
# never a pass/fail.
#
#   bench/pack_bench.sh [ZQPACK] [TREE...]
#
# ZQPACK defaults to build/zqpack; the trees default to ../shared/corpus and
# /usr/include. RUNS (default 3) sets how many runs each median is taken over.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
zqpack=${1:-$repo/build/zqpack}
shift || true
trees=("$@")
if [ ${#trees[@]} -eq 0 ]; then trees=("$repo/../shared/corpus" /usr/include); fi
runs=${RUNS:-3}

for tool in zip tar gzip; do
  command -v "$tool" >/dev/null || { echo "pack_bench: $tool is not installed" >&2; exit 1; }
done
[ -x "$zqpack" ] || { echo "pack_bench: no zqpack at $zqpack" >&2; exit 1; }
zqpack=$(realpath "$zqpack")

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# Median wall time in seconds of `runs` runs of the command; the output file
# (the command's last argument written) is removed before each run.
median_time() {
  local out=$1; shift
  local times=()
  for _ in $(seq "$runs"); do
    rm -f "$out"
    local start end
    start=$(date +%s.%N)
    "$@" >/dev/null 2>&1 || { echo "pack_bench: $* failed" >&2; exit 1; }
    end=$(date +%s.%N)
    times+=("$(awk -v a="$start" -v b="$end" 'BEGIN {print b - a}')")
  done
  printf '%s\n' "${times[@]}" | sort -g | awk '{a[NR]=$1} END {printf "%.3f", a[int((NR+1)/2)]}'
}

printf '%-14s %-8s %12s %12s %8s %9s\n' tree tool input output ratio "time (s)"
for tree in "${trees[@]}"; do
  tree=$(cd "$tree" && pwd)
  name=$(basename "$tree")
  parent=$(dirname "$tree")
  input=$(find "$tree" -type f -print0 | du -cb --files0-from=- | tail -1 | cut -f1)
  zq_out="$scratch/$name.zq"
  zip_out="$scratch/$name.zip"
  zipy_out="$scratch/$name.y.zip"
  tgz_out="$scratch/$name.tar.gz"
  t_zq=$(cd "$parent" && median_time "$zq_out" "$zqpack" create --stub none -j 2 -o "$zq_out" "$name")
  t_zip=$(cd "$parent" && median_time "$zip_out" zip -qr -6 "$zip_out" "$name")
  # zip follows links to folders, zqpack and tar do not: -y packs the same
  # files as they do.
  t_zipy=$(cd "$parent" && median_time "$zipy_out" zip -qr -6 -y "$zipy_out" "$name")
  t_tgz=$(cd "$parent" && median_time "$tgz_out" tar czf "$tgz_out" "$name")
  for row in "zqpack:$zq_out:$t_zq" "zip-6:$zip_out:$t_zip" "zip-6-y:$zipy_out:$t_zipy" "tar.gz:$tgz_out:$t_tgz"; do
    IFS=: read -r tool file seconds <<<"$row"
    size=$(stat -c %s "$file")
    ratio=$(awk -v s="$size" -v i="$input" 'BEGIN {print 100 * s / i}')
    printf '%-14s %-8s %12d %12d %7.1f%% %9s\n' "$name" "$tool" "$input" "$size" "$ratio" "$seconds"
  done
  printf '%-14s zqpack -j 2 takes %.2fx the time of zip -qr -6 (%.2fx of zip -qr -6 -y)\n' "$name" \
    "$(awk -v a="$t_zq" -v b="$t_zip" 'BEGIN {print a / b}')" "$(awk -v a="$t_zq" -v b="$t_zipy" 'BEGIN {print a / b}')"
done
