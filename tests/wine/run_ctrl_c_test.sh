#!/bin/sh
# Ctrl+C while an installer's program runs, under Wine. The program
# (ctrl_c_program.exe) raises Ctrl+C for every process on its console, the
# self-extractor included, handles it itself and ends with 42. The
# self-extractor must wait on, print nothing (-q) and end with 42; one that
# the event ended would print "Abort !" and end with 1. Wine gives a program
# a console only on a terminal, so the run gets one from script(1).
#   run_ctrl_c_test.sh ZQPACK WIN32_STUB PROGRAM SCRATCH_DIR
set -eu
zqpack=$1
win_stub=$2
program=$3
scratch=$4
rm -rf "$scratch"
mkdir -p "$scratch/tree" "$scratch/run"
cp "$program" "$scratch/tree/prog.exe"
"$zqpack" create -o "$scratch/setup.exe" --stub "$win_stub" -C "$scratch/tree" --run prog.exe >/dev/null
cd "$scratch/run"

fail() {
  echo "FAIL: $*" >&2
  echo "console:" >&2
  cat ../shown.txt >&2
  exit 1
}

status=0
script -qec "wine ../setup.exe -y -q" /dev/null </dev/null >../console.txt 2>&1 || status=$?
# The console's own escape sequences and line ends out of the way.
sed 's/\x1b\[[0-9;?]*[A-Za-z]//g' ../console.txt | tr -d '\r' >../shown.txt
[ "$status" -eq 42 ] || fail "status $status, not the program's 42"
! grep -q 'Abort' ../shown.txt || fail "the self-extractor was ended by the event"
[ "$(cat seen.txt 2>/dev/null)" = cleaned ] || fail "the program's own handler did not see Ctrl+C"
cmp -s prog.exe ../tree/prog.exe || fail "prog.exe was not extracted whole"
echo "ok: Ctrl+C handled by the program, the self-extractor ended with its 42"
