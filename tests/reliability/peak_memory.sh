#!/bin/sh
# Peak resident memory of the self-extractor on a 1 GiB tree: makes 1 GiB of
# mixed data (text from the benchmark corpus with stretches of noise, and one
# file of pure noise that is stored raw) in a scratch folder, packs it with
# zqpack, extracts it with the self-extractor under /usr/bin/time -v, checks
# every file byte for byte and prints the figures. Nothing is left behind.
#   peak_memory.sh BUILD_DIR [CORPUS_DIR] [MIB]
set -eu
build=$1
corpus=${2:-$(cd "$(dirname "$0")/../../.." && pwd)/shared/corpus}
mib=${3:-1024}
work=$(mktemp -d "${TMPDIR:-/tmp}/zq_peak.XXXXXX")
keep=0
trap '[ $keep = 1 ] || rm -rf "$work"' EXIT
mkdir -p "$work/tree" "$work/out" "$work/bin"
# Private copies: a rebuild during the run must not change the programs.
cp "$build/zqpack" "$build/zqsfx" "$work/bin/"

python3 - "$corpus" "$work/tree" "$mib" <<'PY'
import os, sys
corpus, tree, mib = sys.argv[1], sys.argv[2], int(sys.argv[3])
texts = b"".join(open(os.path.join(corpus, n), "rb").read() for n in sorted(os.listdir(corpus)))
files = 8
per = mib * 1024 * 1024 // files
for k in range(files):
    with open(os.path.join(tree, "part%d.bin" % k), "wb") as out:
        left = per
        if k == files - 1:
            # Pure noise: the packer stores it raw.
            while left:
                n = min(left, 1 << 20); out.write(os.urandom(n)); left -= n
            continue
        at = (k * 7919) % len(texts)
        while left:
            n = min(left, 960 * 1024)
            chunk = (texts[at:] + texts)[:n]
            at = (at + n) % len(texts)
            out.write(chunk); left -= n
            if left:
                n = min(left, 64 * 1024); out.write(os.urandom(n)); left -= n
PY

start=$(date +%s)
(cd "$work/tree" && "$work/bin/zqpack" create -o "$work/big.sfx" --stub "$work/bin/zqsfx" part*.bin >/dev/null)
packed=$(date +%s)
status=0
(cd "$work/out" && /usr/bin/time -v "$work/big.sfx" </dev/null >/dev/null 2>"$work/time.log") || status=$?
done_at=$(date +%s)
for f in "$work/tree"/*; do
    if ! cmp "$f" "$work/out/$(basename "$f")"; then
        keep=1
        echo "MISMATCH $f (exit status $status; kept in $work)"
        cat "$work/time.log"
        exit 1
    fi
done
echo "data: $(cat "$work/tree"/* | wc -c) bytes in 8 files; self-extractor: $(stat -c %s "$work/big.sfx") bytes"
echo "pack: $((packed - start)) s; extract: $((done_at - packed)) s; exit status $status; all files byte-exact"
grep -E "Maximum resident set size|Elapsed|User time|System time" "$work/time.log"
