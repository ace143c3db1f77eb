#!/bin/sh
# zqpack makes a Windows self-extractor on Linux and unpacks it again; the
# self-extractor, run under Wine, must do exactly what the Linux one does with
# the same archive: the same console text (each in its own line endings),
# files, times, read-only attributes and exit status.
#   run_pack_roundtrip.sh ZQPACK WIN32_STUB LINUX_STUB SCRATCH_DIR
set -eu
zqpack=$1
win_stub=$2
linux_stub=$3
scratch=$4
rm -rf "$scratch"
mkdir -p "$scratch"
cd "$scratch"

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# A small tree with what tends to go wrong: nesting, an empty file, a file
# that spans several blocks, incompressible bytes, a read-only file, old times.
mkdir -p tree/docs/deep tree/empty_dir
printf 'hello, world\r\n' > tree/readme.txt
: > tree/docs/empty.txt
i=0
while [ $i -lt 3000 ]; do
  echo "line $i of a text that repeats itself with small changes $((i * 7 % 13))"
  i=$((i + 1))
done > tree/docs/deep/long.txt
head -c 70000 /dev/urandom > tree/docs/noise.bin
printf 'do not touch' > tree/docs/locked.txt
chmod a-w tree/docs/locked.txt
touch -d '2001-09-09 01:46:40 UTC' tree/readme.txt
touch -d '1999-12-31 23:59:59 UTC' tree/docs/deep/long.txt

"$zqpack" create -o win.exe --stub "$win_stub" --dir-tree tree >/dev/null
"$zqpack" create -o linux.sfx --stub "$linux_stub" --dir-tree tree >/dev/null
# The Windows stub leads the file unchanged, and the archive behind it is the
# one the Linux self-extractor carries.
cmp -n "$(stat -c %s "$win_stub")" win.exe "$win_stub" || fail "win.exe does not start with the stub"

mkdir by_zqpack by_wine by_linux
"$zqpack" extract win.exe -C by_zqpack -y >/dev/null || fail "zqpack extract of win.exe failed"
(cd by_wine && wine ../win.exe </dev/null >../wine.out) || fail "win.exe exited with $?"
chmod +x linux.sfx
# The Linux stub draws its bars into a pipe only when asked; then its bytes
# are the Windows ones with LF for CR LF (no path is shown in this run).
(cd by_linux && ZQSFX_PROGRESS=1 ../linux.sfx </dev/null >../linux.out) || fail "linux.sfx exited with $?"

sed 's/\r$//' wine.out | cmp - linux.out || fail "console bytes differ between the Windows and the Linux stub"
grep -q "$(printf '\r')\$" wine.out || fail "the Windows stub no longer ends its lines with CR LF"
head -c 43 wine.out | grep -q 'Crateworks(WOX 32)  Self-Extractor V01L09' || fail "no banner"

# Same tree, same bytes, same write times and read-only bits everywhere. The
# write bit is read from the mode, since root may write to anything.
listing() {
  (cd "$1" && find . -mindepth 1 | sort | while read -r path; do
    if [ -d "$path" ]; then
      echo "$path dir"
    else
      echo "$path $(stat -c '%s %Y' "$path") $(stat -c %A "$path" | cut -c3) $(cksum <"$path" | cut -d' ' -f1)"
    fi
  done)
}
listing by_linux >linux.list
listing by_wine >wine.list
listing by_zqpack >zqpack.list
diff linux.list wine.list || fail "the Windows stub extracted a different tree"
diff linux.list zqpack.list || fail "zqpack extract made a different tree"
grep -q 'readme.txt 14 1000000000 ' wine.list || fail "readme.txt lost its size or time"
grep -q 'empty_dir dir' wine.list || fail "the stored directory tree was not created"
grep -q 'locked.txt 12 [0-9]* - ' wine.list || fail "locked.txt is not read-only"
grep -q 'noise.bin 70000 ' wine.list || fail "noise.bin lost bytes"
echo "ok: $(wc -l <wine.list) entries alike"
