#!/usr/bin/env bash
# Checks an installed zqsfx tree from the installed files alone:
#   scripts/check_installed.sh PREFIX SCRATCH [RECORDED_PREFIX]
# PREFIX is what `cmake --install --prefix` was given, or usr/ of an unpacked
# .deb, whose files name the prefix it installs to (RECORDED_PREFIX, /usr). Packs examples/sample with the installed zqpack and its default stub,
# runs the result in an empty folder and compares; renders both man pages
# (any roff warning fails); asks the bash completion; and packs with the
# other installed stubs (running the aarch64 one when qemu-aarch64 is there).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
prefix=$(cd "$1" && pwd)
scratch=$2
zqpack=$prefix/bin/zqpack
stubs=$prefix/lib/zqsfx
recorded_stubs=${3:-$prefix}/lib/zqsfx

rm -rf "$scratch"
mkdir -p "$scratch/run"
cp -a "$root/examples/sample" "$scratch/sample"
chmod a-w "$scratch/sample/locked.txt"   # git keeps no read-only bit; give it one

echo "--- the demo with $zqpack and its default stub"
(cd "$scratch" && "$zqpack" create -o setup sample)
(cd "$scratch/run" && ../setup </dev/null >../setup.log)
diff -r "$scratch/sample" "$scratch/run/sample"
[ -z "$(find "$scratch/run/sample/locked.txt" -perm /222)" ] || { echo "locked.txt lost its read-only bit"; exit 1; }
# Instrumented builds install their dynamic stub and say so (ZQ_DYNAMIC_STUB=1).
if [ "${ZQ_DYNAMIC_STUB:-0}" != 1 ]; then
  # Shown, then checked; not through `tee /dev/stderr`, which truncates a log
  # file that both outputs go to.
  kind=$(file -b "$stubs/zqsfx")
  echo "$kind"
  grep -q 'statically linked' <<<"$kind"
fi

echo "--- man pages"
for page in zqpack zqsfx; do
  MANWIDTH=80 MAN_KEEP_FORMATTING= man --warnings -l "$prefix/share/man/man1/$page.1" \
      >"$scratch/$page.txt" 2>"$scratch/$page.err"
  # A filled line holding the installed stubs' path cannot be broken or
  # adjusted when that path is longer than the page is wide: that depends on
  # where the tree was installed, not on the page, so only those two go.
  if grep -v -e 'cannot adjust line' -e 'cannot break line' "$scratch/$page.err" | grep -q .; then
    cat "$scratch/$page.err"
    exit 1
  fi
  grep -q '^NAME' "$scratch/$page.txt"
  # The stubs' folder is filled in at install (looked for in the source: the
  # rendered page may break a long path across lines).
  grep -q "$recorded_stubs" "$prefix/share/man/man1/$page.1"
  ! grep -n '@[A-Z]*@' "$prefix/share/man/man1/$page.1"
done

echo "--- bash completion"
complete_words() {  # the words completed for the command line "$*" (last word being typed)
  bash -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _zqpack; echo "${COMPREPLY[*]}"' \
       _ "$prefix/share/bash-completion/completions/zqpack" "$@"
}
[ "$(complete_words zqpack cr)" = create ]
[ "$(complete_words zqpack create --st)" = "--stub --store" ]
[ "$(complete_words zqpack list --pass --j)" = "--json" ]

if [ -f "$stubs/zqsfx.exe" ]; then
  echo "--- the Windows stub"
  "$zqpack" create -o "$scratch/setup.exe" --stub "$stubs/zqsfx.exe" "$scratch/sample"
  "$zqpack" list "$scratch/setup.exe" >/dev/null
  # By name, an encrypted archive takes the stub that decrypts, a wide one
  # the stub that reads the wide form, any other the plain one.
  "$zqpack" create -o "$scratch/sealed.exe" --stub windows --encrypt --password pw \
                   --scrypt-log2n 8 "$scratch/sample" | grep -q "stub $stubs/zqsfx-encrypted.exe"
  "$zqpack" test --password pw "$scratch/sealed.exe" >/dev/null
  "$zqpack" create -o "$scratch/plain.exe" --stub windows "$scratch/sample" |
    grep -q "stub $stubs/zqsfx.exe"
  # A wide archive takes the stub that reads the wide form.
  "$zqpack" create -o "$scratch/wide.exe" --stub windows --wide "$scratch/sample" |
    grep -q "stub $stubs/zqsfx-wide.exe"
  "$zqpack" test "$scratch/wide.exe" >/dev/null
fi
if [ -f "$stubs/zqsfx-aarch64" ]; then
  echo "--- the aarch64 stub"
  (cd "$scratch" && "$zqpack" create -o setup-aarch64 --stub "$stubs/zqsfx-aarch64" sample)
  if command -v qemu-aarch64 >/dev/null; then
    mkdir "$scratch/run-aarch64"
    (cd "$scratch/run-aarch64" && qemu-aarch64 ../setup-aarch64 </dev/null >/dev/null)
    diff -r "$scratch/sample" "$scratch/run-aarch64/sample"
  fi
fi
echo "installed tree at $prefix works"
