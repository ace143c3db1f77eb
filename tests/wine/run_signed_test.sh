#!/bin/sh
# A Windows self-extractor signed with Authenticode (osslsigncode, a
# throwaway certificate) runs under Wine as the unsigned one does: the same
# console bytes, the same files, the same exit status; re-signed too.
#   run_signed_test.sh ZQPACK WIN32_STUB SCRATCH_DIR
set -eu
zqpack=$1
win_stub=$2
scratch=$3
rm -rf "$scratch"
mkdir -p "$scratch"
cd "$scratch"

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

mkdir -p tree/sub
i=0
while [ $i -lt 2000 ]; do
  echo "line $i of a file that is signed with its self-extractor"
  i=$((i + 1))
done > tree/sub/long.txt
printf 'signed\r\n' > tree/short.txt

openssl req -x509 -newkey rsa:2048 -nodes -days 3 -subj /CN=zqsfx-test \
  -keyout key.pem -out cert.pem >/dev/null 2>&1 || fail "openssl could not make a certificate"
"$zqpack" create -o plain.exe --stub "$win_stub" tree >/dev/null
osslsigncode sign -certs cert.pem -key key.pem -in plain.exe -out signed.exe >/dev/null
osslsigncode sign -certs cert.pem -key key.pem -in signed.exe -out resigned.exe >/dev/null
osslsigncode verify -CAfile cert.pem -in signed.exe >/dev/null || fail "the signature does not verify"

listing() {
  (cd "$1" && find . -mindepth 1 | sort | while read -r path; do
    if [ -d "$path" ]; then echo "$path dir"; else echo "$path $(cksum <"$path")"; fi
  done)
}
for name in plain signed resigned; do
  mkdir "by_$name"
  (cd "by_$name" && wine "../$name.exe" </dev/null >"../$name.out") || fail "$name.exe exited with $?"
  listing "by_$name" >"$name.list"
done
for name in signed resigned; do
  cmp plain.out "$name.out" || fail "$name.exe prints other console bytes"
  diff plain.list "$name.list" || fail "$name.exe extracted another tree"
done
grep -q 'long.txt' plain.list || fail "nothing was extracted"
echo "ok: signed and re-signed run as the unsigned one ($(wc -l <plain.list) entries)"
