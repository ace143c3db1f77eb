#!/usr/bin/env bash
# The main job, end to end: builds zqsfx and zqpack, packs examples/sample into
# a self-extractor, lists it, and runs it in an empty scratch folder.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh"
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$root/build" -j"$(nproc)" --target zqsfx zqpack >/dev/null

out="$root/out/demo"
rm -rf "$out"
mkdir -p "$out/run"
cp -a "$root/examples/sample" "$out/sample"
chmod a-w "$out/sample/locked.txt"   # git keeps no read-only bit; give it one

"$root/build/zqpack" create -o "$out/sample-sfx" "$out/sample"
"$root/build/zqpack" list "$out/sample-sfx"
echo
echo "--- running $out/sample-sfx in $out/run"
(cd "$out/run" && ../sample-sfx </dev/null)
echo
echo "--- extracted:"
(cd "$out/run" && find . -type f -exec ls -l --time-style=+%Y-%m-%d_%H:%M {} + | sort -k7)
diff -r "$out/sample" "$out/run/sample" && echo "identical to the packed folder"
